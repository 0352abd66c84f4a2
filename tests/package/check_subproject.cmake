# Configures, builds and runs tests/package/subproject, which adds the source tree with
# add_subdirectory and links qvxozk::qvx_ozk.
file(REMOVE_RECURSE "${WORK}")
include("${CMAKE_CURRENT_LIST_DIR}/run.cmake")
run(${CMAKE_COMMAND} -S "${SOURCE}/tests/package/subproject" -B "${WORK}"
    "-DQVX_OZK_SOURCE=${SOURCE}" "-DCMAKE_C_COMPILER=${C_COMPILER}"
    "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}")
run(${CMAKE_COMMAND} --build "${WORK}" --parallel 2)
run("${WORK}/consumer")
message(STATUS "the library built and linked as a subproject")
