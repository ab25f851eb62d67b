# cmake --install: the shared library (with its version and soname links), the headers of every
# layer under include/aztable/<layer>/, the controller and a relocatable pkg-config file.
install(TARGETS aztable
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development)
install(TARGETS aztable_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
foreach(layer platform table_service backup restore agent)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/${layer}/
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/aztable/${layer}
    FILES_MATCHING PATTERN "*.h")
endforeach()

set(AZT_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH AZT_PC_TO_PREFIX /prefix/${AZT_PC_DIR} /prefix)
string(REGEX REPLACE "/$" "" AZT_PC_TO_PREFIX "${AZT_PC_TO_PREFIX}")
configure_file(${CMAKE_SOURCE_DIR}/cmake/aztable.pc.in ${CMAKE_BINARY_DIR}/aztable.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/aztable.pc DESTINATION ${AZT_PC_DIR})
