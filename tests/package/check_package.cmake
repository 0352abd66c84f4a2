# Installs the build into a scratch prefix, then configures, builds and runs a consumer
# project that finds the library with find_package, builds the same program through
# pkg-config, and runs the installed ozk tool. A sanitizer build passes its flags
# in C_FLAGS, as a program that loads the sanitizer runtime must be built with them.
set(prefix "${WORK}/prefix")
file(REMOVE_RECURSE "${WORK}")
include("${CMAKE_CURRENT_LIST_DIR}/run.cmake")
run(${CMAKE_COMMAND} --install "${BUILD}" --prefix "${prefix}")
run(${CMAKE_COMMAND} -S "${SOURCE}" -B "${WORK}/consumer" "-DCMAKE_PREFIX_PATH=${prefix}"
    "-DCMAKE_C_COMPILER=${C_COMPILER}" "-DCMAKE_C_FLAGS=${C_FLAGS}")
run(${CMAKE_COMMAND} --build "${WORK}/consumer")
run("${WORK}/consumer/consumer")

# The same program through pkg-config, as a Makefile-based project would build it.
file(GLOB_RECURSE pc_file "${prefix}/*/qvxozk.pc")
if(NOT pc_file)
  message(FATAL_ERROR "qvxozk.pc was not installed under ${prefix}")
endif()
get_filename_component(pc_dir "${pc_file}" DIRECTORY)
set(ENV{PKG_CONFIG_PATH} "${pc_dir}")
execute_process(COMMAND pkg-config --cflags --libs qvxozk RESULT_VARIABLE result
                OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know qvxozk")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
separate_arguments(extra UNIX_COMMAND "${C_FLAGS}")
get_filename_component(lib_dir "${pc_dir}" DIRECTORY)
run(${C_COMPILER} ${extra} "${SOURCE}/consumer.c" -o "${WORK}/consumer_pc" ${flags}
    "-Wl,-rpath,${lib_dir}")
run("${WORK}/consumer_pc")

# The installed tool finds the installed library by itself.
run("${prefix}/bin/ozk" --version)
message(STATUS "installed package found and linked")
