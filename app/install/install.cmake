# What `cmake --install` puts on a machine, and the Debian package of it
# (`cpack`, run by scripts/package). Included last, once every program exists.
#
#   <prefix>/lib/travcard/travcard        the program
#   <prefix>/lib/travcard/travcard.cfg    -> <sysconf>/travcard/travcard.cfg, as the
#                                         program reads its configuration beside itself
#   <prefix>/bin/travcard                 -> ../lib/travcard/travcard
#   <sysconf>/travcard/travcard.cfg       the configuration (a conffile in the package)
#   <unitdir>/travcard.service            the print service, `travcard serve`, not
#                                         enabled; the package's postinst makes its
#                                         user and its tokens file
# with the prefix /usr, <sysconf> is /etc; <unitdir> is systemd's folder of
# system units (TRAVCARD_SYSTEMD_UNITDIR), /lib/systemd/system on Debian 12.

include(GNUInstallDirs)

set(TRAVCARD_PACKAGE_MAINTAINER "travcard developers <travcard@example.com>"
    CACHE STRING "Maintainer of the Debian package, as: name <address>")

set(travcard_programdir lib/travcard)
set(travcard_confdir ${CMAKE_INSTALL_FULL_SYSCONFDIR}/travcard)
set(travcard_docdir ${CMAKE_INSTALL_DATADIR}/doc/travcard)
set(travcard_made ${PROJECT_BINARY_DIR}/install-files)

# systemd names its folder for system units in systemd.pc; without it, Debian 12's.
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_get_variable(travcard_systemd_unitdir systemd systemdsystemunitdir)
endif()
if(NOT travcard_systemd_unitdir)
  set(travcard_systemd_unitdir /lib/systemd/system)
endif()
set(TRAVCARD_SYSTEMD_UNITDIR ${travcard_systemd_unitdir}
    CACHE PATH "Folder of systemd's system units that travcard.service is installed to")

# The links are made here and installed as links.
file(MAKE_DIRECTORY ${travcard_made}/bin ${travcard_made}/programdir)
file(CREATE_LINK ../${travcard_programdir}/travcard ${travcard_made}/bin/travcard SYMBOLIC)
file(CREATE_LINK ${travcard_confdir}/travcard.cfg ${travcard_made}/programdir/travcard.cfg SYMBOLIC)

install(TARGETS travcard RUNTIME DESTINATION ${travcard_programdir})
install(FILES ${travcard_made}/programdir/travcard.cfg DESTINATION ${travcard_programdir})
install(FILES ${travcard_made}/bin/travcard DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/travcard.cfg DESTINATION ${travcard_confdir})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/travcard.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/travcard.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright DESTINATION ${travcard_docdir})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/travcard.service DESTINATION ${TRAVCARD_SYSTEMD_UNITDIR})

# Manual pages and the changelog are installed compressed, as Debian's tools expect.
set(travcard_compressed)
function(travcard_install_compressed template name destination)
  configure_file(${template} ${travcard_made}/${name} @ONLY)
  add_custom_command(OUTPUT ${travcard_made}/${name}.gz
                     COMMAND sh -c "gzip -9nc \"$1\" > \"$1.gz\"" sh ${name}
                     WORKING_DIRECTORY ${travcard_made}
                     DEPENDS ${travcard_made}/${name}
                     VERBATIM)
  install(FILES ${travcard_made}/${name}.gz DESTINATION ${destination})
  set(travcard_compressed ${travcard_compressed} ${travcard_made}/${name}.gz PARENT_SCOPE)
endfunction()

travcard_install_compressed(${CMAKE_CURRENT_LIST_DIR}/travcard.1.in travcard.1
                            ${CMAKE_INSTALL_MANDIR}/man1)
travcard_install_compressed(${CMAKE_CURRENT_LIST_DIR}/changelog.in changelog
                            ${travcard_docdir})

add_custom_target(travcard_install_files ALL DEPENDS ${travcard_compressed})
# For the package tests (tests/package), which are set up before this file.
set_target_properties(travcard_install_files PROPERTIES
                      TRAVCARD_SYSTEMD_UNITDIR ${TRAVCARD_SYSTEMD_UNITDIR})
add_dependencies(travcard_install_files travcard)

if(TARGET travcard-render)
  install(TARGETS travcard-render RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  travcard_install_compressed(${PROJECT_SOURCE_DIR}/render/travcard-render.1.in
                              travcard-render.1 ${CMAKE_INSTALL_MANDIR}/man1)
  add_custom_target(travcard_render_install_files ALL DEPENDS ${travcard_made}/travcard-render.1.gz)
  add_dependencies(travcard_install_files travcard-render travcard_render_install_files)
endif()

# The Debian package.
file(CONFIGURE OUTPUT ${travcard_made}/debian/conffiles
     CONTENT "${travcard_confdir}/travcard.cfg\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME travcard)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "move tickets for the shop floor from the ERP database")
set(CPACK_PACKAGE_DESCRIPTION [[
An operator looks up a shop order in the plant's ERP database, over the
ODBC data source xfODBC, and prints its move tickets, one card per routing
operation, to a Zebra label printer as ZPL II jobs or to an EPSON
dot-matrix printer as ESC/P pages with bit-image barcodes. A second window
prints nested-part cards. The printer is set in /etc/travcard/travcard.cfg.]])
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TRAVCARD_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt's SQLite driver, a plugin that the print journal loads; the libraries
# linked (Qt Sql, libsqlite3, libcrypto) come from the shared-library scan.
# adduser makes the print service's user in the postinst.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6sql6-sqlite, adduser")
# A driver for the plant's database, a font for the windows' texts, the
# font that previews draw Zebra labels with, and libcups, which
# PRINTER=cups:QUEUE loads when it is used.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "odbc-postgresql | libsqliteodbc, fonts-dejavu-core, fonts-texgyre, libcups2")
# isql to try the data source; a CUPS server for PRINTER=cups:QUEUE.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "unixodbc, cups, libqt6sql6-psql")
# postinst and postrm: the print service's user and tokens file (app/install).
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${travcard_made}/debian/conffiles
    ${CMAKE_CURRENT_LIST_DIR}/postinst ${CMAKE_CURRENT_LIST_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_STRIP_FILES TRUE)
include(CPack)
