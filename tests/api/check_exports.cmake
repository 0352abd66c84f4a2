# Fails when the shared library defines a dynamic symbol outside the public interface.
execute_process(COMMAND ${NM} -D -C --defined-only ${LIBRARY}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${symbols}")
set(allowed
  "^qvx_ozk_[a-z0-9_]+$"
  "^QVX::ozK::(Volume|Vec3_d)::"
  "^(typeinfo|typeinfo name|vtable) for QVX::ozK::Volume$")
set(count 0)
foreach(line IN LISTS lines)
  if(line STREQUAL "")
    continue()
  endif()
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" name "${line}")
  set(ok FALSE)
  foreach(pattern IN LISTS allowed)
    if(name MATCHES "${pattern}")
      set(ok TRUE)
    endif()
  endforeach()
  if(NOT ok)
    message(SEND_ERROR "unexpected export: ${name}")
  endif()
  math(EXPR count "${count} + 1")
endforeach()
foreach(required qvx_ozk_volume_create qvx_ozk_volume_delete qvx_ozk_volume_open
        qvx_ozk_volume_wopen qvx_ozk_volume_slice_width qvx_ozk_volume_slice_height
        qvx_ozk_volume_num_slices qvx_ozk_volume_vmin qvx_ozk_volume_vmax
        qvx_ozk_volume_voxel_size qvx_ozk_volume_data_min qvx_ozk_volume_data_max
        qvx_ozk_volume_read_slice qvx_ozk_volume_close qvx_ozk_save_gray_tif32
        qvx_ozk_save_gray_tif32_w qvx_ozk_version qvx_ozk_volume_kind qvx_ozk_log_to_stdout
        qvx_ozk_log_to_stderr qvx_ozk_log_to_file qvx_ozk_volume_num_levels
        qvx_ozk_volume_level_shape qvx_ozk_volume_read_region qvx_ozk_last_error
        qvx_ozk_last_error_errno qvx_ozk_log_to_callback qvx_ozk_volume_verify
        qvx_ozk_volume_sample_plane qvx_ozk_volume_set_cache_size qvx_ozk_kind_name
        qvx_ozk_volume_bits_per_sample qvx_ozk_volume_hr_version qvx_ozk_volume_compressed
        qvx_ozk_volume_num_slice_files qvx_ozk_volume_slice_file qvx_ozk_volume_slices_stored
        qvx_ozk_image_describe qvx_ozk_image_load_gray qvx_ozk_image_save_gray8
        "QVX::ozK::Volume::Create()")
  string(FIND "${symbols}" "${required}" at)
  if(at EQUAL -1)
    message(SEND_ERROR "missing export: ${required}")
  endif()
endforeach()
message(STATUS "${count} exported symbols, all part of the interface")
