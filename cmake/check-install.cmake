# cmake -DBUILD_DIR=<build tree> -DDESTDIR=<folder> -P check-install.cmake
# Installs the build tree with prefix /usr into a fresh DESTDIR, the way a firmware build
# system stages a package, and checks that exactly the program, the flash simulator and
# their manual pages arrive, with no run-time search path into the build machine; then that
# the device's own component, flashtool, is the program and its manual page alone.
function(install_into component expected)
  file(REMOVE_RECURSE ${DESTDIR})
  set(only)
  if(component)
    set(only --component ${component})
  endif()
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${DESTDIR} ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix /usr ${only}
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "cmake --install ${only} failed: ${status}")
  endif()
  file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE ${DESTDIR} ${DESTDIR}/*)
  list(SORT installed)
  if(NOT installed STREQUAL expected)
    message(FATAL_ERROR "installed '${installed}', expected '${expected}'")
  endif()
  message(STATUS "installed ${only}: ${installed}")
endfunction()

# The launcher's package, module by module.
set(package __init__ campaign checks cli copies errors flash isolation judge library merge report run trace)
list(TRANSFORM package REPLACE "(.+)" "usr/lib/flashtool/flashsim/\\1.py")
install_into("" "usr/bin/flashsim;${package};usr/lib/flashtool/libflashsim.so;usr/sbin/flashtool;usr/share/man/man1/flashsim.1;usr/share/man/man8/flashtool.8")
foreach(elf usr/sbin/flashtool usr/lib/flashtool/libflashsim.so)
  file(READ_ELF ${DESTDIR}/${elf} RPATH rpath RUNPATH runpath)
  if(rpath OR runpath)
    message(FATAL_ERROR "installed ${elf} keeps a search path: '${rpath}${runpath}'")
  endif()
endforeach()
install_into(flashtool "usr/sbin/flashtool;usr/share/man/man8/flashtool.8")
