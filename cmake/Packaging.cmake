# Two Debian packages made by cpack (scripts/package.sh), for the architecture built:
#   ads-plc        the plug-in alone, for the gateway that runs the host;
#   ads-plc-tools  driver, simulator and inspector, with the stand-in host library they need in
#                  a private folder (never the system's library folder, where it could shadow
#                  the real host's library).
# Dependencies are computed from the binaries by dpkg-shlibdeps, with versions.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL plugin tools)
set(CPACK_PACKAGE_NAME ads-plc)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Release 2: the earlier single package held the tools too.
set(CPACK_DEBIAN_PACKAGE_RELEASE 2)
set(CPACK_PACKAGE_CONTACT "ads_plc developers <ads-plc@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The stand-in host library: the plug-in's dependency on it is met by the host that loads it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${PROJECT_BINARY_DIR}/host")

set(CPACK_DEBIAN_PLUGIN_PACKAGE_NAME ads-plc)
set(CPACK_COMPONENT_PLUGIN_DESCRIPTION
    "ADS connector plug-in for the TAV host\nReads and writes PLC variables over ADS (AMS/TCP) for the TAV data-acquisition host.\nInstall it on the gateway that runs the host; it holds the plug-in only.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ads-plc-tools)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "Driver, PLC simulator and inspector for the ADS connector plug-in\nads-plc-driver rehearses a plant without the host, ads-plc-sim simulates PLCs and\nads-plc-inspect checks a plug-in file. They bring a stand-in for the host library in\na private folder of their own.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS ads-plc)
set(CPACK_DEBIAN_TOOLS_PACKAGE_REPLACES "ads-plc (<< 1.0.7-2)")
set(CPACK_DEBIAN_TOOLS_PACKAGE_BREAKS "ads-plc (<< 1.0.7-2)")

if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
  # dpkg-shlibdeps then reads the armhf libraries (and the armhf objdump).
  file(WRITE "${PROJECT_BINARY_DIR}/CPackHostArch.cmake" "set(ENV{DEB_HOST_ARCH} armhf)\n")
  set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_BINARY_DIR}/CPackHostArch.cmake")
endif()
include(CPack)
