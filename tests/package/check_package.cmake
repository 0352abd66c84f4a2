# Installs the build into a scratch prefix, then configures, builds and runs a consumer
# project that finds the library with find_package. A sanitizer build passes its flags
# in C_FLAGS, as a program that loads the sanitizer runtime must be built with them.
set(prefix "${WORK}/prefix")
file(REMOVE_RECURSE "${WORK}")
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}")
  endif()
endfunction()
run(${CMAKE_COMMAND} --install "${BUILD}" --prefix "${prefix}")
run(${CMAKE_COMMAND} -S "${SOURCE}" -B "${WORK}/consumer" "-DCMAKE_PREFIX_PATH=${prefix}"
    "-DCMAKE_C_COMPILER=${C_COMPILER}" "-DCMAKE_C_FLAGS=${C_FLAGS}")
run(${CMAKE_COMMAND} --build "${WORK}/consumer")
run("${WORK}/consumer/consumer")
message(STATUS "installed package found and linked")
