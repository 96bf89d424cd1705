# What `cmake --install` puts where, the exported CMake package vandrel::vandrel, the
# pkg-config file and the Debian package. The front ends' own rules (bin/vandrel, the
# Python package, the Octave plug-in) are in cli/, python/ and mex/.
include(CMakePackageConfigHelpers)

# The public headers, as an embedding program includes them: <vandrel/vandrel.h>,
# <vandrel/estimate.h>, <vandrel/error.h> and <vandrel/point.h>. In the tree they include
# each other as "api/error.h" and "core/point.h"; the copies in build/include/vandrel/
# include their siblings by file name instead, which resolves wherever the folder is
# installed. A public header that includes any other header of the tree stops the
# configuration: the installed set would not be self-contained.
set(vandrel_public_headers api/vandrel.h api/estimate.h api/error.h core/point.h)
set(vandrel_public_include_dir "${PROJECT_BINARY_DIR}/include/vandrel")
set(vandrel_public_names)
foreach(header IN LISTS vandrel_public_headers)
  get_filename_component(name "${header}" NAME)
  list(APPEND vandrel_public_names "${name}")
endforeach()
foreach(header IN LISTS vandrel_public_headers)
  set(source "${PROJECT_SOURCE_DIR}/${header}")
  set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${source}")
  file(READ "${source}" text)
  string(REGEX MATCHALL "#include \"[^\"]+\"" quoted_includes "${text}")
  foreach(include_line IN LISTS quoted_includes)
    string(REGEX REPLACE "#include \"([^\"]+)\"" "\\1" included "${include_line}")
    get_filename_component(included_name "${included}" NAME)
    if(NOT included IN_LIST vandrel_public_headers AND NOT included_name IN_LIST vandrel_public_names)
      message(FATAL_ERROR "${header} includes \"${included}\", which is not a public header "
                          "(${vandrel_public_headers}): the installed headers would not compile")
    endif()
    string(REPLACE "${include_line}" "#include \"${included_name}\"" text "${text}")
  endforeach()
  get_filename_component(name "${header}" NAME)
  # Written through a copy so that an unchanged header keeps its time stamp.
  file(WRITE "${PROJECT_BINARY_DIR}/include-staging/${name}" "${text}")
  configure_file("${PROJECT_BINARY_DIR}/include-staging/${name}" "${vandrel_public_include_dir}/${name}" COPYONLY)
endforeach()
install(DIRECTORY "${vandrel_public_include_dir}" DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}"
        FILES_MATCHING PATTERN "*.h")

# The library and its CMake package: find_package(vandrel CONFIG) gives vandrel::vandrel.
set(vandrel_cmake_dir "${CMAKE_INSTALL_LIBDIR}/cmake/vandrel")
install(TARGETS vandrel_core EXPORT vandrelTargets
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

install(FILES LICENSE README.md DESTINATION "${CMAKE_INSTALL_DOCDIR}")

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
