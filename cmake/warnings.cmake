# Warning flags for every target of the project.
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

# An internal layer: a static, position-independent library whose symbols stay hidden
# inside the shared library.
function(qvx_ozk_add_layer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPENDS})
  qvx_ozk_set_warnings(${name})
endfunction()
