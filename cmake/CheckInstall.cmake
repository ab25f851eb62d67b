# Run by ctest (test "install"): installs the build tree into a fresh prefix, checks the library
# (with its soname links), the controller, the headers and the pkg-config file are there, that
# the installed headers compile on their own against the installed include folder, and that the
# installed controller runs from the prefix and prints its version.
#
#   cmake -DBUILD_DIR=<build> -DVERSION=<x.y.z> -DLIBDIR=lib -DINCLUDEDIR=include -DBINDIR=bin
#         [-DCXX=<compiler>] [-DREADELF=<readelf>] -P CheckInstall.cmake
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
  RESULT_VARIABLE rc OUTPUT_VARIABLE output ERROR_VARIABLE error)
if(NOT rc EQUAL 0 OR NOT output STREQUAL "aztable ${VERSION}\n")
  message(FATAL_ERROR "installed aztable --version: exit ${rc}, printed '${output}' ${error}")
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

# Every installed header compiles with nothing but the installed include folder.
if(CXX)
  file(GLOB_RECURSE headers RELATIVE ${prefix}/${INCLUDEDIR}/aztable ${prefix}/${INCLUDEDIR}/aztable/*.h)
  set(source "")
  foreach(header ${headers})
    string(APPEND source "#include \"${header}\"\n")
  endforeach()
  file(WRITE ${prefix}/all_headers.cpp "${source}")
  execute_process(COMMAND ${CXX} -std=c++17 -fsyntax-only -DRAPIDJSON_HAS_STDSTRING=1
      -I${prefix}/${INCLUDEDIR}/aztable ${prefix}/all_headers.cpp
    RESULT_VARIABLE rc OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "the installed headers do not compile on their own:\n${output}")
  endif()
endif()
message(STATUS "installed into ${prefix}; aztable --version: ${output}")
