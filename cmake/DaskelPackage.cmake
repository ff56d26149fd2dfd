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

# ---- Debian packages: `cd build && cpack`, into build/packages -----------------------------
# One package a component, all below /usr:
#   libdaskel-dev    (cpp)            the libraries, headers and CMake package; the MEX module in
#                                     lib/daskel/mex, as daskel_MEX_DIR names it
#   daskel-segment   (tool)           the command-line tool
#   octave-daskel    (octave)         DASKEL_mex, its help and segment_image.m in Octave's site
#                                     folder, found without addpath
#   python3-daskel   (python-debian)  the package daskel in /usr/lib/python3/dist-packages
# dpkg-shlibdeps (dpkg-dev) adds the libraries that the binaries load to each package's Depends.
set(daskel_packages "")
macro(daskel_package component name summary)
  list(APPEND daskel_packages ${component})
  string(TOUPPER ${component} upper)  # python-debian: CPACK_DEBIAN_PYTHON-DEBIAN_...
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${name})
  set(CPACK_COMPONENT_${upper}_DESCRIPTION "${summary}")
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION share/doc/${name} RENAME copyright
          COMPONENT ${component} EXCLUDE_FROM_ALL)
endmacro()

daskel_package(cpp libdaskel-dev
  "split-Bregman soft labelling of images: C++ libraries daskel::solver and daskel::segment")
if(TARGET daskel-segment)
  daskel_package(tool daskel-segment
    "segments PNG, TIFF and JPEG images into regions of similar intensity")
  set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION graphics)
endif()
if(TARGET daskel_mex_octave)
  daskel_package(octave octave-daskel
    "DASKEL_mex: split-Bregman soft labelling of images for GNU Octave")
  # The module is built for this Octave's API.
  execute_process(COMMAND ${DASKEL_OCTAVE_CLI} --version OUTPUT_VARIABLE octave_version_text)
  string(REGEX MATCH "version ([0-9]+)" octave_version_line "${octave_version_text}")
  math(EXPR octave_next "${CMAKE_MATCH_1} + 1")
  set(CPACK_DEBIAN_OCTAVE_PACKAGE_DEPENDS "octave (>= ${CMAKE_MATCH_1}), octave (<< ${octave_next})")
  set(CPACK_DEBIAN_OCTAVE_PACKAGE_SECTION math)
endif()
if(TARGET daskel_python)
  daskel_package(python-debian python3-daskel
    "split-Bregman soft labelling and segmentation of images for Python 3, with Dask")
  # The extension is built for this interpreter's minor version.
  string(REGEX MATCH "^([0-9]+)\\.([0-9]+)" python_version "${DASKEL_PYTHON_VERSION}")
  math(EXPR python_next_minor "${CMAKE_MATCH_2} + 1")
  set(CPACK_DEBIAN_PYTHON-DEBIAN_PACKAGE_DEPENDS
      "python3 (>= ${python_version}), python3 (<< ${CMAKE_MATCH_1}.${python_next_minor}), python3-numpy")
  set(CPACK_DEBIAN_PYTHON-DEBIAN_PACKAGE_RECOMMENDS "python3-dask, python3-distributed")
  set(CPACK_DEBIAN_PYTHON-DEBIAN_PACKAGE_SECTION python)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME daskel)
set(CPACK_PACKAGE_VENDOR "the DASKEL developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "split-Bregman soft multi-phase labelling of images")
set(CPACK_PACKAGE_DESCRIPTION
    "Soft multi-phase labelling of images by a split-Bregman iteration with isotropic total variation, and the segmentation of images into regions of similar intensity built on it; results are the same, bit for bit, on every build.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_COMPONENTS_ALL ${daskel_packages})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The DASKEL developers <daskel@users.noreply.example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)  # cpack -B elsewhere
include(CPack)
