# Debian packages made by cpack (scripts/package.sh): the plug-in, the stand-in host library
# the programs need, the driver, the simulator and the inspector, for the architecture built.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ads-plc)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "ads_plc developers <ads-plc@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "ADS connector plug-in for the TAV host, with driver, PLC simulator and inspector")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Reads and writes PLC variables over ADS (AMS/TCP) for the TAV data-acquisition host.\nads-plc-driver rehearses a plant without the host, ads-plc-sim simulates PLCs and\nads-plc-inspect checks a plug-in file.")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
# Named rather than found by dpkg-shlibdeps, which cannot inspect a cross build's files.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt5core5a (>= 5.15), libssl3, libstdc++6, libc6")
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
endif()
include(CPack)
