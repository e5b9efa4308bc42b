# Install rules and the exported CMake package: after `cmake --install`, a host
# project finds the library with `find_package(vexa_codegen)` and links
# `vexa_codegen::vexa_codegen`.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS vexa_codegen
  EXPORT vexa_codegen_targets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/vexa_codegen
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.hpp")
install(EXPORT vexa_codegen_targets
  FILE vexa_codegen-targets.cmake
  NAMESPACE vexa_codegen::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vexa_codegen)

configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/vexa_codegen-config.cmake.in
  ${PROJECT_BINARY_DIR}/vexa_codegen-config.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vexa_codegen)
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/vexa_codegen-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/vexa_codegen-config.cmake
  ${PROJECT_BINARY_DIR}/vexa_codegen-config-version.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vexa_codegen)
