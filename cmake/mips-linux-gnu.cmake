# Cross build for big-endian boards: 32-bit MIPS Linux (MIPS32 release 2, big-endian,
# o32), with Debian's mips-linux-gnu toolchain (package g++-mips-linux-gnu).
#
#   tools/cross-sysroot mips build-mips/sysroot
#   cmake -S . -B build-mips --toolchain cmake/mips-linux-gnu.cmake \
#         -DFLASHTOOL_MIPS_SYSROOT=$PWD/build-mips/sysroot && cmake --build build-mips
#
# FLASHTOOL_MIPS_SYSROOT names a root tree holding zlib built for the target
# (usr/include/zlib.h, usr/lib/mips-linux-gnu/libz.*): Debian 12 has no mips architecture,
# so tools/cross-sysroot builds it from Debian's zlib source package. When qemu-mips
# (package qemu-user) is present it runs the target's programs.
set(CMAKE_SYSTEM_PROCESSOR mips)
set(FLASHTOOL_MIPS_SYSROOT "" CACHE PATH "Root tree with zlib built for mips-linux-gnu")
# try_compile projects read this file again and need the same value.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES FLASHTOOL_MIPS_SYSROOT)

set(FLASHTOOL_CROSS_TRIPLET mips-linux-gnu)
set(FLASHTOOL_CROSS_SYSROOT ${FLASHTOOL_MIPS_SYSROOT})
set(FLASHTOOL_CROSS_QEMU qemu-mips)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
