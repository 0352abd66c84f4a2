# Installs the build into a scratch prefix and imports the installed ozk module from there,
# with nothing of the build tree on the path: the module must find the installed library.
set(prefix "${WORK}/prefix")
file(REMOVE_RECURSE "${WORK}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD}" --prefix "${prefix}"
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "install failed:\n${out}")
endif()
file(GLOB_RECURSE init "${prefix}/*__init__.py")
list(FILTER init INCLUDE REGEX "/ozk/__init__.py$")
if(NOT init)
  message(FATAL_ERROR "ozk/__init__.py was not installed under ${prefix}")
endif()
get_filename_component(package "${init}" DIRECTORY)
get_filename_component(site "${package}" DIRECTORY)
set(check [=[
import sys, ozk
maps = open("/proc/self/maps").read()
library = [line.split()[-1] for line in maps.splitlines() if "libqvx_ozk.so" in line]
assert ozk.__file__.startswith(sys.argv[1]), ozk.__file__
assert library and all(path.startswith(sys.argv[1]) for path in library), library
print("ozk", ozk.__version__, "from", ozk.__file__)
]=])
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=PYTHONPATH "PYTHONPATH=${site}"
                        PYTHONDONTWRITEBYTECODE=1 ${PYTHON} -c "${check}" "${prefix}"
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the installed module does not import:\n${out}")
endif()
message(STATUS "${out}")
