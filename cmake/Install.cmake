# Install rules: the connector, the test tools under quorvel- names, man pages, the systemd
# unit with its sysusers.d and tmpfiles.d entries, example settings and (desktop build) the
# desktop module, icons, menu and autostart entries. Included at the end of the top-level
# CMakeLists.txt, once every target exists.
#
# Two install components, one per Debian package (scripts/package.sh): "quorvel", the
# connector without any desktop library, and "desktop", what the tray application adds.
# A plain "cmake --install" installs both.

include(GNUInstallDirs)

# The build variant: "desktop" when the tray application is built (QUORVEL_GUI=ON), else
# "headless". It names the package and is shown by --version.
if(DEFINED QUORVEL_GUI AND QUORVEL_GUI)
  set(QUORVEL_BUILD_VARIANT desktop)
else()
  set(QUORVEL_BUILD_VARIANT headless)
endif()
target_compile_definitions(quorvel_core PUBLIC QUORVEL_BUILD_VARIANT="${QUORVEL_BUILD_VARIANT}")

set(QUORVEL_DOCDIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/quorvel"
  CACHE STRING "Documentation folder (relative to the prefix)")
set(QUORVEL_SYSTEMD_UNITDIR "lib/systemd/system"
  CACHE STRING "systemd system unit folder (relative to the prefix, or absolute)")
set(QUORVEL_SYSUSERSDIR "lib/sysusers.d" CACHE STRING "sysusers.d folder")
set(QUORVEL_TMPFILESDIR "lib/tmpfiles.d" CACHE STRING "tmpfiles.d folder")
# The menu and autostart entries start the tray application: desktop build only.
if(QUORVEL_BUILD_VARIANT STREQUAL "desktop")
  set(QUORVEL_INSTALL_DESKTOP_FILES ON)
else()
  set(QUORVEL_INSTALL_DESKTOP_FILES OFF)
endif()

set(QUORVEL_FULL_BINDIR "${CMAKE_INSTALL_FULL_BINDIR}")
set(_gen "${CMAKE_BINARY_DIR}/packaging")

# The connector and the tools a user needs without hardware or without a hub. The tools keep
# their short names in the build tree (tests and scripts use them); installed, they carry the
# quorvel- prefix so that they cannot clash with other packages.
install(TARGETS quorvel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT quorvel)
foreach(tool cm11a-sim xap-hub xap-send)
  if(TARGET ${tool})
    install(PROGRAMS $<TARGET_FILE:${tool}> DESTINATION ${CMAKE_INSTALL_BINDIR}
            RENAME quorvel-${tool} COMPONENT quorvel)
    # install(PROGRAMS) is left out of "cmake --install --strip"; strip these the same way.
    if(CMAKE_STRIP)
      install(CODE "if(CMAKE_INSTALL_DO_STRIP)
        execute_process(COMMAND \"${CMAKE_STRIP}\"
          \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/quorvel-${tool}\")
      endif()" COMPONENT quorvel)
    endif()
  endif()
endforeach()

# Man pages, compressed as Debian wants them (gzip -n: no time stamp, reproducible).
find_program(QUORVEL_GZIP gzip REQUIRED)
set(_man_pages quorvel.8 quorvel.ini.5 quorvel-cm11a-sim.1 quorvel-xap-hub.1 quorvel-xap-send.1)
set(_man_outputs)
foreach(page ${_man_pages})
  string(REGEX MATCH "[0-9]$" section ${page})
  set(out "${CMAKE_BINARY_DIR}/man/${page}.gz")
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${QUORVEL_GZIP} -9 -n -c ${CMAKE_SOURCE_DIR}/man/${page} > ${out}
    DEPENDS ${CMAKE_SOURCE_DIR}/man/${page} VERBATIM)
  list(APPEND _man_outputs ${out})
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT quorvel)
endforeach()
set(_changelog "${CMAKE_BINARY_DIR}/packaging/changelog.gz")
add_custom_command(OUTPUT ${_changelog}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND ${QUORVEL_GZIP} -9 -n -c ${CMAKE_SOURCE_DIR}/packaging/changelog.Debian > ${_changelog}
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog.Debian VERBATIM)
add_custom_target(quorvel_docs ALL DEPENDS ${_man_outputs} ${_changelog})

