# Run by cpack after the Debian packages are made (CPACK_POST_BUILD_SCRIPTS):
# what CMake 3.25's DEB generator cannot do itself. Each package is unpacked
# with dpkg-deb, mended, and built again in place with the same compression
# and root ownership:
# - its Multi-Arch field (CPACK_TARNWICK_MULTIARCH lists "package=value"
#   pairs) goes after Architecture;
# - Depends names each package once: the stated dependency on libtarnwick0
#   is kept, and the one dpkg-shlibdeps adds when the library is known to it
#   (an installed libtarnwick0, a shlibs.local) is dropped;
# - the postinst and postrm cpack writes for a library under /usr/lib only
#   call ldconfig, which the package's ldconfig trigger does: they are
#   removed (naming absent files instead makes cpack warn).
cmake_policy(SET CMP0057 NEW)  # IN_LIST, in a script cpack runs without a project
find_program(_dpkg_deb dpkg-deb REQUIRED)

# `depends` with every entry after the first of the same package left out.
function(tarnwick_depends_once depends out)
  string(REPLACE ", " ";" _entries "${depends}")
  set(_names "")
  set(_kept "")
  foreach(_entry IN LISTS _entries)
    string(REGEX REPLACE "^[ ]*([^ (|]+).*$" "\\1" _name "${_entry}")
    if(_entry MATCHES "\\|" OR NOT _name IN_LIST _names)
      list(APPEND _names "${_name}")
      list(APPEND _kept "${_entry}")
    endif()
  endforeach()
  list(JOIN _kept ", " _joined)
  set(${out} "${_joined}" PARENT_SCOPE)
endfunction()

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
  get_filename_component(_tree "${_deb}.tree" ABSOLUTE)
  file(REMOVE_RECURSE "${_tree}")
  execute_process(COMMAND "${_dpkg_deb}" -R "${_deb}" "${_tree}" COMMAND_ERROR_IS_FATAL ANY)
  file(READ "${_tree}/DEBIAN/control" _control)
  if(NOT _value STREQUAL "" AND NOT _control MATCHES "\nMulti-Arch:")
    string(REGEX REPLACE "(Architecture: [^\n]*\n)" "\\1Multi-Arch: ${_value}\n" _control
           "${_control}")
    message(STATUS "tarnwick: ${_package}: Multi-Arch: ${_value}")
  endif()
  if(_control MATCHES "\nDepends: ([^\n]*)\n")
    set(_depends "${CMAKE_MATCH_1}")
    tarnwick_depends_once("${_depends}" _once)
    string(REPLACE "\nDepends: ${_depends}\n" "\nDepends: ${_once}\n" _control "${_control}")
  endif()
  file(WRITE "${_tree}/DEBIAN/control" "${_control}")
  foreach(_script postinst postrm)
    set(_path "${_tree}/DEBIAN/${_script}")
    if(EXISTS "${_path}")
      # cpack's own: a shell, "set -e" and ldconfig for one argument, nothing else.
      file(STRINGS "${_path}" _lines)
      set(_only_ldconfig FALSE)
      foreach(_line IN LISTS _lines)
        string(STRIP "${_line}" _line)
        if(_line MATCHES "^ldconfig$")
          set(_only_ldconfig TRUE)
        elseif(NOT _line MATCHES "^(#!/bin/sh|set -e|if \\[ \"\\$1\" = \"[a-z-]+\" \\]; then|fi|)$")
          set(_only_ldconfig FALSE)
          break()
        endif()
      endforeach()
      if(_only_ldconfig)
        file(REMOVE "${_path}")
      endif()
    endif()
  endforeach()
  execute_process(COMMAND "${_dpkg_deb}" --root-owner-group -Zgzip -b "${_tree}" "${_deb}"
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${_tree}")
endforeach()
