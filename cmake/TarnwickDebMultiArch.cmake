# Run by cpack after the Debian packages are made (CPACK_POST_BUILD_SCRIPTS):
# adds each package's Multi-Arch field, which CMake 3.25's DEB generator cannot
# write. CPACK_TARNWICK_MULTIARCH lists "package=value" pairs; the package is
# unpacked with dpkg-deb, given the field after Architecture, and built again
# in place with the same compression and root ownership.
find_program(_dpkg_deb dpkg-deb REQUIRED)
foreach(_deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT _deb MATCHES "\\.deb$")
    continue()
  endif()
  execute_process(COMMAND "${_dpkg_deb}" -f "${_deb}" Package
                  OUTPUT_VARIABLE _package OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  set(_value "")
  foreach(_pair IN LISTS CPACK_TARNWICK_MULTIARCH)
    if(_pair MATCHES "^${_package}=(.+)$")
      set(_value "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  if(_value STREQUAL "")
    continue()
  endif()
  get_filename_component(_tree "${_deb}.tree" ABSOLUTE)
  file(REMOVE_RECURSE "${_tree}")
  execute_process(COMMAND "${_dpkg_deb}" -R "${_deb}" "${_tree}" COMMAND_ERROR_IS_FATAL ANY)
  file(READ "${_tree}/DEBIAN/control" _control)
  if(NOT _control MATCHES "\nMulti-Arch:")
    string(REGEX REPLACE "(Architecture: [^\n]*\n)" "\\1Multi-Arch: ${_value}\n" _control
           "${_control}")
    file(WRITE "${_tree}/DEBIAN/control" "${_control}")
  endif()
  execute_process(COMMAND "${_dpkg_deb}" --root-owner-group -Zgzip -b "${_tree}" "${_deb}"
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${_tree}")
  message(STATUS "tarnwick: ${_package}: Multi-Arch: ${_value}")
endforeach()
