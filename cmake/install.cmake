find_program(GZIP gzip REQUIRED)

# Installation and the Debian package: the control program in bin, the relay as an internal
# program in libexec/vorbelt, the VLC profile in share/vorbelt, a menu entry with its icon and
# the manual pages.
install(TARGETS VorbeltPlayer RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS brellon RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/vorbelt)
# The player wrapper the station uses by itself when it runs as root (VLC refuses root).
install(PROGRAMS tools/vlc-as-user DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/vorbelt)
install(FILES vlc-profile/vlc/vlcrc DESTINATION ${CMAKE_INSTALL_DATADIR}/vorbelt/vlc-profile/vlc)
install(FILES packaging/vorbelt-player.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES packaging/vorbelt-player.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# What Debian wants of every package: the copyright and a compressed changelog.
install(FILES packaging/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vorbelt-player)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
  COMMAND ${GZIP} -9nc ${CMAKE_SOURCE_DIR}/packaging/changelog > ${CMAKE_BINARY_DIR}/changelog.gz
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog)
add_custom_target(changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vorbelt-player)

# Manual pages, with the version and the data folder filled in, compressed as Debian wants.
set(VERSION ${PROJECT_VERSION})
foreach(page VorbeltPlayer.1 brellon.1)
  configure_file(packaging/${page} ${CMAKE_BINARY_DIR}/man/${page} @ONLY)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.gz
    COMMAND ${GZIP} -9nf -k ${CMAKE_BINARY_DIR}/man/${page}
    DEPENDS ${CMAKE_BINARY_DIR}/man/${page} ${CMAKE_SOURCE_DIR}/packaging/${page})
  list(APPEND man_pages ${CMAKE_BINARY_DIR}/man/${page}.gz)
endforeach()
add_custom_target(man_pages ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The package: cmake --build build --target package
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vorbelt-player)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Vorbelt")
set(CPACK_PACKAGE_CONTACT "Vorbelt station team <station@vorbelt.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "control station that plays a recording of several cameras in step")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Vorbelt Player plays one recording from several cameras at once, every camera\nin its own VLC player, all kept at the same second. Its see-through control\nwindow lies over the videos: a floor plan of camera buttons, a transport\nstrip, a seek bar and time displays. One relay per camera drives its player\nover VLC's telnet interface, bound to the local machine.")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Besides the libraries the programs link: the players with the plugins the station's profile
# uses (its X11 video output) and the font its windows are sized for.
# (The player wrapper, for a station run as root, takes the display's cookie with xauth.)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "vlc-bin, vlc-plugin-base, vlc-plugin-video-output, fonts-liberation2, xauth, util-linux, adduser")
# The players' own account (used as root) is made on installation and removed on purge.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/postinst ${CMAKE_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
