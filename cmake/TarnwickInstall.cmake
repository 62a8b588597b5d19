# Install rules and packages: the shared library with its SONAME links, the
# public header, the program, a CMake package (tarnwick::tarnwick), a
# pkg-config file and a Debian package of the same. Everything installed is
# relocatable: paths are computed from where the files end up, never from
# where they were built. The static libraries the shared one is made of stay
# in the build tree.
include(CMakePackageConfigHelpers)

set(TARNWICK_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/tarnwick")
set(TARNWICK_PKGCONFIG_DIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig")

install(TARGETS tarnwick
  EXPORT tarnwickTargets
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  PUBLIC_HEADER DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")

if(TARGET tarnwick_cli)
  # Found next to the library it was installed with, wherever the prefix is
  # moved; on a system prefix the loader's default path finds it anyway.
  file(RELATIVE_PATH _tarnwick_bin_to_lib "/${CMAKE_INSTALL_BINDIR}" "/${CMAKE_INSTALL_LIBDIR}")
  set_target_properties(tarnwick_cli PROPERTIES INSTALL_RPATH "$ORIGIN/${_tarnwick_bin_to_lib}")
  install(TARGETS tarnwick_cli RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
endif()

install(EXPORT tarnwickTargets
  NAMESPACE tarnwick::
  DESTINATION "${TARNWICK_CMAKE_DIR}")

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
  DESTINATION "${TARNWICK_CMAKE_DIR}")

# pkg-config resolves ${pcfiledir} to the directory the .pc file is read from,
# so the prefix follows the installed tree instead of being frozen here.
file(RELATIVE_PATH TARNWICK_PC_TO_PREFIX "/${TARNWICK_PKGCONFIG_DIR}" "/")
string(REGEX REPLACE "/$" "" TARNWICK_PC_TO_PREFIX "${TARNWICK_PC_TO_PREFIX}")
foreach(_dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${_dir}}")
    set(TARNWICK_PC_${_dir} "${CMAKE_INSTALL_${_dir}}")
  else()
    set(TARNWICK_PC_${_dir} "\${prefix}/${CMAKE_INSTALL_${_dir}}")
  endif()
endforeach()
configure_file("${CMAKE_CURRENT_LIST_DIR}/tarnwick.pc.in" "${PROJECT_BINARY_DIR}/tarnwick.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/tarnwick.pc" DESTINATION "${TARNWICK_PKGCONFIG_DIR}")

# The Debian package: one package with everything above, installed under /usr.
set(CPACK_PACKAGE_NAME "tarnwick")
set(CPACK_PACKAGE_VENDOR "tarnwick developers")
set(CPACK_PACKAGE_CONTACT "tarnwick developers <tarnwick@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "A shared library with a C interface, its header, CMake and pkg-config\
 package files, and the tarnwick program, which measure the sustained CPU\
 throughput of the machine with a fixed deterministic kernel.")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR "DEB")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# A shlibs file and the ldconfig trigger, so other packages can depend on
# libtarnwick.so.0 and the loader cache knows it after installation.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
find_program(TARNWICK_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TARNWICK_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  # Without dpkg-shlibdeps, the versions g++ 12 on Debian 12 links against.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 11)")
endif()
include(CPack)

if(TARNWICK_BUILD_TESTS)
  add_subdirectory(packaging/tests)
endif()
