# `cmake --install` and `cpack -G DEB`. The programs find the log tool stand-in beside them and
# the resources in ../resources, so all of it lives together in one private folder and the
# commands reach /usr/bin as links (the programs resolve their own path through the link).
include(GNUInstallDirs)
set(CORVANE_INSTALL_HOME lib/corvane-monitor)
if(APPLE)
  # The bundle carries its resources; the command-line tools go beside it.
  if(CORVANE_BUILD_APP)
    install(TARGETS corvane-monitor BUNDLE DESTINATION .)
  endif()
  install(TARGETS corvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  return()
endif()

if(CORVANE_BUILD_APP)
  set(corvane_installed_programs corvane-monitor corvane corvane-log)
else()
  set(corvane_installed_programs corvane corvane-log)
endif()
install(TARGETS ${corvane_installed_programs} RUNTIME DESTINATION ${CORVANE_INSTALL_HOME}/bin)
install(DIRECTORY ${CORVANE_RESOURCES_DIR}/ DESTINATION ${CORVANE_INSTALL_HOME}/resources
        USE_SOURCE_PERMISSIONS PATTERN "app" EXCLUDE PATTERN "demo" EXCLUDE)
foreach(program IN LISTS corvane_installed_programs)
  if(NOT program STREQUAL "corvane-log")
    install(CODE "
      set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\")
      file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
      file(CREATE_LINK \"../${CORVANE_INSTALL_HOME}/bin/${program}\" \"\${link}\" SYMBOLIC)
      message(STATUS \"Installing: \${link}\")")
  endif()
endforeach()
if(CORVANE_BUILD_APP AND NOT APPLE)
  install(FILES ${CMAKE_SOURCE_DIR}/resources/app/corvane-monitor.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${CORVANE_RESOURCES_DIR}/app/icons/app.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
          RENAME corvane-monitor.svg)
endif()

set(CPACK_PACKAGE_NAME corvane-monitor)
set(CPACK_PACKAGE_VENDOR "Corvane")
set(CPACK_PACKAGE_CONTACT "Corvane Monitor maintainers <maintainers@corvane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Watches this computer for devices that connect to it as its owner")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The shared libraries the programs link, as the Debian packages that ship them; the web
# engine's helper process and the platform plugins are loaded at run time, so named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6webenginecore6-bin, qt6-qpa-plugins, libqt6svg6")
include(CPack)
