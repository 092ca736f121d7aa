# Install rules and Debian packages. The same rules serve `cmake --install` into a staging folder
# (--prefix, or DESTDIR for absolute folders), firmware build systems that drive CMake, and cpack.
# Only the programs, their manual pages, documents, start-up files and example settings are
# installed; nothing of the tests.
include(GNUInstallDirs)

install(TARGETS cdrd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS cdrctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES docs/man/cdrd.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES docs/man/cdrctl.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md docs/protocol.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY dist/velk-conf DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# Start at boot: a systemd unit and a SysV init script, both pointing at the installed cdrd.
set(CDR_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd unit goes, relative to the prefix or absolute")
configure_file(dist/cdrd.service.in ${CMAKE_BINARY_DIR}/dist/cdrd.service @ONLY)
configure_file(dist/cdrd.init.in ${CMAKE_BINARY_DIR}/dist/cdrd.init @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/dist/cdrd.service DESTINATION ${CDR_SYSTEMD_UNIT_DIR})
install(PROGRAMS ${CMAKE_BINARY_DIR}/dist/cdrd.init DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/init.d
        RENAME cdrd)

# Debian packages: `cpack -G DEB` in a build folder configured with CMAKE_INSTALL_PREFIX=/usr and
# CMAKE_INSTALL_SYSCONFDIR=/etc (scripts/package does both builds, host and powerpc).
set(CPACK_PACKAGE_NAME call-detail-recorder)
set(CPACK_PACKAGE_VENDOR "Call Detail Recorder team")
set(CPACK_PACKAGE_CONTACT "Call Detail Recorder team <cdr@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Call detail recorder of the telephony device")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
# The init script is the administrator's to edit: an upgrade asks before replacing a changed one.
file(WRITE ${CMAKE_BINARY_DIR}/dist/conffiles "${CMAKE_INSTALL_FULL_SYSCONFDIR}/init.d/cdrd\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/dist/conffiles)
if(CMAKE_CROSSCOMPILING)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(powerpc|ppc)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE powerpc)
  else()
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${CMAKE_SYSTEM_PROCESSOR})
  endif()
endif()
include(CPack)
