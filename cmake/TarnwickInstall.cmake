# Install rules and packages: the shared library with its SONAME links, the
# public headers, the program with its manual page and bash completion, a
# CMake package (tarnwick::tarnwick), a pkg-config file, the licence, and
# Debian packages of the same split the Debian way (see below). Everything
# installed is relocatable: paths are computed from where the files end up,
# never from where they were built. The static libraries the shared one is
# made of stay in the build tree.
#
# Install components: runtime (the shared library), development (headers,
# package files, the .so link; the default for rules that name none), program
# (the program, its manual page and completion), and documentation (the
# licence and the plain manual page, which no package takes: a Debian package
# carries them as a copyright file and a compressed page). Those Debian forms
# are EXCLUDE_FROM_ALL: cpack installs each component by name and gets them,
# a plain `cmake --install` does not.
include(CMakePackageConfigHelpers)

set(TARNWICK_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/tarnwick")
set(TARNWICK_PKGCONFIG_DIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig")

install(TARGETS tarnwick
  EXPORT tarnwickTargets
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT runtime NAMELINK_COMPONENT development
  PUBLIC_HEADER DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}" COMPONENT development)
# The C++ interface is header-only over the C one: installed beside it, built
# into nothing.
install(FILES "${PROJECT_SOURCE_DIR}/native/include/tarnwick.hpp"
  DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}" COMPONENT development)

if(TARGET tarnwick_cli)
  # Found next to the library it was installed with, wherever the prefix is
  # moved; on a system prefix the loader's default path finds it anyway.
  file(RELATIVE_PATH _tarnwick_bin_to_lib "/${CMAKE_INSTALL_BINDIR}" "/${CMAKE_INSTALL_LIBDIR}")
  set_target_properties(tarnwick_cli_installed PROPERTIES INSTALL_RPATH "$ORIGIN/${_tarnwick_bin_to_lib}")
  install(TARGETS tarnwick_cli_installed RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT program)

  configure_file("${PROJECT_SOURCE_DIR}/packaging/man/tarnwick.1.in"
                 "${PROJECT_BINARY_DIR}/packaging/man/tarnwick.1" @ONLY)
  install(FILES "${PROJECT_BINARY_DIR}/packaging/man/tarnwick.1"
    DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT documentation)
  install(FILES "${PROJECT_SOURCE_DIR}/packaging/completion/tarnwick"
    DESTINATION "${CMAKE_INSTALL_DATADIR}/bash-completion/completions" COMPONENT program)
  # The contracts of the program's JSON outputs, for the pipelines that read them.
  install(FILES "${PROJECT_SOURCE_DIR}/docs/result.schema.json"
                "${PROJECT_SOURCE_DIR}/docs/changes.schema.json"
                "${PROJECT_SOURCE_DIR}/docs/compare.schema.json"
                "${PROJECT_SOURCE_DIR}/docs/history.schema.json"
                "${PROJECT_SOURCE_DIR}/docs/report.schema.json"
    DESTINATION "${CMAKE_INSTALL_DATADIR}/tarnwick/schemas" COMPONENT program)

  # Debian compresses manual pages, without a time stamp so the package is
  # reproducible.
  find_program(TARNWICK_GZIP gzip)
  if(TARNWICK_GZIP)
    add_custom_command(OUTPUT "${PROJECT_BINARY_DIR}/packaging/man/tarnwick.1.gz"
      COMMAND "${TARNWICK_GZIP}" -9nc "${PROJECT_BINARY_DIR}/packaging/man/tarnwick.1"
              > "${PROJECT_BINARY_DIR}/packaging/man/tarnwick.1.gz"
      DEPENDS "${PROJECT_BINARY_DIR}/packaging/man/tarnwick.1"
      COMMENT "Compressing the manual page for the packages" VERBATIM)
    add_custom_target(tarnwick_manual ALL DEPENDS "${PROJECT_BINARY_DIR}/packaging/man/tarnwick.1.gz")
    install(FILES "${PROJECT_BINARY_DIR}/packaging/man/tarnwick.1.gz"
      DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT program EXCLUDE_FROM_ALL)
  endif()
endif()

install(FILES "${PROJECT_SOURCE_DIR}/LICENSE"
  DESTINATION "${CMAKE_INSTALL_DOCDIR}" COMPONENT documentation)

install(EXPORT tarnwickTargets
  NAMESPACE tarnwick::
  DESTINATION "${TARNWICK_CMAKE_DIR}"
  COMPONENT development)

configure_package_config_file(
  "${CMAKE_CURRENT_LIST_DIR}/tarnwickConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/tarnwickConfig.cmake"
  INSTALL_DESTINATION "${TARNWICK_CMAKE_DIR}"
  NO_SET_AND_CHECK_MACRO)
configure_file(
  "${CMAKE_CURRENT_LIST_DIR}/tarnwickConfigVersion.cmake.in"
  "${PROJECT_BINARY_DIR}/tarnwickConfigVersion.cmake" @ONLY)
install(FILES
  "${PROJECT_BINARY_DIR}/tarnwickConfig.cmake"
  "${PROJECT_BINARY_DIR}/tarnwickConfigVersion.cmake"
  DESTINATION "${TARNWICK_CMAKE_DIR}"
  COMPONENT development)

# pkg-config resolves ${pcfiledir} to the directory the .pc file is read from,
# so the prefix follows the installed tree instead of being frozen here.
file(RELATIVE_PATH TARNWICK_PC_TO_PREFIX "/${TARNWICK_PKGCONFIG_DIR}" "/")
string(REGEX REPLACE "/$" "" TARNWICK_PC_TO_PREFIX "${TARNWICK_PC_TO_PREFIX}")
# The prefix is decided when installing: a system prefix (/usr, as the
# packages have it, or /usr/local) is written out, so that the flags are plain
# paths and a cross build's PKG_CONFIG_SYSROOT_DIR applies to them; any other
# prefix is found from ${pcfiledir}, so that the tree may be moved.
install(CODE "set(TARNWICK_PC_TEMPLATE \"${CMAKE_CURRENT_LIST_DIR}/tarnwick.pc.in\")
set(TARNWICK_PC_WORK \"${PROJECT_BINARY_DIR}/pkgconfig\")
set(TARNWICK_PKGCONFIG_DIR \"${TARNWICK_PKGCONFIG_DIR}\")
set(TARNWICK_PC_TO_PREFIX \"${TARNWICK_PC_TO_PREFIX}\")
set(TARNWICK_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
set(TARNWICK_INSTALL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
set(PROJECT_DESCRIPTION \"${PROJECT_DESCRIPTION}\")
set(PROJECT_VERSION \"${PROJECT_VERSION}\")" COMPONENT development)
install(SCRIPT "${CMAKE_CURRENT_LIST_DIR}/TarnwickInstallPkgConfig.cmake" COMPONENT development)

# Debian packages, installed under /usr, split as Debian splits a library:
#   libtarnwick0     the shared library and its SONAME link, nothing else, so
#                    a host that embeds it pulls in only the C and C++ runtimes;
#   libtarnwick-dev  headers, CMake and pkg-config files, the .so link;
#   tarnwick         the program, its manual page and bash completion.
set(_tarnwick_components runtime development program)
set(_tarnwick_packages libtarnwick0 libtarnwick-dev tarnwick)

# Each package carries the licence as a machine-readable copyright file.
file(STRINGS "${PROJECT_SOURCE_DIR}/LICENSE" _tarnwick_license_lines)
list(GET _tarnwick_license_lines 2 _tarnwick_holder)
string(REGEX REPLACE "^Copyright \\(c\\) " "" _tarnwick_holder "${_tarnwick_holder}")
list(SUBLIST _tarnwick_license_lines 4 -1 _tarnwick_license_lines)
set(_tarnwick_copyright
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: tarnwick\n\nFiles: *\nCopyright: ${_tarnwick_holder}\nLicense: Expat\n")
foreach(_line IN LISTS _tarnwick_license_lines)
  if(_line STREQUAL "")
    list(APPEND _tarnwick_copyright " .\n")
  else()
    list(APPEND _tarnwick_copyright " ${_line}\n")
  endif()
endforeach()
string(CONCAT _tarnwick_copyright ${_tarnwick_copyright})
file(WRITE "${PROJECT_BINARY_DIR}/packaging/copyright" "${_tarnwick_copyright}")
# The maintainer of the packages, also the author of the changelog's entries.
# A distributor sets an address of their own; the default is a placeholder
# domain that lintian accepts.
set(TARNWICK_PACKAGE_CONTACT "tarnwick developers <tarnwick@example.org>"
    CACHE STRING "Maintainer of the Debian packages, as 'Name <address>'")

# Each package carries the Debian changelog (a native package's name for it:
# changelog.gz), compressed at most and without a time stamp, so that it is
# the same file in every architecture's package. Its newest entry must be
# this version.
file(STRINGS "${PROJECT_SOURCE_DIR}/packaging/deb/changelog.in" _tarnwick_changelog_head
     LIMIT_COUNT 1)
if(NOT _tarnwick_changelog_head MATCHES "^tarnwick \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/deb/changelog.in starts with '${_tarnwick_changelog_head}': "
                      "its newest entry must be for version ${PROJECT_VERSION}")
endif()
configure_file("${PROJECT_SOURCE_DIR}/packaging/deb/changelog.in"
               "${PROJECT_BINARY_DIR}/packaging/changelog" @ONLY)
find_program(TARNWICK_GZIP gzip)
if(TARNWICK_GZIP)
  add_custom_command(OUTPUT "${PROJECT_BINARY_DIR}/packaging/changelog.gz"
    COMMAND "${TARNWICK_GZIP}" -9nc "${PROJECT_BINARY_DIR}/packaging/changelog"
            > "${PROJECT_BINARY_DIR}/packaging/changelog.gz"
    DEPENDS "${PROJECT_BINARY_DIR}/packaging/changelog"
    COMMENT "Compressing the Debian changelog for the packages" VERBATIM)
  add_custom_target(tarnwick_changelog ALL DEPENDS "${PROJECT_BINARY_DIR}/packaging/changelog.gz")
endif()

foreach(_component _package IN ZIP_LISTS _tarnwick_components _tarnwick_packages)
  string(TOUPPER "${_component}" _upper)
  set(CPACK_DEBIAN_${_upper}_PACKAGE_NAME "${_package}")
  install(FILES "${PROJECT_BINARY_DIR}/packaging/copyright"
    DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${_package}"
    COMPONENT ${_component} EXCLUDE_FROM_ALL)
  if(TARNWICK_GZIP)
    install(FILES "${PROJECT_BINARY_DIR}/packaging/changelog.gz"
      DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${_package}"
      COMPONENT ${_component} EXCLUDE_FROM_ALL)
  endif()
endforeach()

set(CPACK_PACKAGE_NAME "tarnwick")
set(CPACK_PACKAGE_VENDOR "the tarnwick authors")
set(CPACK_PACKAGE_CONTACT "${TARNWICK_PACKAGE_CONTACT}")
# Empty, so each package's own first description line is its summary.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR "DEB")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development)
if(TARGET tarnwick_cli)
  list(APPEND CPACK_COMPONENTS_ALL program)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# A cross build packages for its target, not for the machine that built it
# (dpkg calls arm64 what the compiler calls aarch64).
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")

set(_tarnwick_about
  "tarnwick measures the sustained CPU throughput of a machine with a fixed,\n"
  "deterministic kernel, on one worker or on every CPU the process may use.")
string(CONCAT _tarnwick_about ${_tarnwick_about})
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "sustained CPU throughput benchmark - shared library\n${_tarnwick_about}\n"
    "This package holds the shared library with its C interface.")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
    "sustained CPU throughput benchmark - development files\n${_tarnwick_about}\n"
    "This package holds the headers, and the CMake and pkg-config files to\n"
    "build hosts that embed the library.")
set(CPACK_DEBIAN_PROGRAM_DESCRIPTION
    "sustained CPU throughput benchmark - command-line program\n${_tarnwick_about}\n"
    "This package holds the tarnwick program, which runs the benchmark,\n"
    "writes its results as text, JSON, CSV and SVG, and compares them.")
foreach(_component RUNTIME DEVELOPMENT PROGRAM)
  string(CONCAT CPACK_DEBIAN_${_component}_DESCRIPTION ${CPACK_DEBIAN_${_component}_DESCRIPTION})
endforeach()
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION "libs")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION "libdevel")
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SECTION "utils")

# Two architectures' libtarnwick0 (and -dev: every file they share is the
# same) install side by side; the program is used the same whatever its
# architecture.
# CMake 3.25 writes no Multi-Arch field: a script run after cpack adds it.
set(CPACK_TARNWICK_MULTIARCH "libtarnwick0=same" "libtarnwick-dev=same" "tarnwick=foreign")
set(CPACK_POST_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/TarnwickDebFixups.cmake")

# A shlibs file and the ldconfig trigger, so other packages can depend on
# libtarnwick.so.0 and the loader cache knows it after installation. The
# trigger replaces maintainer scripts: the postinst and postrm cpack writes
# for a library under /usr/lib, which only call ldconfig, are removed after
# cpack (TarnwickDebFixups.cmake).
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA "${PROJECT_SOURCE_DIR}/packaging/deb/triggers")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libtarnwick0 (= ${PROJECT_VERSION})")
# The program's dependency on the library is stated, the rest comes from
# dpkg-shlibdeps, which is shown the built library so it can follow the
# program's needs through it. Where libtarnwick0 is installed, dpkg-shlibdeps
# names it too: TarnwickDebFixups.cmake keeps one.
set(CPACK_DEBIAN_PROGRAM_PACKAGE_DEPENDS "libtarnwick0 (>= ${PROJECT_VERSION})")
get_target_property(_tarnwick_library_dir tarnwick BINARY_DIR)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${_tarnwick_library_dir}")
find_program(TARNWICK_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TARNWICK_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  # Without dpkg-shlibdeps, the versions g++ 12 on Debian 12 links against.
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 11)")
  string(APPEND CPACK_DEBIAN_PROGRAM_PACKAGE_DEPENDS ", ${CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS}")
endif()
include(CPack)

include("${PROJECT_SOURCE_DIR}/bindings/python/Wheel.cmake")

if(TARNWICK_BUILD_TESTS)
  add_subdirectory(packaging/tests)
endif()
