# Cross build for the device: 32-bit ARM Linux, hard-float EABI, with Debian's
# arm-linux-gnueabihf toolchain (package g++-arm-linux-gnueabihf).
#
#   cmake -S . -B build-arm --toolchain cmake/arm-linux-gnueabihf.cmake \
#         -DFLASHTOOL_ARM_SYSROOT=$PWD/build-arm/sysroot && cmake --build build-arm
#
# FLASHTOOL_ARM_SYSROOT names a root file system tree holding the armhf zlib
# (usr/include/zlib.h, usr/lib/arm-linux-gnueabihf/libz.*); tools/cross-sysroot arm makes
# one from Debian's archive. Left empty, zlib comes from the machine itself, as installed by
# `dpkg --add-architecture armhf && apt-get install zlib1g-dev:armhf`.
# When qemu-arm (package qemu-user) is present it runs the target's programs.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(FLASHTOOL_ARM_TRIPLET arm-linux-gnueabihf)
set(FLASHTOOL_ARM_SYSROOT "" CACHE PATH "Root tree with the armhf zlib (empty: the machine's multiarch zlib)")
# try_compile projects read this file again and need the same value.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES FLASHTOOL_ARM_SYSROOT)

set(FLASHTOOL_CROSS_TRIPLET ${FLASHTOOL_ARM_TRIPLET})
set(FLASHTOOL_CROSS_SYSROOT ${FLASHTOOL_ARM_SYSROOT})
set(FLASHTOOL_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
