# Configures, builds and runs tests/package/subproject, which adds the source tree with
# add_subdirectory and links qvxozk::qvx_ozk.
file(REMOVE_RECURSE "${WORK}")
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}")
  endif()
endfunction()
run(${CMAKE_COMMAND} -S "${SOURCE}/tests/package/subproject" -B "${WORK}"
    "-DQVX_OZK_SOURCE=${SOURCE}" "-DCMAKE_C_COMPILER=${C_COMPILER}"
    "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}")
run(${CMAKE_COMMAND} --build "${WORK}" --parallel 2)
run("${WORK}/consumer")
message(STATUS "the library built and linked as a subproject")
