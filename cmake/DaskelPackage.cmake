# Install rules of the package: `cmake --install` puts the libraries daskel::solver and
# daskel::segment, their headers (include/daskel/solver/, include/daskel/segment/) and a package
# configuration in place, so that another project can find_package(daskel) and link them. The
# targets add their own files (solver/, segment/, gateway/); this file adds the configuration.
include(CMakePackageConfigHelpers)

set(daskel_config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/daskel)
install(EXPORT daskelTargets NAMESPACE daskel:: DESTINATION ${daskel_config_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/daskelConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/daskelConfig.cmake
                              INSTALL_DESTINATION ${daskel_config_dir}
                              PATH_VARS DASKEL_INSTALL_MEX_DIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/daskelConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/daskelConfig.cmake ${PROJECT_BINARY_DIR}/daskelConfigVersion.cmake
        DESTINATION ${daskel_config_dir})
