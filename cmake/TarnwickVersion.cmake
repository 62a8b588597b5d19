# The version header lives in the source tree beside tarnwick.h, so the public
# header compiles on its own (FFI generators, hosts that vendor it). Its
# numbers are written there by hand: configuring stops unless they are exactly
# project(VERSION), so the two cannot drift apart.
include("${CMAKE_CURRENT_LIST_DIR}/TarnwickVersionCheck.cmake")
set(TARNWICK_VERSION_HEADER "${PROJECT_SOURCE_DIR}/native/include/tarnwick_version.h")
set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             "${TARNWICK_VERSION_HEADER}")
tarnwick_check_version_header("${TARNWICK_VERSION_HEADER}" "${PROJECT_VERSION}")

# The header's directory on the include path of the code inside the build.
add_library(tarnwick_version_header INTERFACE)
target_include_directories(tarnwick_version_header INTERFACE "${PROJECT_SOURCE_DIR}/native/include")
