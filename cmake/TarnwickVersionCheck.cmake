# tarnwick_check_version_header(HEADER VERSION): stops with an error that says
# what to change unless HEADER defines TARNWICK_VERSION_MAJOR, _MINOR, _PATCH
# and _STRING as exactly VERSION ("MAJOR.MINOR.PATCH").
function(tarnwick_check_version_header header version)
  if(NOT version MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    message(FATAL_ERROR "tarnwick: '${version}' is not a MAJOR.MINOR.PATCH version")
  endif()
  set(_expected "MAJOR=${CMAKE_MATCH_1}" "MINOR=${CMAKE_MATCH_2}" "PATCH=${CMAKE_MATCH_3}"
                "STRING=\"${version}\"")
  file(READ "${header}" _text)
  foreach(_pair IN LISTS _expected)
    string(REGEX MATCH "^[A-Z]+" _name "${_pair}")
    string(REGEX REPLACE "^[A-Z]+=" "" _want "${_pair}")
    if(NOT _text MATCHES "#define TARNWICK_VERSION_${_name}[ \t]+([^\n]*)\n")
      message(FATAL_ERROR "tarnwick: ${header} defines no TARNWICK_VERSION_${_name}")
    endif()
    string(STRIP "${CMAKE_MATCH_1}" _found)
    if(NOT _found STREQUAL _want)
      message(FATAL_ERROR
        "tarnwick: ${header} says TARNWICK_VERSION_${_name} ${_found}, but the project's "
        "version is ${version} (project() in CMakeLists.txt): set it to ${_want} so that "
        "the header, the library and the packages agree")
    endif()
  endforeach()
endfunction()

# As a script: cmake -DHEADER=... -DVERSION=... -P TarnwickVersionCheck.cmake
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  tarnwick_check_version_header("${HEADER}" "${VERSION}")
endif()
