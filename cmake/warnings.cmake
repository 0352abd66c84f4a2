# Warning flags for every target of the project, set target by target so that a parent
# project's targets keep their own.
function(qvx_ozk_set_warnings target)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(${target} PRIVATE
      -Wall -Wextra -Wpedantic -Wshadow -Wcast-align
      $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>
      -Wformat=2 -Wundef)
    if(QVX_OZK_WERROR)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  elseif(MSVC)
    target_compile_options(${target} PRIVATE /W4)
    if(QVX_OZK_WERROR)
      target_compile_options(${target} PRIVATE /WX)
    endif()
  endif()
endfunction()

# Sets `out` to an include directory that shows the source folder `folder` as "folder/..."
# and nothing else of the source tree: a directory of the build tree holding one link to
# it. A target sees the folders of the layers it links and no others, so including a
# header of a layer it may not use fails to compile. Where links cannot be made (Windows
# without the privilege) the whole source tree is the include directory, as before.
function(qvx_ozk_folder_include_dir folder out)
  set(root ${PROJECT_BINARY_DIR}/layer_include/${folder})
  if(NOT IS_SYMLINK ${root}/${folder})
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${root}/${folder} RESULT failed SYMBOLIC)
    if(failed)
      message(STATUS "No link for ${folder}/ (${failed}); its users see the whole source tree")
      set(root ${PROJECT_SOURCE_DIR})
    endif()
  endif()
  set(${out} ${root} PARENT_SCOPE)
endfunction()

# An internal layer: a static, position-independent library whose symbols stay hidden
# inside the shared library. It and its users see its own folder and, through DEPENDS,
# the folders of the layers below it.
function(qvx_ozk_add_layer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  qvx_ozk_folder_include_dir(${folder} include_dir)
  target_include_directories(${name} PUBLIC ${include_dir})
  target_link_libraries(${name} PUBLIC ${ARG_DEPENDS})
  qvx_ozk_set_warnings(${name})
endfunction()

# Walks the targets defined in `dir` and the folders below it (this project's, never a
# parent's) and sets on each the flags every one of them needs: the sanitizers of the
# QVX_OZK_SANITIZE* options, coverage feedback for the fuzz build (every layer a fuzz
# target reaches, not only its own code), and zlib's 64-bit offset functions (gzseek64,
# gztell64) on every platform.
function(qvx_ozk_apply_build_flags dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "INTERFACE_LIBRARY" OR type STREQUAL "UTILITY")
      continue()
    endif()
    target_compile_definitions(${target} PRIVATE _LARGEFILE64_SOURCE=1)
    if(QVX_OZK_SANITIZE)
      target_compile_options(${target} PRIVATE -fsanitize=address,undefined
                             -fno-omit-frame-pointer -fno-sanitize-recover=all)
      target_link_options(${target} PRIVATE -fsanitize=address,undefined)
    endif()
    if(QVX_OZK_SANITIZE_THREAD)
      target_compile_options(${target} PRIVATE -fsanitize=thread -fno-omit-frame-pointer)
      target_link_options(${target} PRIVATE -fsanitize=thread)
    endif()
    if(QVX_OZK_FUZZ)
      target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
    endif()
  endforeach()
  get_property(folders DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(folder IN LISTS folders)
    qvx_ozk_apply_build_flags(${folder})
  endforeach()
endfunction()
