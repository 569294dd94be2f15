# Debian package of the agent: `cpack -G DEB` in the build directory (or
# `cmake --build BUILD --target package`). Everything the install step puts under the prefix
# (program, library, logging library, sample ini, restart script, nimboctl, docs) goes under
# /opt/nimbo; the systemd unit and the init script go to their system places.
if(CMAKE_CROSSCOMPILING AND NOT NIMBO_PACKAGE_CROSS)
  # A terminal image is built from the cross install tree, not from this package.
  return()
endif()

set(NIMBO_PKG_PREFIX /opt/nimbo CACHE PATH "Where the Debian package installs the agent")

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/nimbo)
install(FILES ${PROJECT_SOURCE_DIR}/docs/protocol.md ${PROJECT_SOURCE_DIR}/docs/architecture.md
  DESTINATION share/doc/nimbo OPTIONAL)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/schemas DESTINATION share/doc/nimbo OPTIONAL)

# System files live outside the prefix: they are laid out in a directory of their own and
# added to the package as it is (never installed onto the build host).
set(NIMBO_PKG_ROOT ${PROJECT_BINARY_DIR}/packaging/root)
configure_file(${CMAKE_CURRENT_LIST_DIR}/nimboservice.service.in
  ${NIMBO_PKG_ROOT}/lib/systemd/system/nimboservice.service @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/nimboservice.init.in
  ${NIMBO_PKG_ROOT}/etc/init.d/nimboservice @ONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(NIMBO_PKG_CONTROL ${PROJECT_BINARY_DIR}/packaging/control)
foreach(script postinst prerm postrm)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${script}.in ${NIMBO_PKG_CONTROL}/${script} @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
# The ini is the operator's: an upgrade keeps their edits.
file(WRITE ${NIMBO_PKG_CONTROL}/conffiles
  "${NIMBO_PKG_PREFIX}/bin/nimboservice.ini\n/etc/init.d/nimboservice\n")

set(CPACK_PACKAGE_NAME nimboservice)
set(CPACK_PACKAGE_VENDOR "nimbo")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "device-management agent of a payment terminal")
set(CPACK_PACKAGE_DESCRIPTION "nimboservice keeps a payment terminal under the control of a remote \
management server over MQTT: status reports, application and firmware upgrades, log upload, \
posters, lock and geofence. The package holds the program, its device-access library \
libhwlink.so.1, the logging library, a sample configuration, the restart script, a systemd \
unit, an init script and the nimboctl console.")
set(CPACK_PACKAGE_CONTACT "nimbo maintainers <nimbo@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${NIMBO_PKG_PREFIX})
set(CPACK_INSTALLED_DIRECTORIES "${NIMBO_PKG_ROOT};/")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Written out rather than computed: the package's own libraries are private (RPATH) and
# must not be looked up in the system.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "libc6, libstdc++6, libcurl4, libssl3, libcjson1, libpaho-mqtt1.3, zlib1g, procps, util-linux")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${NIMBO_PKG_CONTROL}/postinst;${NIMBO_PKG_CONTROL}/prerm;${NIMBO_PKG_CONTROL}/postrm;${NIMBO_PKG_CONTROL}/conffiles")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_GENERATOR DEB)
include(CPack)
