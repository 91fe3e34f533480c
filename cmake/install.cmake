# `cmake --install` puts the two programs, the configuration library with its
# headers, and a CMake package: find_package(tarnwicket) gives tarnwicket::config.

include(CMakePackageConfigHelpers)

set(TARNWICKET_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tarnwicket)

install(TARGETS tarnwicket-server tarnwicket-manifest RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(TARGETS tarnwicket_config EXPORT tarnwicketTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Consumers include them as "config/ini.h", like the project itself.
install(FILES
  ${PROJECT_SOURCE_DIR}/src/config/text.h
  ${PROJECT_SOURCE_DIR}/src/config/ini.h
  ${PROJECT_SOURCE_DIR}/src/config/server_config.h
  ${PROJECT_SOURCE_DIR}/src/config/client_config.h
  ${PROJECT_SOURCE_DIR}/src/config/client_manifest.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/config)

install(EXPORT tarnwicketTargets
  NAMESPACE tarnwicket::
  FILE tarnwicketTargets.cmake
  DESTINATION ${TARNWICKET_PACKAGE_DIR})

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/tarnwicketConfig.cmake.in
  ${PROJECT_BINARY_DIR}/tarnwicketConfig.cmake
  INSTALL_DESTINATION ${TARNWICKET_PACKAGE_DIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/tarnwicketConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/tarnwicketConfig.cmake
  ${PROJECT_BINARY_DIR}/tarnwicketConfigVersion.cmake
  DESTINATION ${TARNWICKET_PACKAGE_DIR})
