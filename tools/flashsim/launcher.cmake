# The launcher's Python package, flashsim/*.py: copied into the build tree beside the
# library (build/flashsim finds it in build/tools/flashsim) and installed beside it, in
# lib/flashtool/flashsim.
file(GLOB FLASHSIM_PACKAGE CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/flashsim/*.py)
foreach(module ${FLASHSIM_PACKAGE})
  get_filename_component(name ${module} NAME)
  configure_file(${module} ${CMAKE_CURRENT_BINARY_DIR}/flashsim/${name} COPYONLY)
endforeach()
install(FILES ${FLASHSIM_PACKAGE} DESTINATION lib/flashtool/flashsim COMPONENT flashsim)
