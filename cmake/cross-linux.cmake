# The part every cross toolchain file of the project shares. Its caller sets
#   FLASHTOOL_CROSS_TRIPLET   the Debian cross toolchain's prefix (g++-TRIPLET);
#   FLASHTOOL_CROSS_SYSROOT   a root tree with the target's zlib, or empty for the machine's
#                             multiarch zlib;
#   FLASHTOOL_CROSS_QEMU      the qemu-user program that runs the target's programs.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${FLASHTOOL_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${FLASHTOOL_CROSS_TRIPLET}-g++)

# Libraries, headers and packages come from the target's trees only, never the build machine's.
if(FLASHTOOL_CROSS_SYSROOT)
  set(CMAKE_FIND_ROOT_PATH ${FLASHTOOL_CROSS_SYSROOT} /usr/${FLASHTOOL_CROSS_TRIPLET})
else()
  set(CMAKE_FIND_ROOT_PATH /usr/${FLASHTOOL_CROSS_TRIPLET} /)
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# When qemu-user is present it runs the target's programs: the unit tests, GoogleTest's test
# discovery and the black-box scenarios.
find_program(FLASHTOOL_CROSS_QEMU_PATH ${FLASHTOOL_CROSS_QEMU})
if(FLASHTOOL_CROSS_QEMU_PATH)
  # -L: where the guest's loader and shared libraries are found.
  if(FLASHTOOL_CROSS_SYSROOT)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${FLASHTOOL_CROSS_QEMU_PATH} -L ${FLASHTOOL_CROSS_SYSROOT})
  else()
    set(CMAKE_CROSSCOMPILING_EMULATOR ${FLASHTOOL_CROSS_QEMU_PATH} -L /usr/${FLASHTOOL_CROSS_TRIPLET})
  endif()
endif()
