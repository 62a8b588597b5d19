# The configure-time check of the version header: the committed header passes
# with the project's version, and a copy that disagrees in any one field is
# refused with a message naming the field.
# -DCHECK=TarnwickVersionCheck.cmake -DHEADER=tarnwick_version.h -DVERSION=x.y.z -DWORK_DIR=dir
execute_process(COMMAND ${CMAKE_COMMAND} -DHEADER=${HEADER} -DVERSION=${VERSION} -P ${CHECK}
                RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the committed header was refused for ${VERSION}:\n${err}")
endif()

file(READ "${HEADER}" text)
string(REGEX MATCH "#define TARNWICK_VERSION_PATCH ([0-9]+)" _ "${text}")
math(EXPR other "${CMAKE_MATCH_1} + 1")
foreach(field MAJOR MINOR PATCH STRING)
  if(field STREQUAL "STRING")
    string(REGEX REPLACE "(#define TARNWICK_VERSION_STRING )\"[^\"]*\"" "\\1\"9.9.9\"" bad "${text}")
  else()
    string(REGEX REPLACE "(#define TARNWICK_VERSION_${field} )[0-9]+" "\\1${other}9" bad "${text}")
  endif()
  file(WRITE "${WORK_DIR}/tarnwick_version.h" "${bad}")
  execute_process(COMMAND ${CMAKE_COMMAND} -DHEADER=${WORK_DIR}/tarnwick_version.h
                          -DVERSION=${VERSION} -P ${CHECK}
                  RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(rc EQUAL 0)
    message(FATAL_ERROR "a header with another ${field} passed the check")
  endif()
  if(NOT err MATCHES "TARNWICK_VERSION_${field} .*project's version is ${VERSION}")
    message(FATAL_ERROR "the refusal for ${field} does not say what differs:\n${err}")
  endif()
endforeach()
message(STATUS "version header check: the committed header passes, four altered copies are refused")
