# The Debian package: `cpack -G DEB` in a build tree configured with
# -DCMAKE_INSTALL_PREFIX=/usr gives tessaly_<version>_<arch>.deb with the
# command, the library and its development files, the dialog module, the man
# page and the engine examples. Dependencies come from dpkg-shlibdeps.

set(TESSALY_PACKAGE_MAINTAINER "tessaly developers <tessaly@example.org>"
    CACHE STRING "Maintainer field of the Debian package")

# Documentation of the package: the copyright file, the changelog and the man
# page compressed as Debian wants them (gzip -9n: no name, no time stamp,
# so the package is the same on every build).
set(TESSALY_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging/debian)
configure_file(${TESSALY_PACKAGING_DIR}/changelog.in
               ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
set(TESSALY_GZ_DOCS
  ${PROJECT_BINARY_DIR}/packaging/tessaly.1.gz
  ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(
  OUTPUT ${TESSALY_GZ_DOCS}
  COMMAND sh -c "gzip -9nc '${PROJECT_SOURCE_DIR}/doc/tessaly.1' > tessaly.1.gz"
  COMMAND sh -c "gzip -9nc changelog > changelog.gz"
  DEPENDS ${PROJECT_SOURCE_DIR}/doc/tessaly.1 ${PROJECT_BINARY_DIR}/packaging/changelog
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/packaging
  VERBATIM)
add_custom_target(tessaly_package_docs ALL DEPENDS ${TESSALY_GZ_DOCS})

install(FILES ${PROJECT_BINARY_DIR}/packaging/tessaly.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${TESSALY_PACKAGING_DIR}/copyright
              ${PROJECT_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/doc/examples/
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES ${TESSALY_PACKAGING_DIR}/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME tessaly)

if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(STATUS "Packaging: CMAKE_INSTALL_PREFIX is ${CMAKE_INSTALL_PREFIX}; "
                 "a Debian package wants -DCMAKE_INSTALL_PREFIX=/usr")
endif()


set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessaly)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${TESSALY_PACKAGE_MAINTAINER})
# The paths compiled into the binaries (the dialog module's directory, the
# pkg-config prefix) are those of CMAKE_INSTALL_PREFIX: the package must
# install exactly there.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shlibs control file for libtessaly.so.0 and the ldconfig trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# ldconfig runs through a trigger. Maintainer scripts of our own (the state
# directory /var/lib/tessaly) take the place of CPack's, which would call
# ldconfig themselves.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${TESSALY_PACKAGING_DIR}/control/triggers
  ${TESSALY_PACKAGING_DIR}/control/postinst
  ${TESSALY_PACKAGING_DIR}/control/postrm)
# Dependencies that no shared library names: the condensed face the dialog
# is drawn in.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-dejavu-extra")
# The dialog needs a Qt platform plugin (xcb) to open a window.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "nagios4-core | icinga2-bin")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "end-to-end mail service check for monitoring engines")
# The extended description; CPack puts the summary in front and indents it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"tessaly checks a mail service from end to end: one call sends a control
mail by SMTP, the next fetches it back by POP3 or IMAP4, recognises it,
deletes it and answers up or down with one line of text. Simpler modes only
send, only fetch, or count a POP3 mailbox against a threshold.

The tessaly command is a monitoring plugin for Nagios, Icinga, Checkmk and
Zabbix: performance data with the delivery time, thresholds on it, and a
bound on the whole call. The package also holds the C library libtessaly
with its header and pkg-config file, and the Qt configuration dialog.")
include(CPack)
