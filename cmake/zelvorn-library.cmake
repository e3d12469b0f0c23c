# The shared library as both platforms build it: every object of the portable
# core (nothing inside the core refers to the exported functions, so a plain
# static link would leave them out), the platform's objects, the public header
# for whoever links it, and the CMake package files. What differs stays with
# the platform: the export list and resources of the DLL, the soname and the
# udev rules of the Linux library, and how each is installed.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

function(zelvorn_add_library platform)
  add_library(zelvorn SHARED ${ARGN})
  target_link_libraries(zelvorn PRIVATE
    "$<LINK_LIBRARY:WHOLE_ARCHIVE,zelvorn_core>" ${platform})
  target_include_directories(zelvorn INTERFACE
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  add_library(zelvorn::zelvorn ALIAS zelvorn)

  # The package file (zelvornConfig.cmake.in beside the caller) finds the
  # targets or the import library of the consumer's toolchain.
  configure_package_config_file(${CMAKE_CURRENT_SOURCE_DIR}/zelvornConfig.cmake.in
    ${PROJECT_BINARY_DIR}/generated/zelvornConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zelvorn)
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/generated/zelvornConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)

  add_dependencies(zelvorn_install_parts zelvorn)
  install(FILES ${PROJECT_SOURCE_DIR}/include/zelvorn.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    COMPONENT dev)
  install(FILES
    ${PROJECT_BINARY_DIR}/generated/zelvornConfig.cmake
    ${PROJECT_BINARY_DIR}/generated/zelvornConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zelvorn COMPONENT dev)
endfunction()
