# Run at install time (install(SCRIPT)): writes tarnwick.pc for the prefix
# being installed to and installs it. The variables come from the install(CODE)
# just before; DESTDIR (cpack's staging) is honoured by file(INSTALL).
if(CMAKE_INSTALL_PREFIX MATCHES "^/usr(/local)?/?$")
  string(REGEX REPLACE "/$" "" TARNWICK_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  set(TARNWICK_PC_PREFIX "\${pcfiledir}/${TARNWICK_PC_TO_PREFIX}")
endif()
foreach(_dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${TARNWICK_INSTALL_${_dir}}")
    set(TARNWICK_PC_${_dir} "${TARNWICK_INSTALL_${_dir}}")
  else()
    set(TARNWICK_PC_${_dir} "\${prefix}/${TARNWICK_INSTALL_${_dir}}")
  endif()
endforeach()
configure_file("${TARNWICK_PC_TEMPLATE}" "${TARNWICK_PC_WORK}/tarnwick.pc" @ONLY)
file(INSTALL "${TARNWICK_PC_WORK}/tarnwick.pc"
     DESTINATION "${CMAKE_INSTALL_PREFIX}/${TARNWICK_PKGCONFIG_DIR}")
