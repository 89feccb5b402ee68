# cpack -G DEB: libostmail1 (the shared library), libostmail-dev (headers,
# CMake package, pkg-config file) and ostmail (the program).
set(CPACK_PACKAGE_NAME ostmail)
set(CPACK_PACKAGE_VENDOR "Ostmail developers")
set(CPACK_PACKAGE_CONTACT "Ostmail developers <ostmail@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "send e-mail over SMTP from C++ programs")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev program)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://ostmail.example.org/")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libostmail${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/deb/triggers)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "send e-mail over SMTP from C++ programs - shared library\n Ostmail sends e-mail over SMTP with STARTTLS or implicit TLS, SMTP\n authentication, SOCKS proxies, attachments and delivery status\n notifications. This package holds the shared library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libostmail-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libostmail${PROJECT_VERSION_MAJOR} (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "send e-mail over SMTP from C++ programs - development files\n The headers, the CMake package (find_package(Ostmail)) and the\n pkg-config file for building programs against the Ostmail library.")

set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME ostmail)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SECTION mail)
set(CPACK_COMPONENT_PROGRAM_DESCRIPTION
  "send e-mail over SMTP from the command line\n The ostmail program sends one message over SMTP with TLS, login,\n CC/BCC, attachments, retries, DSN and SOCKS proxies.")

file(WRITE ${CMAKE_BINARY_DIR}/deb/triggers "activate-noawait ldconfig\n")

# Debian wants a copyright file and a changelog in every package's doc folder.
foreach(comp runtime dev program)
  string(TOUPPER ${comp} COMP)
  set(pkg ${CPACK_DEBIAN_${COMP}_PACKAGE_NAME})
  set(docdir ${CMAKE_BINARY_DIR}/deb/doc/${pkg})
  file(MAKE_DIRECTORY ${docdir})
  file(WRITE ${docdir}/copyright
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\nUpstream-Name: ostmail\n\nFiles: *\nCopyright: 2026 Ostmail developers\nLicense: proprietary\n Copyright 2026 Ostmail developers. All rights reserved.\n")
  file(WRITE ${docdir}/changelog
    "${pkg} (${PROJECT_VERSION}) unstable; urgency=medium\n\n  * Release ${PROJECT_VERSION}.\n\n -- Ostmail developers <ostmail@example.org>  Mon, 07 Dec 2026 00:00:00 +0000\n")
  execute_process(COMMAND gzip -9nkf ${docdir}/changelog)
  install(FILES ${docdir}/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${pkg} COMPONENT ${comp})
  install(FILES ${docdir}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${pkg} COMPONENT ${comp})
endforeach()

include(CPack)
