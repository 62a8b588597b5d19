# Which find_package requests the package's version file accepts, run as
#   cmake -DVERSION_FILE=<built tarnwickConfigVersion.cmake> -DTEMPLATE=<its .in>
#         -DWORK_DIR=<scratch> -DPROJECT_VERSION=<x.y.z> -P version_test.cmake
# The built file must announce the project's version; the rules are checked
# on the template generated for a package of 0.0.2, so the table below holds
# whatever the project's version is. Each case is: requested version (or
# range), expected compatibility, expected exactness.
cmake_minimum_required(VERSION 3.25)

if(NOT EXISTS "${VERSION_FILE}")
  message(FATAL_ERROR "no version file at '${VERSION_FILE}'")
endif()
include("${VERSION_FILE}")
if(NOT PACKAGE_VERSION STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "the built version file announces '${PACKAGE_VERSION}', "
                      "the project is '${PROJECT_VERSION}'")
endif()

set(VERSION_FILE "${WORK_DIR}/tarnwickConfigVersion-0.0.2.cmake")
block()
  set(PROJECT_VERSION 0.0.2)
  set(CMAKE_SIZEOF_VOID_P 8)
  configure_file("${TEMPLATE}" "${VERSION_FILE}" @ONLY)
endblock()

set(CASES
  "0.0.2|TRUE|TRUE"
  "0.0.1|TRUE|FALSE"
  "0.0|TRUE|FALSE"
  "0.0.2.0|TRUE|TRUE"
  "0.0.3|FALSE|FALSE"
  "0.1|FALSE|FALSE"
  "0.1.0|FALSE|FALSE"
  "1.0|FALSE|FALSE"
  "1|FALSE|FALSE"
  "|TRUE|FALSE"
  "0.0.1...0.0.9|TRUE|FALSE"
  "0.0.1...<0.1|TRUE|FALSE"
  "0.0.2...<0.0.2.1|TRUE|FALSE"
  "0.0.1...<0.0.2|FALSE|FALSE"
  "0.0.3...0.1|FALSE|FALSE"
  "0.0.0...1.0|TRUE|FALSE"
  "0.1...2.0|FALSE|FALSE")

set(failures 0)
foreach(case IN LISTS CASES)
  string(REPLACE "|" ";" fields "${case}")
  list(GET fields 0 request)
  list(GET fields 1 want_compatible)
  list(GET fields 2 want_exact)

  # What find_package sets before it includes a version file.
  foreach(var PACKAGE_FIND_VERSION PACKAGE_FIND_VERSION_RANGE PACKAGE_FIND_VERSION_MIN
              PACKAGE_FIND_VERSION_MAX PACKAGE_FIND_VERSION_RANGE_MAX
              PACKAGE_VERSION_COMPATIBLE PACKAGE_VERSION_EXACT PACKAGE_VERSION_UNSUITABLE)
    unset(${var})
  endforeach()
  if(request MATCHES "^(.*)\\.\\.\\.(<?)(.*)$")
    set(PACKAGE_FIND_VERSION_RANGE "${request}")
    set(PACKAGE_FIND_VERSION_MIN "${CMAKE_MATCH_1}")
    set(PACKAGE_FIND_VERSION_MAX "${CMAKE_MATCH_3}")
    set(PACKAGE_FIND_VERSION "${CMAKE_MATCH_1}")
    if(CMAKE_MATCH_2 STREQUAL "<")
      set(PACKAGE_FIND_VERSION_RANGE_MAX EXCLUDE)
    else()
      set(PACKAGE_FIND_VERSION_RANGE_MAX INCLUDE)
    endif()
  elseif(NOT request STREQUAL "")
    set(PACKAGE_FIND_VERSION "${request}")
  endif()
  set(CMAKE_SIZEOF_VOID_P 8)

  include("${VERSION_FILE}")

  if(NOT PACKAGE_VERSION STREQUAL "0.0.2")
    message(SEND_ERROR "package version is '${PACKAGE_VERSION}', not 0.0.2")
    math(EXPR failures "${failures} + 1")
  endif()
  if(NOT PACKAGE_VERSION_COMPATIBLE STREQUAL want_compatible
     OR NOT PACKAGE_VERSION_EXACT STREQUAL want_exact OR PACKAGE_VERSION_UNSUITABLE)
    message(SEND_ERROR "request '${request}': compatible ${PACKAGE_VERSION_COMPATIBLE} "
                       "(want ${want_compatible}), exact ${PACKAGE_VERSION_EXACT} (want ${want_exact})")
    math(EXPR failures "${failures} + 1")
  endif()
endforeach()

# A consumer with another pointer size must find the package unsuitable.
unset(PACKAGE_FIND_VERSION)
unset(PACKAGE_FIND_VERSION_RANGE)
unset(PACKAGE_VERSION_UNSUITABLE)
set(CMAKE_SIZEOF_VOID_P 4)
include("${VERSION_FILE}")
if(NOT PACKAGE_VERSION_UNSUITABLE)
  message(SEND_ERROR "a 32-bit consumer was offered the 64-bit package")
  math(EXPR failures "${failures} + 1")
endif()

list(LENGTH CASES count)
if(failures GREATER 0)
  message(FATAL_ERROR "${failures} version case(s) failed")
endif()
message(STATUS "version file: ${count} requests and the pointer-size check passed")
