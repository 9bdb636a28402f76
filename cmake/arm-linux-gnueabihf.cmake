# Cross build for 32-bit ARM (armhf) with Debian's cross compiler and multiarch libraries.
# Test programs run under qemu-arm through the multiarch loader (no -L: the cross
# toolchain's loader with the multiarch libc crashes threaded programs).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# The notes on the ABI change of GCC 7.1 concern only code mixed with older compilers.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# Libraries found through pkg-config (OpenSSL) come from the armhf multiarch folders.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig")

find_program(ADS_PLC_QEMU_ARM qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${ADS_PLC_QEMU_ARM})
