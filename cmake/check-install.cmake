# cmake -DBUILD_DIR=<build tree> -DDESTDIR=<folder> -P check-install.cmake
# Installs the build tree with prefix /usr into a fresh DESTDIR, the way a firmware build
# system stages a package, and checks that exactly the program and its manual page arrive,
# with no run-time search path into the build machine.
file(REMOVE_RECURSE ${DESTDIR})
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${DESTDIR} ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix /usr
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${status}")
endif()
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE ${DESTDIR} ${DESTDIR}/*)
list(SORT installed)
set(expected usr/sbin/flashtool usr/share/man/man8/flashtool.8)
if(NOT installed STREQUAL expected)
  message(FATAL_ERROR "installed '${installed}', expected '${expected}'")
endif()
file(READ_ELF ${DESTDIR}/usr/sbin/flashtool RPATH rpath RUNPATH runpath)
if(rpath OR runpath)
  message(FATAL_ERROR "installed flashtool keeps a search path: '${rpath}${runpath}'")
endif()
message(STATUS "installed: ${installed}")
