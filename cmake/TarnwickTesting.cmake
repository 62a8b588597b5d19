# Test helpers: every test gets a time limit so a hang fails instead of
# stalling the run.
find_package(GTest REQUIRED)
include(GoogleTest)

set(TARNWICK_TEST_TIMEOUT 120 CACHE STRING "Default time limit of one test, in seconds")
# A case that skips itself (no root, no control groups) shows as skipped, not
# as passed.
set(TARNWICK_GTEST_SKIPPED "\\[  SKIPPED \\]")

# tarnwick_add_gtest(NAME SOURCES files... LIBS libs... [TIMEOUT s] [LABELS l...])
function(tarnwick_add_gtest name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT ${TARNWICK_TEST_TIMEOUT})
  endif()
  # An empty label list would swallow the next property's name as a label.
  if(NOT ARG_LABELS)
    set(ARG_LABELS unit)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest
                                        GTest::gtest_main tarnwick_warnings)
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}"
               SKIP_REGULAR_EXPRESSION "${TARNWICK_GTEST_SKIPPED}")
endfunction()
