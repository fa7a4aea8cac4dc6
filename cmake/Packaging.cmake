# SPDX-License-Identifier: MIT
# What a Linux installation carries beyond the programs (man pages, icons, desktop metadata,
# the licence and changelog where Debian keeps them), and the Debian package CPack makes of it:
# `cpack -G DEB` in a build folder (scripts/package.sh) writes pointrelay_VERSION_ARCH.deb.
if(APPLE OR NOT POINTRELAY_WITH_APP OR NOT POINTRELAY_WITH_UI)
    return()
endif()
find_package(Qt6 REQUIRED COMPONENTS Svg)

set(pointrelay_packaging ${PROJECT_SOURCE_DIR}/packaging)
set(pointrelay_staged ${PROJECT_BINARY_DIR}/packaging)
set(pointrelay_docdir ${CMAKE_INSTALL_DATADIR}/doc/pointrelay)
set(VERSION ${PROJECT_VERSION}) # @VERSION@ in the files below

# Man pages and the changelog, gzipped as Debian keeps them (-n: no name or time stamp inside).
set(pointrelay_gzipped)
foreach(file man/pointrelay.1 man/pointrelayd.1 man/PointrelayServer.1 changelog)
    configure_file(${pointrelay_packaging}/${file} ${pointrelay_staged}/${file} @ONLY)
    add_custom_command(OUTPUT ${pointrelay_staged}/${file}.gz
        COMMAND gzip -9n -c ${pointrelay_staged}/${file} > ${pointrelay_staged}/${file}.gz
        DEPENDS ${pointrelay_staged}/${file} VERBATIM)
    list(APPEND pointrelay_gzipped ${pointrelay_staged}/${file}.gz)
endforeach()

# The icon as PNG for the hicolor theme, drawn from the SVG at build time.
set(pointrelay_icon_sizes 16 24 32 48 64 128 256)
add_executable(render_icon ${pointrelay_packaging}/render_icon.cpp)
target_link_libraries(render_icon PRIVATE Qt6::Gui Qt6::Svg)
add_custom_command(OUTPUT ${pointrelay_staged}/icons/256x256/apps/pointrelay-server.png
    COMMAND render_icon ${PROJECT_SOURCE_DIR}/app/ui/resources/pointrelay.svg
        ${pointrelay_staged}/icons ${pointrelay_icon_sizes}
    DEPENDS render_icon ${PROJECT_SOURCE_DIR}/app/ui/resources/pointrelay.svg VERBATIM)
add_custom_target(pointrelay_installed_files ALL
    DEPENDS ${pointrelay_gzipped} ${pointrelay_staged}/icons/256x256/apps/pointrelay-server.png)

configure_file(${pointrelay_packaging}/org.pointrelay.PointrelayServer.metainfo.xml
    ${pointrelay_staged}/org.pointrelay.PointrelayServer.metainfo.xml @ONLY)
install(FILES ${pointrelay_staged}/man/pointrelay.1.gz ${pointrelay_staged}/man/pointrelayd.1.gz
    ${pointrelay_staged}/man/PointrelayServer.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(DIRECTORY ${pointrelay_staged}/icons/ DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor
    FILES_MATCHING PATTERN "*.png")
install(FILES ${pointrelay_staged}/org.pointrelay.PointrelayServer.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${pointrelay_packaging}/copyright ${pointrelay_staged}/changelog.gz
    DESTINATION ${pointrelay_docdir})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pointrelay)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "The Pointrelay developers <pointrelay@example.org>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends: what the programs link, as dpkg-shlibdeps finds it (Qt, the key store, Avahi's
# DNS-SD, libwayland-client, libsystemd's D-Bus, OpenSSL).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Advertising needs a running Avahi; the portal route needs the desktop's portal service.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "avahi-daemon, xdg-desktop-portal")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gnome-keyring")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "use a phone as this computer's mouse and keyboard")
set(CPACK_PACKAGE_DESCRIPTION "Pointrelay turns a phone into a touch pad and keyboard for the desktop:
pointer moves, scrolling, clicks, keys, Unicode text and system actions,
sent over the local network with a pre-shared key.

The package carries the tray application PointrelayServer, the headless
command pointrelay and the input daemon pointrelayd. Input reaches X11 and
Wayland desktops (wlroots compositors, GNOME, others through the desktop
portal). A browser remote lets any phone's browser drive the desktop.")
include(CPack)
