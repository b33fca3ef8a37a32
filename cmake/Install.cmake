# What `cmake --install` puts on a Linux machine, in the usual places (GNUInstallDirs): the two
# programs, their manual pages, the udev rule for USB adapters, the station's service unit and its
# configuration folder, and the documentation. The Debian package (debian/) installs through
# these rules alone; the Windows build has an installer of its own (packaging/windows/).
#
# udev and systemd read lib/udev/rules.d and lib/systemd/system under /usr, never under the
# multiarch library folder, so those two are spelled out rather than taken from LIBDIR: with
# the prefix /usr (the package's) the files land where the system reads them; under another
# prefix they wait there to be copied by hand.
set(CMAKE_INSTALL_DOCDIR share/doc/tarvolo CACHE PATH "Documentation (README.md, docs/)")
include(GNUInstallDirs)
set(TARVOLO_UDEV_RULES_DIR lib/udev/rules.d CACHE PATH "udev rules, under the prefix")
set(TARVOLO_SYSTEMD_UNIT_DIR lib/systemd/system CACHE PATH "systemd units, under the prefix")

install(TARGETS tarvolo tarvolo-handset RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/udev/60-tarvolo.rules DESTINATION ${TARVOLO_UDEV_RULES_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/performance.md
              ${CMAKE_SOURCE_DIR}/docs/production-record.md ${CMAKE_SOURCE_DIR}/docs/reliability.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The station's service: the template unit and its configuration folder /etc/tarvolo (one
# NAME.conf per station), both from packaging/systemd/, installed once that folder has them.
set(station_unit ${CMAKE_SOURCE_DIR}/packaging/systemd/tarvolo-station@.service)
if(EXISTS ${station_unit})
  install(FILES ${station_unit} DESTINATION ${TARVOLO_SYSTEMD_UNIT_DIR})
  install(DIRECTORY DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/tarvolo)
endif()

include(${CMAKE_SOURCE_DIR}/packaging/man/ManPages.cmake)
