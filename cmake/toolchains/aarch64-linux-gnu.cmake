# Cross build for 64-bit Arm with Debian's cross compiler and multiarch
# packages (dpkg --add-architecture arm64; the :arm64 -dev packages). The
# presets run the test binaries under qemu-aarch64-static with the arm64
# library root, so nothing is registered system-wide.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Multiarch: the arm64 libraries and their CMake packages live under the host's
# /usr/lib/aarch64-linux-gnu; header-only packages are shared with the host.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(PKG_CONFIG_EXECUTABLE aarch64-linux-gnu-pkg-config CACHE FILEPATH "")

# The loader and libraries an emulated binary needs come from the multiarch
# root; -L keeps qemu from looking for them anywhere else.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L / CACHE STRING "")
