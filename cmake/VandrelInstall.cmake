# What `cmake --install` puts where, the exported CMake package vandrel::vandrel, the
# pkg-config file and the Debian package. The front ends' own rules (bin/vandrel, the
# Python package, the Octave plug-in) are in cli/, python/ and mex/.
include(CMakePackageConfigHelpers)

# The installed headers, <vandrel/vandrel.h> and the headers it includes, as they are in the
# tree (they include each other as "vandrel/..."), and the version header CMake made.
install(FILES include/vandrel/vandrel.h include/vandrel/estimate.h include/vandrel/error.h include/vandrel/point.h
              include/vandrel/options.h include/vandrel/run_plan.h include/vandrel/noise_model.h
              include/vandrel/outputs.h include/vandrel/scan_defaults.h
              "${PROJECT_BINARY_DIR}/include/vandrel/version.h"
        DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/vandrel")

# The library and its CMake package: find_package(vandrel CONFIG) gives vandrel::vandrel.
set(vandrel_cmake_dir "${CMAKE_INSTALL_LIBDIR}/cmake/vandrel")
# Each layer is a static library of its own: libvandrel.a (vandrel::vandrel) links the others.
install(TARGETS vandrel_api vandrel_tiling vandrel_host vandrel_core vandrel_numeric vandrel_base EXPORT vandrelTargets
        ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}")
install(EXPORT vandrelTargets NAMESPACE vandrel:: DESTINATION "${vandrel_cmake_dir}")
configure_package_config_file(cmake/vandrelConfig.cmake.in
  "${PROJECT_BINARY_DIR}/cmake/vandrelConfig.cmake"
  INSTALL_DESTINATION "${vandrel_cmake_dir}")
write_basic_package_version_file("${PROJECT_BINARY_DIR}/cmake/vandrelConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/cmake/vandrelConfig.cmake"
              "${PROJECT_BINARY_DIR}/cmake/vandrelConfigVersion.cmake"
        DESTINATION "${vandrel_cmake_dir}")

# pkg-config: the prefix is found from the file's own place, so that the same file serves
# `cmake --install --prefix <anywhere>` and the Debian package. The library is static, so
# OpenMP's flag goes in Libs, not Libs.private.
file(RELATIVE_PATH vandrel_pc_to_prefix "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" vandrel_pc_to_prefix "${vandrel_pc_to_prefix}")
set(vandrel_pc_libs_openmp "")
if(VANDREL_USE_OPENMP)
  set(vandrel_pc_libs_openmp " ${OpenMP_CXX_FLAGS}")
endif()
configure_file(cmake/vandrel.pc.in "${PROJECT_BINARY_DIR}/vandrel.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/vandrel.pc" DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig")

# The README links to the pages under docs/: they are installed beside it.
install(FILES LICENSE README.md DESTINATION "${CMAKE_INSTALL_DOCDIR}")
install(DIRECTORY docs DESTINATION "${CMAKE_INSTALL_DOCDIR}")

# The Debian package: cpack -G DEB in the build directory writes vandrel_<version>_<arch>.deb
# with everything above under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vandrel)
set(CPACK_PACKAGE_VENDOR "the vandrel authors")
set(CPACK_PACKAGE_CONTACT "the vandrel authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Removes noise from 3-D point clouds that sample a surface")
set(CPACK_PACKAGE_DESCRIPTION
  "The command-line tool vandrel, the C++ library (static, with its headers, CMake package and pkg-config file), the Python package and the GNU Octave plug-in.")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "the vandrel authors")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Run-time libraries of the program, the Python extension and the plug-in (libgomp1, liblzf1,
# libstdc++6, libc6) come from dpkg-shlibdeps; the interpreters that load the Python
# package and the plug-in are optional.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3-numpy")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "octave, python3-tqdm")
include(CPack)
