# Compiles the README's C example as it stands there, links it with the library and runs it
# on a tiny 8-bit packed volume: the example must keep working as written.
#   cmake -DREADME=... -DINCLUDE=... -DLIBRARY=... -DC_COMPILER=... -DWORK=... -P readme_example.cmake
file(READ ${README} text)
string(FIND "${text}" "/* middle.c" start)
if(start EQUAL -1)
  message(FATAL_ERROR "the README has no middle.c example")
endif()
string(SUBSTRING "${text}" ${start} -1 text)
string(FIND "${text}" "```" end)
string(SUBSTRING "${text}" 0 ${end} source)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
file(WRITE ${WORK}/middle.c "${source}")
# 2 x 2 x 2 samples, all 'A' (65 / 255).
file(WRITE ${WORK}/tiny.pvol
     "# QVX v2.0 Packed Volume\nVoxels: 2 2 2\nBitsPerSample: 8\nSweepDirection: 1\n</content>\nAAAAAAAA")
get_filename_component(libdir ${LIBRARY} DIRECTORY)
execute_process(COMMAND ${C_COMPILER} -std=c99 -Wall -Werror middle.c -I${INCLUDE} ${LIBRARY}
                        -Wl,-rpath,${libdir} -o middle
                WORKING_DIRECTORY ${WORK} RESULT_VARIABLE built ERROR_VARIABLE errors)
if(NOT built EQUAL 0)
  message(FATAL_ERROR "the README's example does not compile:\n${errors}")
endif()
execute_process(COMMAND ${WORK}/middle tiny.pvol WORKING_DIRECTORY ${WORK}
                RESULT_VARIABLE ran OUTPUT_VARIABLE out)
if(NOT ran EQUAL 0 OR NOT out MATCHES "^2 x 2 x 2" OR NOT EXISTS ${WORK}/middle.tif
   OR NOT EXISTS ${WORK}/middle.tif.gz)
  message(FATAL_ERROR "the README's example failed (${ran}): ${out}")
endif()
