# Cross build for the device: 32-bit ARM Linux, hard-float EABI, with Debian's
# arm-linux-gnueabihf toolchain (package g++-arm-linux-gnueabihf).
#
#   cmake -S . -B build-arm --toolchain cmake/arm-linux-gnueabihf.cmake \
#         -DFLASHTOOL_ARM_SYSROOT=$PWD/build-arm/sysroot && cmake --build build-arm
#
# FLASHTOOL_ARM_SYSROOT names a root file system tree holding the armhf zlib
# (usr/include/zlib.h, usr/lib/arm-linux-gnueabihf/libz.*); tools/arm-sysroot makes one
# from Debian's archive. Left empty, zlib comes from the machine itself, as installed by
# `dpkg --add-architecture armhf && apt-get install zlib1g-dev:armhf`.
# When qemu-arm (package qemu-user) is present it runs the target's programs: the unit
# tests, GoogleTest's test discovery and the black-box scenarios.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(FLASHTOOL_ARM_TRIPLET arm-linux-gnueabihf)

set(CMAKE_C_COMPILER ${FLASHTOOL_ARM_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${FLASHTOOL_ARM_TRIPLET}-g++)

set(FLASHTOOL_ARM_SYSROOT "" CACHE PATH "Root tree with the armhf zlib (empty: the machine's multiarch zlib)")
# try_compile projects read this file again and need the same value.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES FLASHTOOL_ARM_SYSROOT)

# Libraries, headers and packages come from the target's trees only, never the build machine's.
if(FLASHTOOL_ARM_SYSROOT)
  set(CMAKE_FIND_ROOT_PATH ${FLASHTOOL_ARM_SYSROOT} /usr/${FLASHTOOL_ARM_TRIPLET})
else()
  set(CMAKE_FIND_ROOT_PATH /usr/${FLASHTOOL_ARM_TRIPLET} /)
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(FLASHTOOL_QEMU_ARM qemu-arm)
if(FLASHTOOL_QEMU_ARM)
  # -L: where the guest's /lib/ld-linux-armhf.so.3 and shared libraries are found.
  if(FLASHTOOL_ARM_SYSROOT)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${FLASHTOOL_QEMU_ARM} -L ${FLASHTOOL_ARM_SYSROOT})
  else()
    set(CMAKE_CROSSCOMPILING_EMULATOR ${FLASHTOOL_QEMU_ARM} -L /usr/${FLASHTOOL_ARM_TRIPLET})
  endif()
endif()
