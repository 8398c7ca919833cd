# Installation layout and the Debian package. The program finds Info.json and its own images in
# share/pellora; desktops find the entry, icons and metadata in their standard places.
include(GNUInstallDirs)

set(PELLORA_DATA ${PROJECT_SOURCE_DIR}/data)
set(PELLORA_ID it.quillmere.Brivane)

install(TARGETS pellora RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS pellora_eds LIBRARY DESTINATION ${PELLORA_EDS_MODULE_DESTINATION})
file(GLOB PELLORA_TRAY_GLYPHS ${PELLORA_DATA}/icons/PelloraMenuBar-*.png)
install(FILES $<TARGET_FILE_DIR:pellora>/Info.json ${PELLORA_DATA}/icons/${PELLORA_ID}.png
              ${PELLORA_TRAY_GLYPHS}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/pellora)

install(FILES ${PELLORA_DATA}/icons/${PELLORA_ID}.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${PELLORA_DATA}/icons/${PELLORA_ID}.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps)
foreach(size 48 128)
  install(FILES ${PELLORA_DATA}/icons/${PELLORA_ID}-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME ${PELLORA_ID}.png)
endforeach()
# The tray glyph also as a themed symbolic icon, for panels that look icons up by name.
install(FILES ${PELLORA_DATA}/icons/PelloraMenuBar.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/symbolic/apps
        RENAME ${PELLORA_ID}-symbolic.svg)

install(FILES ${PELLORA_DATA}/${PELLORA_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
configure_file(${PELLORA_DATA}/${PELLORA_ID}.metainfo.xml.in
               ${PROJECT_BINARY_DIR}/data/${PELLORA_ID}.metainfo.xml @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/data/${PELLORA_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# Debian package: scripts/package builds it. Library dependencies come from dpkg-shlibdeps;
# only what the program loads without linking is named here (the Inter font it draws with).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pellora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR ${PELLORA_DEVELOPER_NAME})
set(CPACK_PACKAGE_CONTACT "${PELLORA_DEVELOPER_NAME} <${PELLORA_DEVELOPER_EMAIL}>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Your day, on your desktop: a calendar agenda as wallpaper")
set(CPACK_PACKAGE_DESCRIPTION
    "Pellora reads the calendars you pick and your open tasks and draws one agenda image per\n\
monitor as its wallpaper, keeps it current through the day and puts your own wallpaper\n\
back when it quits.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${PELLORA_HOMEPAGE})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Wayland sessions need Qt's Wayland platform plugin: without it Qt cannot start there.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-inter, qt6-wayland")
# The keyring holds cloud sign-ins.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gnome-keyring | kwalletmanager | keepassxc")
execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE PELLORA_DEB_ARCH
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT PELLORA_DEB_ARCH)
  set(PELLORA_DEB_ARCH amd64)
endif()
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${PELLORA_DEB_ARCH})
set(CPACK_DEBIAN_FILE_NAME ${CPACK_PACKAGE_NAME}_${PROJECT_VERSION}_${PELLORA_DEB_ARCH}.deb)
include(CPack)
