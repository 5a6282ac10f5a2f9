# The Debian package, built by CPack (scripts/package.sh configures a build with the prefix
# /usr and runs it). Included after cmake/Install.cmake.
#
# Variants: the default build gives the package "quorvel". A build with QUORVEL_GUI=OFF
# gives "quorvel-headless" for servers, which replaces the other; its dependencies are
# computed from the libraries it links, so the desktop libraries drop out by themselves.
# The desktop package leaves the service disabled (the tray application is started by the
# desktop session instead; two connectors on one CM11A would fight over it); the headless
# package enables it.

if(DEFINED QUORVEL_GUI AND NOT QUORVEL_GUI)
  set(CPACK_PACKAGE_NAME quorvel-headless)
  set(CPACK_DEBIAN_PACKAGE_CONFLICTS quorvel)
  set(CPACK_DEBIAN_PACKAGE_REPLACES quorvel)
  set(CPACK_DEBIAN_PACKAGE_PROVIDES quorvel)
else()
  set(CPACK_PACKAGE_NAME quorvel)
  if(QUORVEL_BUILD_VARIANT STREQUAL "desktop")
    set(CPACK_DEBIAN_PACKAGE_CONFLICTS quorvel-headless)
  endif()
endif()
if(QUORVEL_BUILD_VARIANT STREQUAL "desktop")
  set(QUORVEL_ENABLE_SERVICE no)
else()
  set(QUORVEL_ENABLE_SERVICE yes)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Quorvel developers")
set(CPACK_PACKAGE_CONTACT "The Quorvel developers <quorvel@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "connector between an xAP network and an X10 CM11A interface")
set(CPACK_PACKAGE_DESCRIPTION
"Quorvel joins an xAP home-automation network (plain-text UDP messages through
the local xAP hub) to an X10 CM11A power-line interface, on a serial port or
behind a TCP serial server. xAP clients switch X10 lamps and appliances through
it; what the CM11A hears on the power line comes back as xAP events.

The package holds the connector with its systemd service (sandboxed, with a
watchdog), a CM11A simulator, a loopback xAP hub and a request sender for
trying it without hardware.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
# The binaries are built with debug information; CPack moves it into quorvel-dbgsym (a
# .ddeb next to the .deb) and strips the packaged binaries.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)

configure_file(${CMAKE_SOURCE_DIR}/packaging/debian/postinst.in
  ${CMAKE_BINARY_DIR}/packaging/debian/postinst @ONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_BINARY_DIR}/packaging/debian/postinst
  ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
  ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
# Files under /etc are the administrator's: an upgrade keeps their changes.
if(QUORVEL_INSTALL_DESKTOP_FILES)
  file(WRITE ${CMAKE_BINARY_DIR}/packaging/debian/conffiles
    "${CMAKE_INSTALL_FULL_SYSCONFDIR}/xdg/autostart/quorvel.desktop\n")
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/debian/conffiles)
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

include(CPack)
