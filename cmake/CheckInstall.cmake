# Run by ctest (test "install"): installs the build tree into a fresh prefix, checks the library
# (with its soname links), the controller, the headers and the pkg-config file are there, that
# a program using every installed header builds and runs with the flags aztable.pc gives, and
# that the installed controller runs from the prefix and prints its version.
#
#   cmake -DBUILD_DIR=<build> -DVERSION=<x.y.z> -DLIBDIR=lib -DINCLUDEDIR=include -DBINDIR=bin
#         [-DCXX=<compiler>] [-DPKG_CONFIG=<pkg-config>] [-DSANITIZE_FLAGS=<flags>]
#         [-DREADELF=<readelf>] -P CheckInstall.cmake
cmake_minimum_required(VERSION 3.20)

set(prefix ${BUILD_DIR}/install-test)
file(REMOVE_RECURSE ${prefix})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
  RESULT_VARIABLE rc OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${rc}):\n${output}")
endif()

string(REGEX MATCH "^[0-9]+" major "${VERSION}")
set(expected
  ${BINDIR}/aztable
  ${LIBDIR}/libaztable.so
  ${LIBDIR}/libaztable.so.${major}
  ${LIBDIR}/libaztable.so.${VERSION}
  ${LIBDIR}/pkgconfig/aztable.pc
  ${INCLUDEDIR}/aztable/platform/util/Export.h
  ${INCLUDEDIR}/aztable/platform/store/BackupReader.h
  ${INCLUDEDIR}/aztable/table_service/AzureTableStorage.h
  ${INCLUDEDIR}/aztable/backup/AzureTableBackupJob.h
  ${INCLUDEDIR}/aztable/restore/AzureTableRestore.h
  ${INCLUDEDIR}/aztable/agent/AzureTableCompare.h)
foreach(file ${expected})
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
file(GLOB_RECURSE stray RELATIVE ${prefix} ${prefix}/${INCLUDEDIR}/*.cpp ${prefix}/${INCLUDEDIR}/aztable/tools/*)
if(stray)
  message(FATAL_ERROR "installed but not part of the interface: ${stray}")
endif()

# The installed controller must find the installed library through its RPATH alone.
set(ENV{LD_LIBRARY_PATH} "")
execute_process(COMMAND ${prefix}/${BINDIR}/aztable --version
  RESULT_VARIABLE rc OUTPUT_VARIABLE version_output ERROR_VARIABLE error)
if(NOT rc EQUAL 0 OR NOT version_output STREQUAL "aztable ${VERSION}\n")
  message(FATAL_ERROR "installed aztable --version: exit ${rc}, printed '${version_output}' ${error}")
endif()

# The controller uses the installed library (no copy of its own) and finds it relative to itself.
if(READELF)
  execute_process(COMMAND ${READELF} -d ${prefix}/${BINDIR}/aztable OUTPUT_VARIABLE dynamic RESULT_VARIABLE rc)
  if(NOT dynamic MATCHES "NEEDED[^\n]*\\[libaztable\\.so\\.${major}\\]")
    message(FATAL_ERROR "the installed aztable does not load libaztable.so.${major}:\n${dynamic}")
  endif()
  if(NOT dynamic MATCHES "R(UN)?PATH[^\n]*\\[\\$ORIGIN/" OR dynamic MATCHES "${BUILD_DIR}")
    message(FATAL_ERROR "the installed aztable's RPATH is not relative to the binary:\n${dynamic}")
  endif()
endif()

# A program that includes every installed header builds with nothing but what aztable.pc says,
# links the installed library and runs.
if(CXX AND PKG_CONFIG)
  set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
  execute_process(COMMAND ${PKG_CONFIG} --cflags --libs aztable
    RESULT_VARIABLE rc OUTPUT_VARIABLE flags ERROR_VARIABLE error OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "pkg-config does not know the installed aztable: ${error}")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  separate_arguments(sanitize UNIX_COMMAND "${SANITIZE_FLAGS}")
  file(GLOB_RECURSE headers RELATIVE ${prefix}/${INCLUDEDIR}/aztable ${prefix}/${INCLUDEDIR}/aztable/*.h)
  set(source "")
  foreach(header ${headers})
    string(APPEND source "#include \"${header}\"\n")
  endforeach()
  string(APPEND source "#include <cstdio>\nint main() { std::printf(\"%s\\n\", platform::log::redact(\"AccountKey=k\").c_str()); }\n")
  file(WRITE ${prefix}/consumer.cpp "${source}")
  execute_process(COMMAND ${CXX} -std=c++17 ${sanitize} ${prefix}/consumer.cpp ${flags}
      -Wl,-rpath,${prefix}/${LIBDIR} -o ${prefix}/consumer
    RESULT_VARIABLE rc OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "a program using the installed headers and aztable.pc does not build:\n${output}")
  endif()
  execute_process(COMMAND ${prefix}/consumer RESULT_VARIABLE rc OUTPUT_VARIABLE consumer_output)
  if(NOT rc EQUAL 0 OR NOT consumer_output STREQUAL "AccountKey=***\n")
    message(FATAL_ERROR "the program built against the install failed (${rc}): ${consumer_output}")
  endif()
endif()
string(STRIP "${version_output}" version_output)
message(STATUS "installed into ${prefix}; aztable --version: ${version_output}")
