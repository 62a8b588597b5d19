# The platform wheel: the Python binding with the shared library inside it,
# built into ${PROJECT_BINARY_DIR}/python/dist with Debian's /usr/bin/python3,
# setuptools and wheel (the first python3 on PATH may be another interpreter,
# without them). Sets TARNWICK_WHEEL_DIR when the wheel is built.
option(TARNWICK_BUILD_WHEEL "Build the Python wheel that carries the shared library" ON)
# A wheel is for users: an instrumented library has no place in one.
if(NOT TARNWICK_BUILD_WHEEL OR TARNWICK_SANITIZE OR TARNWICK_COVERAGE)
  return()
endif()

set(TARNWICK_WHEEL_PYTHON /usr/bin/python3 CACHE FILEPATH "Interpreter that builds the wheel")
if(EXISTS "${TARNWICK_WHEEL_PYTHON}")
  execute_process(COMMAND "${TARNWICK_WHEEL_PYTHON}" -c "import setuptools, wheel"
                  RESULT_VARIABLE _tarnwick_wheel_tools OUTPUT_QUIET ERROR_QUIET)
else()
  set(_tarnwick_wheel_tools 1)
endif()
if(NOT _tarnwick_wheel_tools EQUAL 0)
  message(STATUS "No setuptools and wheel for ${TARNWICK_WHEEL_PYTHON}: the Python wheel is not "
                 "built (scripts/bootstrap installs python3-setuptools and python3-wheel)")
  return()
endif()

# The platform tag follows the target, so a cross build tags its wheel right.
string(TOLOWER "linux_${CMAKE_SYSTEM_PROCESSOR}" _tarnwick_wheel_platform)
set(TARNWICK_WHEEL_DIR "${PROJECT_BINARY_DIR}/python/dist")
set(_tarnwick_wheel_stamp "${PROJECT_BINARY_DIR}/python/wheel.stamp")
file(GLOB _tarnwick_wheel_sources CONFIGURE_DEPENDS
     "${CMAKE_CURRENT_LIST_DIR}/tarnwick/*.py" "${CMAKE_CURRENT_LIST_DIR}/tarnwick/py.typed")
set(_tarnwick_strip "")
if(CMAKE_STRIP AND NOT CMAKE_BUILD_TYPE MATCHES "Debug|RelWithDebInfo")
  set(_tarnwick_strip "${CMAKE_STRIP}")
endif()
add_custom_command(OUTPUT "${_tarnwick_wheel_stamp}"
  COMMAND "${TARNWICK_WHEEL_PYTHON}" -B "${CMAKE_CURRENT_LIST_DIR}/build_wheel.py"
          --library "$<TARGET_FILE:tarnwick>" --platform "${_tarnwick_wheel_platform}"
          --out "${TARNWICK_WHEEL_DIR}" --work "${PROJECT_BINARY_DIR}/python/stage"
          "--strip=${_tarnwick_strip}"
  COMMAND "${CMAKE_COMMAND}" -E touch "${_tarnwick_wheel_stamp}"
  DEPENDS tarnwick "${CMAKE_CURRENT_LIST_DIR}/build_wheel.py"
          "${CMAKE_CURRENT_LIST_DIR}/pyproject.toml" "${CMAKE_CURRENT_LIST_DIR}/README.md"
          "${PROJECT_SOURCE_DIR}/LICENSE" ${_tarnwick_wheel_sources}
  COMMENT "Building the Python wheel with the shared library inside"
  VERBATIM)
add_custom_target(python_wheel ALL DEPENDS "${_tarnwick_wheel_stamp}")

# Installs the wheel into a fresh venv, offline, and runs it there.
if(TARNWICK_BUILD_TESTS)
  include("${CMAKE_CURRENT_LIST_DIR}/PythonHost.cmake")
  add_test(NAME python.wheel
    COMMAND "${TARNWICK_WHEEL_PYTHON}" -m unittest -v tests.test_wheel
    WORKING_DIRECTORY "${CMAKE_CURRENT_LIST_DIR}")
  set_tests_properties(python.wheel PROPERTIES
    TIMEOUT 180 LABELS "python;packaging"
    ENVIRONMENT "${TARNWICK_PYTHON_ENV};TARNWICK_WHEEL_DIR=${TARNWICK_WHEEL_DIR};TARNWICK_WHEEL_PLATFORM=${_tarnwick_wheel_platform}")
endif()
