# The version header, generated from project(... VERSION) into the build tree
# and installed beside tarnwick.h. tarnwick_version_header puts it on the
# include path of the code inside the build; the shared library carries the
# same directory in its build interface.
set(TARNWICK_GENERATED_INCLUDE_DIR "${PROJECT_BINARY_DIR}/generated/include")
configure_file("${CMAKE_CURRENT_LIST_DIR}/tarnwick_version.h.in"
               "${TARNWICK_GENERATED_INCLUDE_DIR}/tarnwick_version.h" @ONLY)

add_library(tarnwick_version_header INTERFACE)
target_include_directories(tarnwick_version_header INTERFACE "${TARNWICK_GENERATED_INCLUDE_DIR}")
