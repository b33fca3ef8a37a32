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
file(GLOB documents ${CMAKE_SOURCE_DIR}/docs/*.md)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${documents} DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The station's service: the template unit and an example configuration come from
# packaging/systemd/ (its own CMakeLists.txt); here the folder of each station's NAME.conf.
install(DIRECTORY DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/tarvolo)

include(${CMAKE_SOURCE_DIR}/packaging/man/ManPages.cmake)
