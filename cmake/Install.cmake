# cmake --install: the shared library with its soname, the public headers,
# the program, and what lets consumers find them (CMake package, pkg-config).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set_target_properties(ostmail PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
target_include_directories(ostmail INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS ostmail EXPORT OstmailTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/ostmail DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
if(TARGET ostmail_cli)
  install(TARGETS ostmail_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
endif()

set(ostmail_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Ostmail)
install(EXPORT OstmailTargets NAMESPACE Ostmail:: FILE OstmailTargets.cmake
  DESTINATION ${ostmail_cmake_dir} COMPONENT dev)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/OstmailConfig.cmake.in
  ${CMAKE_BINARY_DIR}/OstmailConfig.cmake INSTALL_DESTINATION ${ostmail_cmake_dir})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/OstmailConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/OstmailConfig.cmake ${CMAKE_BINARY_DIR}/OstmailConfigVersion.cmake
  DESTINATION ${ostmail_cmake_dir} COMPONENT dev)

# Relative to the file's own folder, so `--prefix` at install time holds.
file(RELATIVE_PATH ostmail_pc_up ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
configure_file(${CMAKE_SOURCE_DIR}/cmake/ostmail.pc.in ${CMAKE_BINARY_DIR}/ostmail.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/ostmail.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
