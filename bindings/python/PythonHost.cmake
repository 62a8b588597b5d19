# Finds the Python interpreter that runs the binding's tests and the Python
# example, and the environment such a host needs to load the library built
# here: TARNWICK_PYTHON_FOUND and TARNWICK_PYTHON_ENV (a list for the
# ENVIRONMENT test property).
if(NOT DEFINED Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
  # The system interpreter the bootstrap installs, not whichever comes first
  # in PATH.
  set(Python3_EXECUTABLE /usr/bin/python3)
endif()
find_package(Python3 3.8 COMPONENTS Interpreter)
set(TARNWICK_PYTHON_FOUND ${Python3_Interpreter_FOUND})

set(TARNWICK_PYTHON_ENV
  "TARNWICK_LIBRARY=$<TARGET_FILE:tarnwick>"
  "PYTHONPATH=${PROJECT_SOURCE_DIR}/bindings/python"
  "PYTHONDONTWRITEBYTECODE=1")
# The interpreter is not instrumented: a sanitizer runtime must be loaded
# before anything else, and the interpreter's own allocations that live to
# exit are not the library's leaks.
if(TARNWICK_SANITIZE MATCHES "address")
  execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=libasan.so
                  OUTPUT_VARIABLE _tarnwick_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
  list(APPEND TARNWICK_PYTHON_ENV "LD_PRELOAD=${_tarnwick_runtime}"
       "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1")
elseif(TARNWICK_SANITIZE MATCHES "thread")
  execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=libtsan.so
                  OUTPUT_VARIABLE _tarnwick_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
  list(APPEND TARNWICK_PYTHON_ENV "LD_PRELOAD=${_tarnwick_runtime}")
endif()
