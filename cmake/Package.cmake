# The Debian package: CPack packs what `cmake --install` lays out, under /usr. The package's
# manual pages name the guide's installed path, so a package build is configured with
# CMAKE_INSTALL_PREFIX=/usr (scripts/package.sh does).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lintaker)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Lintaker project")
set(LINTAKER_MAINTAINER "Lintaker maintainers <maintainers@users.noreply.c-seed-51ae92ab.example>"
    CACHE STRING "Maintainer named in the Debian package")
set(CPACK_PACKAGE_CONTACT ${LINTAKER_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${LINTAKER_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "exercise ORV and ODL field devices over a serial line")
set(CPACK_PACKAGE_DESCRIPTION
    "Lintaker is a small desktop tool with which a field technician exercises ORV
and ODL field devices over one serial line. It polls an RS485 bus of devices
every 500 ms, or monitors an RS232 line and answers every message, and shows
the traffic in a log that can be saved, recorded, time-stamped and summed up
per address.
.
The package also holds lintaker-sim, a simulator of the field devices on a
pseudo-terminal, so that the program can be tried without hardware.")
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The dependencies are the packages of the shared libraries the programs link to.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window's link opens the user guide with the desktop's default handler.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS xdg-utils)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
include(CPack)