# The service.
# The unit names /usr/bin/quorvel; another prefix gets its own path.
file(READ ${CMAKE_SOURCE_DIR}/packaging/quorvel.service _unit)
string(REPLACE "ExecStart=/usr/bin/" "ExecStart=${QUORVEL_FULL_BINDIR}/" _unit "${_unit}")
file(CONFIGURE OUTPUT ${_gen}/quorvel.service CONTENT "${_unit}" @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/packaging/quorvel.service)
install(FILES ${_gen}/quorvel.service DESTINATION ${QUORVEL_SYSTEMD_UNITDIR} COMPONENT quorvel)
install(FILES packaging/quorvel.sysusers DESTINATION ${QUORVEL_SYSUSERSDIR} RENAME quorvel.conf
        COMPONENT quorvel)
install(FILES packaging/quorvel.tmpfiles DESTINATION ${QUORVEL_TMPFILESDIR} RENAME quorvel.conf
        COMPONENT quorvel)

# Documentation and example settings.
install(FILES README.md CHANGELOG.md packaging/copyright ${_changelog}
        DESTINATION ${QUORVEL_DOCDIR} COMPONENT quorvel)
install(FILES packaging/examples/Quorvel.ini packaging/examples/zebXap.ini
        DESTINATION ${QUORVEL_DOCDIR}/examples COMPONENT quorvel)

# The desktop: icons (icons/quorvel.svg, scalable, and icons/quorvel-<size>.png, each
# installed as "quorvel" in the hicolor theme), the menu entry and the XDG autostart entry
# for the tray application. The module itself is installed where it is built.
configure_file(packaging/quorvel.desktop.in ${_gen}/quorvel.desktop @ONLY)
configure_file(packaging/quorvel-autostart.desktop.in ${_gen}/quorvel-autostart.desktop @ONLY)
if(QUORVEL_INSTALL_DESKTOP_FILES)
  install(FILES icons/quorvel.svg DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps
          COMPONENT desktop)
  file(GLOB _icon_pngs ${CMAKE_SOURCE_DIR}/icons/quorvel-*.png)
  foreach(png ${_icon_pngs})
    if(png MATCHES "quorvel-([0-9]+)\\.png$")
      set(size ${CMAKE_MATCH_1})
      install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/${size}x${size}/apps
              RENAME quorvel.png COMPONENT desktop)
    endif()
  endforeach()
  install(FILES ${_gen}/quorvel.desktop DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications
          COMPONENT desktop)
  install(FILES ${_gen}/quorvel-autostart.desktop DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/xdg/autostart
          RENAME quorvel.desktop COMPONENT desktop)
  # The desktop package's own copyright and changelog.
  install(FILES packaging/copyright ${_changelog}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quorvel-desktop COMPONENT desktop)
endif()

# The install check: installs into a temporary folder and checks the files, the man pages
# and the unit.
if(QUORVEL_TESTS)
  add_test(NAME InstallPutsEveryFileInPlaceAndTheManPagesAndUnitPassTheirChecks
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/install/install_test.sh ${CMAKE_BINARY_DIR}
            ${QUORVEL_BUILD_VARIANT} ${PROJECT_VERSION} ${CMAKE_INSTALL_PREFIX}
            ${CMAKE_INSTALL_FULL_SYSCONFDIR})
  set_tests_properties(InstallPutsEveryFileInPlaceAndTheManPagesAndUnitPassTheirChecks
    PROPERTIES LABELS integration TIMEOUT 300)
endif()
