# Install rules and Debian packages. The same rules serve `cmake --install` into a staging folder
# (--prefix, or DESTDIR for absolute folders), firmware build systems that drive CMake, and cpack.
# Only the programs, their manual pages, documents, start-up files and example settings are
# installed; nothing of the tests.
set(CMAKE_INSTALL_DOCDIR "share/doc/call-detail-recorder" CACHE PATH
    "Documentation folder (named as the package)")
include(GNUInstallDirs)

# Manual pages and the changelog are installed compressed (gzip -9n: the same bytes every build).
function(cdr_gzip output source)
  add_custom_command(OUTPUT ${output} COMMAND gzip -9nc ${source} > ${output}
                     DEPENDS ${source} VERBATIM)
endfunction()
set(gz ${CMAKE_BINARY_DIR}/dist/gz)
file(MAKE_DIRECTORY ${gz})
cdr_gzip(${gz}/cdrd.8.gz ${CMAKE_SOURCE_DIR}/docs/man/cdrd.8)
cdr_gzip(${gz}/cdrctl.1.gz ${CMAKE_SOURCE_DIR}/docs/man/cdrctl.1)
cdr_gzip(${gz}/changelog.gz ${CMAKE_SOURCE_DIR}/dist/debian/changelog)
add_custom_target(cdr_compressed_docs ALL
                  DEPENDS ${gz}/cdrd.8.gz ${gz}/cdrctl.1.gz ${gz}/changelog.gz)

install(TARGETS cdrd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS cdrctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${gz}/cdrd.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${gz}/cdrctl.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md dist/debian/copyright ${gz}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The guides keep their place beside the README, so that its links lead to them once installed.
install(FILES docs/operation.md docs/protocol.md docs/design.md docs/performance.md
              docs/reliability.md docs/per_report_cost.png
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
install(DIRECTORY dist/velk-conf DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# Start at boot: a systemd unit and a SysV init script, both pointing at the installed cdrd, and
# the start-up settings both read.
set(CDR_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd unit goes, relative to the prefix or absolute")
configure_file(dist/cdrd.service.in ${CMAKE_BINARY_DIR}/dist/cdrd.service @ONLY)
configure_file(dist/cdrd.init.in ${CMAKE_BINARY_DIR}/dist/cdrd.init @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/dist/cdrd.service DESTINATION ${CDR_SYSTEMD_UNIT_DIR})
install(PROGRAMS ${CMAKE_BINARY_DIR}/dist/cdrd.init DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/init.d
        RENAME cdrd)
install(FILES dist/debian/default DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/default RENAME cdrd)

# Debian packages: `cpack -G DEB` in a build folder configured with CMAKE_INSTALL_PREFIX=/usr and
# CMAKE_INSTALL_SYSCONFDIR=/etc, with debug information (scripts/package does both builds, host
# and powerpc). The programs go stripped; their debug symbols go to a -dbgsym package.
set(CDR_PACKAGE_VERSION ${PROJECT_VERSION} CACHE STRING "Version of the Debian package")
set(CPACK_PACKAGE_NAME call-detail-recorder)
set(CPACK_PACKAGE_VENDOR "Call Detail Recorder team")
set(CPACK_PACKAGE_CONTACT "Call Detail Recorder team <cdr-team@example.org>")
set(CPACK_PACKAGE_VERSION ${CDR_PACKAGE_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
# The maintainer scripts register the service with these helpers (invoke-rc.d's
# --skip-systemd-native came with 1.54).
set(CPACK_DEBIAN_PACKAGE_PREDEPENDS "init-system-helpers (>= 1.54~)")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "call detail recorder of a telephony device
cdrd records every finished call that the device's call manager reports on a
message queue: answered, missed and failed calls each go to a bounded database
on storage, written every few records and on request, and into a download log
that is delivered to a collector for statistics. It serves clear, flush and
reload requests of the device's web side on a second queue, keeps a trace log
and reports stop signals and crashes with a backtrace.
.
cdrctl posts reports and requests on the recorder's queues from the command
line and prints the stored records as a table, CSV or JSON.")
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
# The init script and the start-up settings are the administrator's to edit: an upgrade keeps a
# changed one (asking first), a removal keeps them, a purge removes them.
file(WRITE ${CMAKE_BINARY_DIR}/dist/conffiles "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/cdrd\n"
                                               "${CMAKE_INSTALL_FULL_SYSCONFDIR}/init.d/cdrd\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/dist/conffiles ${CMAKE_SOURCE_DIR}/dist/debian/postinst
    ${CMAKE_SOURCE_DIR}/dist/debian/prerm ${CMAKE_SOURCE_DIR}/dist/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(CMAKE_CROSSCOMPILING)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(powerpc|ppc)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE powerpc)
  else()
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${CMAKE_SYSTEM_PROCESSOR})
  endif()
endif()
include(CPack)
