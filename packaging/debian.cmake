# The Debian package, made by "cpack -G DEB" in the build folder. It holds
# whatever the install rules install, so a program that gets an install rule
# is packaged too; Debian wants the copyright and changelog files beside.
set(package_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/tunaris-console)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright DESTINATION ${package_doc_dir})
# The changelog's newest entry is the version being packaged: one written
# by hand beside project(VERSION) would otherwise drift from it.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^tunaris-console \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/changelog begins with '${changelog_head}': its newest entry must be "
                        "version ${PROJECT_VERSION}, as project(VERSION) says")
endif()
# Compressed without a name or time stamp, so the same text gives the same file.
add_custom_command(OUTPUT changelog.gz
    COMMAND gzip -9nc ${CMAKE_CURRENT_LIST_DIR}/changelog > changelog.gz
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog)
add_custom_target(package_changelog ALL DEPENDS changelog.gz)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz DESTINATION ${package_doc_dir})
# The README, and the longer documents it links to beside it.
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${package_doc_dir})
install(FILES ${PROJECT_SOURCE_DIR}/docs/fleet.md ${PROJECT_SOURCE_DIR}/docs/layout.md
              ${PROJECT_SOURCE_DIR}/docs/windows.md DESTINATION ${package_doc_dir}/docs)
# The bridge service's settings, to copy to /etc/default for each port.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/tunaris-bridge.default DESTINATION ${package_doc_dir}/examples)

set(CPACK_PACKAGE_NAME tunaris-console)
set(CPACK_PACKAGE_VENDOR "Tunaris Audio Systems")
set(CPACK_PACKAGE_CONTACT "Tunaris Audio Systems <support@tunaris.example.com>")
set(CPACK_PACKAGE_HOMEPAGE_URL "http://tunaris.example.com")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "console that remote-controls an audio player over a serial port")
set(CPACK_PACKAGE_DESCRIPTION [[
A desktop console for a stand-alone audio player connected to a serial
port: transport, folder, playlist and spot loads with their play modes,
web radio, FTP client, media source and three volume channels. Every
action becomes one four-byte command frame on the line, echoed in the
window's status line. The interface is in English and in French.

Command-line tools put the same commands on a port from scripts and
schedulers, show the frames that arrive on one, and take commands from
show-control systems on the network (TCP or UDP) for the player, from
a fleet's MQTT broker, which runs many players from one office, or from
the venue's staff on their phones, through a page the bridge serves.]])
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(TUNARIS_HAS_MQTT)
    # Its symbols date from 1.6, so the computed Depends asks for that; but
    # the system's authorities for mqtts:// come with 2.0. Said as Breaks, the
    # library is named once in Depends.
    set(CPACK_DEBIAN_PACKAGE_BREAKS "libmosquitto1 (<< 2.0)")
endif()
# mqtts:// brokers are checked against the system's authorities; the
# broker's own clients help to watch a fleet's topics.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS ca-certificates)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS mosquitto-clients)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
