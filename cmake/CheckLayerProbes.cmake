# Run by ctest (test "layering"): builds every layering probe of the build tree and checks that
# each include of a higher or sibling layer's header fails because the header is not found, and
# that each layer's include of its own header compiles. Also refuses a relative include that
# climbs out of its folder ("../"), the one way around the include paths.
#
#   cmake -DBUILD_DIR=<build> -DSOURCE_DIR=<source> -P CheckLayerProbes.cmake
cmake_minimum_required(VERSION 3.20)

file(STRINGS ${BUILD_DIR}/layer-probes/probes.txt probes)
list(LENGTH probes count)
if(count EQUAL 0)
  message(FATAL_ERROR "no layering probes in ${BUILD_DIR}/layer-probes/probes.txt")
endif()

set(failures 0)
foreach(entry ${probes})
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 target)
  list(GET fields 1 expect)
  list(GET fields 2 header)
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target ${target}
    RESULT_VARIABLE rc OUTPUT_VARIABLE output ERROR_VARIABLE output)
  string(REGEX REPLACE "([][.+*?^$()|\\\\])" "\\\\\\1" header_regex "${header}")
  if(expect STREQUAL "pass")
    if(rc EQUAL 0)
      message(STATUS "ok    ${target}: ${header} compiles")
    else()
      message(STATUS "FAIL  ${target}: ${header} should compile:\n${output}")
      math(EXPR failures "${failures} + 1")
    endif()
  elseif(NOT rc EQUAL 0 AND output MATCHES "${header_regex}(: No such file or directory|' file not found)")
    message(STATUS "ok    ${target}: ${header} not found, as required")
  else()
    message(STATUS "FAIL  ${target}: ${header} must not resolve (exit ${rc}):\n${output}")
    math(EXPR failures "${failures} + 1")
  endif()
endforeach()

foreach(folder platform table_service backup restore agent tools/aztable)
  file(GLOB_RECURSE files ${SOURCE_DIR}/${folder}/*.h ${SOURCE_DIR}/${folder}/*.cpp)
  foreach(file ${files})
    file(STRINGS ${file} climbing REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"][^>\"]*\\.\\./")
    if(climbing)
      message(STATUS "FAIL  ${file}: relative include out of its folder: ${climbing}")
      math(EXPR failures "${failures} + 1")
    endif()
  endforeach()
endforeach()

if(failures GREATER 0)
  message(FATAL_ERROR "${failures} layering check(s) failed")
endif()
message(STATUS "${count} layering probes behaved as required")
