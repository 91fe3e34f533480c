# `cmake --install` puts the two programs, the configuration library with its
# headers, and a CMake package: find_package(tarnwicket) gives tarnwicket::config.
# The headers go to include/tarnwicket/config, and include/tarnwicket is on the
# consumer's include path, so that they are included as "config/ini.h", like in
# the project itself, without a top-level folder named config.

include(CMakePackageConfigHelpers)

set(TARNWICKET_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tarnwicket)
set(TARNWICKET_INCLUDE_DIR ${CMAKE_INSTALL_INCLUDEDIR}/tarnwicket)
target_include_directories(tarnwicket_config INTERFACE $<INSTALL_INTERFACE:${TARNWICKET_INCLUDE_DIR}>)

install(TARGETS tarnwicket-server tarnwicket-manifest RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(TARGETS tarnwicket_config EXPORT tarnwicketTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES
  ${PROJECT_SOURCE_DIR}/src/config/text.h
  ${PROJECT_SOURCE_DIR}/src/config/ini.h
  ${PROJECT_SOURCE_DIR}/src/config/server_config.h
  ${PROJECT_SOURCE_DIR}/src/config/client_config.h
  ${PROJECT_SOURCE_DIR}/src/config/client_manifest.h
  DESTINATION ${TARNWICKET_INCLUDE_DIR}/config)

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
