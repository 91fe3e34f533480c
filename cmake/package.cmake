# What a gateway node needs besides the programs: the service's configuration,
# its systemd unit, the manual pages, the documentation and the licence; and the Debian
# package of all of it (`cpack -G DEB`, or scripts/package.sh).
#
# The configuration and the unit follow the usual layout: with the prefix
# /usr (the package) they go to /etc/tarnwicket and /lib/systemd/system, with
# any other prefix P to P/etc/tarnwicket and P/lib/systemd/system. That is
# decided when installing, not when configuring, so `cmake --install --prefix`
# and DESTDIR keep everything below the chosen root.

set(TARNWICKET_MAN_PAGES tarnwicket-server.1 tarnwicket-manifest.1)
set(TARNWICKET_MAN_GZ)
foreach(page ${TARNWICKET_MAN_PAGES})
  set(source ${PROJECT_SOURCE_DIR}/man/${page})
  set(output ${PROJECT_BINARY_DIR}/man/${page}.gz)
  # -n: no name or time stamp in the archive, so a rebuild gives the same bytes.
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND gzip -9nc ${source} > ${output}
    DEPENDS ${source}
    COMMENT "Compressing ${page}"
    VERBATIM)
  list(APPEND TARNWICKET_MAN_GZ ${output})
endforeach()
set(TARNWICKET_CHANGELOG_GZ ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz)
add_custom_command(OUTPUT ${TARNWICKET_CHANGELOG_GZ}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
  COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/debian/changelog > ${TARNWICKET_CHANGELOG_GZ}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog
  COMMENT "Compressing the Debian changelog"
  VERBATIM)
add_custom_target(tarnwicket_man ALL DEPENDS ${TARNWICKET_MAN_GZ} ${TARNWICKET_CHANGELOG_GZ})
install(FILES ${TARNWICKET_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The guides keep their place beside the README and the examples, as in the
# source tree, so that their relative links resolve once installed too.
file(GLOB TARNWICKET_DOCS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
  ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${TARNWICKET_CHANGELOG_GZ}
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${TARNWICKET_DOCS} DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
install(FILES
  ${PROJECT_SOURCE_DIR}/examples/server.ini
  ${PROJECT_SOURCE_DIR}/examples/client.ini
  ${PROJECT_SOURCE_DIR}/examples/client-compat.ini
  ${PROJECT_SOURCE_DIR}/examples/prometheus-rules.yml
  ${PROJECT_SOURCE_DIR}/examples/grafana-dashboard.json
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# The unit names the programs and the configuration by their paths in the
# package; another prefix gets its own paths written into the installed copy.
set(TARNWICKET_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
install(CODE "set(tarnwicket_packaging_dir \"${TARNWICKET_PACKAGING_DIR}\")
set(tarnwicket_stage_dir \"${PROJECT_BINARY_DIR}/packaging\")")
install(CODE [[
  if(CMAKE_INSTALL_PREFIX MATCHES "^(.*)/usr/?$")
    set(tarnwicket_root "${CMAKE_MATCH_1}")
  else()
    string(REGEX REPLACE "/$" "" tarnwicket_root "${CMAKE_INSTALL_PREFIX}")
  endif()
  string(REGEX REPLACE "/$" "" tarnwicket_prefix "${CMAKE_INSTALL_PREFIX}")
  set(tarnwicket_etc "${tarnwicket_root}/etc/tarnwicket")

  # Staged per destination, so that installs running side by side never
  # pick up each other's copy.
  string(SHA1 tarnwicket_key "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}")
  set(tarnwicket_stage_dir "${tarnwicket_stage_dir}/${tarnwicket_key}")
  file(READ "${tarnwicket_packaging_dir}/tarnwicket.service" unit)
  string(REPLACE "/usr/bin/tarnwicket-server" "${tarnwicket_prefix}/bin/tarnwicket-server"
         unit "${unit}")
  string(REPLACE "/etc/tarnwicket/" "${tarnwicket_etc}/" unit "${unit}")
  file(WRITE "${tarnwicket_stage_dir}/tarnwicket.service" "${unit}")

  file(INSTALL DESTINATION "${tarnwicket_root}/lib/systemd/system" TYPE FILE
       FILES "${tarnwicket_stage_dir}/tarnwicket.service")
  file(INSTALL DESTINATION "${tarnwicket_etc}" TYPE FILE
       FILES "${tarnwicket_packaging_dir}/server.ini")
  file(REMOVE_RECURSE "${tarnwicket_stage_dir}")
]])

# The Debian package: everything above, installed below /usr, /etc and /lib.
set(CPACK_PACKAGE_NAME tarnwicket)
set(CPACK_PACKAGE_VENDOR "Tarnwicket")
set(TARNWICKET_PACKAGE_CONTACT "Tarnwicket maintainers <maintainers@tarnwicket.invalid>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT "${TARNWICKET_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "game traffic gateway (TCP and UDP relay)")
# One paragraph, wrapped for the control file.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Tarnwicket relays game clients to upstream game servers. Every route"
  "listens on a local TCP port, UDP port or both and passes TCP streams and"
  "UDP datagrams through unchanged, within per-route connection limits."
  "The package holds tarnwicket-server with its systemd unit and"
  "configuration, tarnwicket-manifest, and the configuration library with"
  "its headers and CMake package.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
find_program(TARNWICKET_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TARNWICKET_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Loaded by soname when the admin listener starts, so not seen by dpkg-shlibdeps.
  string(REGEX REPLACE "^libmicrohttpd[.]so[.]" "libmicrohttpd" http_package ${TARNWICKET_HTTP_SONAME})
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${http_package} (>= 0.9.75)")
else()
  # What a build with the distribution's compiler links against.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12), libmicrohttpd12 (>= 0.9.75)")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${TARNWICKET_PACKAGING_DIR}/debian/conffiles
  ${TARNWICKET_PACKAGING_DIR}/debian/postinst
  ${TARNWICKET_PACKAGING_DIR}/debian/prerm
  ${TARNWICKET_PACKAGING_DIR}/debian/postrm)
# Scripts 0755, everything else 0644, whatever the source tree's modes are.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_GENERATOR DEB)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
