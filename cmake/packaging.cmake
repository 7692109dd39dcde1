# A Debian package of what `cmake --install` installs: `cpack -G DEB` in a
# build configured for /usr (make package). Its dependencies come from the
# shared libraries the program links, found by dpkg-shlibdeps, and the two
# things it loads at run time: Qt's display plugins and a font with Cyrillic.
set(CPACK_PACKAGE_NAME rilvet48)
set(CPACK_PACKAGE_VENDOR "Rilvet-48 developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "play a 48-channel on/off sequence on a 74HC595 board on a serial port")
set(CPACK_PACKAGE_DESCRIPTION
    "Rilvet-48 plays a 48-channel on/off sequence on a home-built board of six
chained 74HC595 shift registers hung on a PC serial port, by switching the
port's modem-control lines (RTS data, DTR shift clock) and latching each step
with one byte. Three board inputs switch the first eight outputs as the user
matches them. A simulated board lets a sequence be tried without hardware.
The program's windows are in Russian.")
set(CPACK_PACKAGE_CONTACT "Rilvet-48 developers <rilvet48@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-liberation | fonts-dejavu-core")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${RILVET_HOMEPAGE})

include(CPack)
