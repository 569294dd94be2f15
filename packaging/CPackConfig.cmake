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
file(REMOVE_RECURSE ${NIMBO_PKG_ROOT})
# The configuration is the operator's, under /etc (a conffile); the program reads it through
# the link that replaces the sample beside it (nimbo_pkg_prebuild.cmake).
configure_file(${PROJECT_SOURCE_DIR}/service/nimboservice.ini ${NIMBO_PKG_ROOT}/etc/nimboservice/nimboservice.ini COPYONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/default ${NIMBO_PKG_ROOT}/etc/default/nimboservice @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/copyright ${NIMBO_PKG_ROOT}/usr/share/doc/nimboservice/copyright COPYONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/nimboctl.bash-completion
  ${NIMBO_PKG_ROOT}/usr/share/bash-completion/completions/nimboctl COPYONLY)
# Compressed as Debian wants them (no name or time stamp in the gzip header: reproducible).
foreach(pair "changelog:usr/share/doc/nimboservice/changelog.Debian.gz" "man/nimboservice.8:usr/share/man/man8/nimboservice.8.gz"
             "man/nimboctl.1:usr/share/man/man1/nimboctl.1.gz")
  string(REPLACE ":" ";" pair "${pair}")
  list(GET pair 0 source)
  list(GET pair 1 target)
  get_filename_component(target_dir ${NIMBO_PKG_ROOT}/${target} DIRECTORY)
  file(MAKE_DIRECTORY ${target_dir})
  execute_process(COMMAND gzip -9nc ${CMAKE_CURRENT_LIST_DIR}/${source}
    OUTPUT_FILE ${NIMBO_PKG_ROOT}/${target} RESULT_VARIABLE gzip_result)
  if(NOT gzip_result EQUAL 0)
    message(FATAL_ERROR "gzip of ${source} failed")
  endif()
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_LIST_DIR}/changelog ${CMAKE_CURRENT_LIST_DIR}/man/nimboservice.8 ${CMAKE_CURRENT_LIST_DIR}/man/nimboctl.1)
# nimboctl on PATH.
file(MAKE_DIRECTORY ${NIMBO_PKG_ROOT}/usr/bin)
file(CREATE_LINK ${NIMBO_PKG_PREFIX}/bin/nimboctl ${NIMBO_PKG_ROOT}/usr/bin/nimboctl SYMBOLIC)
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
# The operator's files: an upgrade keeps their edits, a purge removes them.
file(WRITE ${NIMBO_PKG_CONTROL}/conffiles
  "/etc/nimboservice/nimboservice.ini\n/etc/default/nimboservice\n/etc/init.d/nimboservice\n")
# After the install into the staging tree: the sample beside the program becomes the link.
configure_file(${CMAKE_CURRENT_LIST_DIR}/nimbo_pkg_prebuild.cmake.in ${PROJECT_BINARY_DIR}/packaging/nimbo_pkg_prebuild.cmake @ONLY)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_BINARY_DIR}/packaging/nimbo_pkg_prebuild.cmake)

set(CPACK_PACKAGE_NAME nimboservice)
set(CPACK_PACKAGE_VENDOR "nimbo")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "device-management agent of a payment terminal")
set(CPACK_PACKAGE_DESCRIPTION "nimboservice keeps a payment terminal under the control of a remote \
management server over MQTT: status reports, application and firmware upgrades, log upload, \
posters, lock and geofence. The package holds the program, its device-access library \
libhwlink.so.1, the logging library, its configuration (/etc/nimboservice), the restart \
script, a systemd unit, an init script, manual pages and the nimboctl console.")
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
  "libc6 (>= 2.34), libstdc++6 (>= 12), libcurl4 (>= 7.88.1), libssl3 (>= 3.0.0), libcjson1 (>= 1.7.15), \
libpaho-mqtt1.3 (>= 1.3.12), zlib1g (>= 1:1.2.13), procps, util-linux, lsb-base | sysvinit-utils (>= 3.05-4)")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "bash-completion")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${NIMBO_PKG_CONTROL}/postinst;${NIMBO_PKG_CONTROL}/prerm;${NIMBO_PKG_CONTROL}/postrm;${NIMBO_PKG_CONTROL}/conffiles")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_GENERATOR DEB)
include(CPack)
