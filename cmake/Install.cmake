# SPDX-License-Identifier: MIT
# Installation and the Debian packages. Two components, one package each: linewatch, the desktop
# program with its desktop entry, AppStream metainfo and icons (bin/, share/applications/,
# share/metainfo/, share/icons/hicolor/); and linewatchd, the headless monitor with its systemd
# units, /etc/linewatch and its examples, so that a server takes no Qt GUI, platform plugin or
# font with it. They share no file, so there is no common package: each has its own manual page,
# copyright, changelog and README. An installed desktop program keeps its settings in
# ~/.config/linewatch/, since its own directory is not writable (SettingsDirectory).
include(GNUInstallDirs)

install(TARGETS linewatch RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT linewatch)
install(FILES ${PROJECT_SOURCE_DIR}/resources/linewatch.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
        COMPONENT linewatch)
# Software centres find the program by its AppStream id; the metainfo names the desktop entry above
# as its launchable.
install(FILES ${PROJECT_SOURCE_DIR}/resources/example.brelwick.linewatch.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT linewatch)

# The icon theme finds the icon by the desktop entry's Icon=linewatch: the artwork as the scalable
# icon, and its renderings for desktops that do not draw SVG.
set(LINEWATCH_ICON_DIR ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
install(FILES ${PROJECT_SOURCE_DIR}/resources/linewatch.svg DESTINATION ${LINEWATCH_ICON_DIR}/scalable/apps
        COMPONENT linewatch)
foreach(size 16 32 48 64 128 256)
    install(FILES ${PROJECT_SOURCE_DIR}/resources/linewatch-${size}.png
            DESTINATION ${LINEWATCH_ICON_DIR}/${size}x${size}/apps
            RENAME linewatch.png COMPONENT linewatch)
endforeach()

# The headless monitor and its systemd units (linewatchd.service, the template linewatchd@.service).
# The units name /usr/bin/linewatchd; installing rewrites that to where the program goes under the
# prefix used at install time, so `cmake --install --prefix /usr/local` and the Debian package
# (prefix /usr) both start the program they installed. The unit directory is relative to the
# prefix: /usr/lib/systemd/system for the package, /usr/local/lib/systemd/system by hand, both on
# systemd's search path.
set(LINEWATCH_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING "where the systemd units go, relative to the prefix")
if(TARGET linewatchd)
    install(TARGETS linewatchd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT linewatchd)
    install(CODE "set(_lw_units_source \"${PROJECT_SOURCE_DIR}/packaging/systemd\")
set(_lw_units_staging \"${PROJECT_BINARY_DIR}/packaging/systemd\")
set(_lw_units_bindir \"${CMAKE_INSTALL_BINDIR}\")
set(_lw_units_dir \"${LINEWATCH_SYSTEMD_UNIT_DIR}\")" COMPONENT linewatchd)
    install(CODE [[
        if(NOT IS_ABSOLUTE "${_lw_units_bindir}")
            set(_lw_units_bindir "${CMAKE_INSTALL_PREFIX}/${_lw_units_bindir}")
        endif()
        if(NOT IS_ABSOLUTE "${_lw_units_dir}")
            set(_lw_units_dir "${CMAKE_INSTALL_PREFIX}/${_lw_units_dir}")
        endif()
        foreach(_lw_unit linewatchd.service linewatchd@.service)
            file(READ "${_lw_units_source}/${_lw_unit}" _lw_text)
            string(REPLACE "/usr/bin/linewatchd" "${_lw_units_bindir}/linewatchd" _lw_text "${_lw_text}")
            file(WRITE "${_lw_units_staging}/${_lw_unit}" "${_lw_text}")
            file(INSTALL "${_lw_units_staging}/${_lw_unit}" DESTINATION "${_lw_units_dir}"
                 PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
        endforeach()
    ]] COMPONENT linewatchd)
    # The examples: a settings file with every key explained and no password, and a Prometheus
    # scrape configuration.
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/examples/linewatchd.ini
                  ${PROJECT_SOURCE_DIR}/packaging/examples/prometheus.yml
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/linewatchd/examples COMPONENT linewatchd)
    # Where the units look for the settings files: made by the package (root's, 0755, empty, since
    # the files hold the router's password); by hand only with --component linewatchd, as it lies
    # outside any prefix.
    install(DIRECTORY DESTINATION /etc/linewatch COMPONENT linewatchd EXCLUDE_FROM_ALL
            DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
endif()

# Manual pages and the Debian changelog go in gzipped, as Debian wants them; gzip -n leaves out the
# name and time stamp, so the same sources give the same bytes. Compressed at install time into the
# build directory, then installed from there. Each package has its own documentation directory
# (share/doc/<package>) with the copyright, changelog and README that Debian asks of every package.
find_program(LINEWATCH_GZIP gzip REQUIRED)
set(_lw_gzip_function [[
    function(_lw_install_gzipped source name destination)
        file(MAKE_DIRECTORY "${_lw_staging}/gz")
        execute_process(COMMAND "${_lw_gzip}" -9 -n -c "${source}"
                        OUTPUT_FILE "${_lw_staging}/gz/${name}.gz" RESULT_VARIABLE _lw_result)
        if(NOT _lw_result EQUAL 0)
            message(FATAL_ERROR "gzip ${source}: ${_lw_result}")
        endif()
        if(NOT IS_ABSOLUTE "${destination}")
            set(destination "${CMAKE_INSTALL_PREFIX}/${destination}")
        endif()
        file(INSTALL "${_lw_staging}/gz/${name}.gz" DESTINATION "${destination}"
             PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    endfunction()
]])
# linewatch_install_package_docs(PACKAGE MANPAGE): PACKAGE's manual page, its changelog.Debian.gz
# (Debian's name for the packager's changelog of a package that is not Debian's own), copyright,
# README and lintian overrides.
function(linewatch_install_package_docs package manpage)
    set(docdir ${CMAKE_INSTALL_DATADIR}/doc/${package})
    install(CODE "set(_lw_gzip \"${LINEWATCH_GZIP}\")
set(_lw_staging \"${PROJECT_BINARY_DIR}/packaging\")
${_lw_gzip_function}
_lw_install_gzipped(\"${PROJECT_SOURCE_DIR}/packaging/man/${manpage}\" ${manpage} \"${CMAKE_INSTALL_MANDIR}/man1\")
_lw_install_gzipped(\"${PROJECT_SOURCE_DIR}/packaging/debian/changelog\" changelog.Debian \"${docdir}\")"
            COMPONENT ${package})
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${PROJECT_SOURCE_DIR}/README.md
            DESTINATION ${docdir} COMPONENT ${package})
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/${package}.lintian-overrides
            DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${package} COMPONENT ${package})
endfunction()
linewatch_install_package_docs(linewatch linewatch.1)
if(TARGET linewatchd)
    linewatch_install_package_docs(linewatchd linewatchd.1)
endif()

# cpack -G DEB in a build directory makes linewatch_<version>-<release>_<arch>.deb and
# linewatchd_<version>-<release>_<arch>.deb. The release counts packagings of one program
# version; packaging/debian/changelog's newest entry names both.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL linewatch)
if(TARGET linewatchd)
    list(APPEND CPACK_COMPONENTS_ALL linewatchd)
endif()
set(CPACK_PACKAGE_NAME linewatch)
set(CPACK_PACKAGE_VENDOR Brelwick)
set(CPACK_PACKAGE_CONTACT "linewatch@brelwick.example")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Brelwick Linewatch Team <linewatch@brelwick.example>")
# Empty, so that each package's description below gives its own summary line.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE 2)
set(CPACK_PACKAGE_HOMEPAGE_URL "http://www.brelwick.example/linewatch/")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_LINEWATCH_PACKAGE_NAME linewatch)
set(CPACK_DEBIAN_LINEWATCH_FILE_NAME DEB-DEFAULT)
set(CPACK_COMPONENT_LINEWATCH_DESCRIPTION
    "ISDN router line monitor for the desktop\n\
Watches a small-office ISDN router through its telnet console: the state, usage\n\
and callers of both B channels in a window, a tray icon and two 90-second\n\
graphs, with an optional telnet relay and web status page. The same monitor\n\
without a window, as a system service, is in the linewatchd package.")
set(CPACK_DEBIAN_LINEWATCHD_PACKAGE_NAME linewatchd)
set(CPACK_DEBIAN_LINEWATCHD_FILE_NAME DEB-DEFAULT)
set(CPACK_COMPONENT_LINEWATCHD_DESCRIPTION
    "ISDN router line monitor as a system service\n\
Watches a small-office ISDN router through its telnet console without a\n\
display: the status page, /status.json and /metrics for Prometheus, an\n\
optional telnet relay, alerts and a call history, with systemd units for one\n\
or several routers. Needs no graphical libraries.")
set(CPACK_DEBIAN_LINEWATCH_PACKAGE_SUGGESTS linewatchd)

# The libraries the programs link come from dpkg-shlibdeps where it is there. Plugins are loaded at
# run time, so no library scan finds them: the platform plugins of the desktop program. Qt's own
# translations give the desktop program's standard buttons and dialogs in German; without them
# those stay English.
set(LINEWATCH_DESKTOP_PLUGINS "qt6-qpa-plugins")
find_program(LINEWATCH_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(LINEWATCH_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_LINEWATCH_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_LINEWATCHD_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_LINEWATCH_PACKAGE_DEPENDS "${LINEWATCH_DESKTOP_PLUGINS}")
else()
    set(CPACK_DEBIAN_LINEWATCH_PACKAGE_DEPENDS
        "libqt6widgets6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6dbus6 (>= 6.4), libqt6network6 (>= 6.4), libqt6core6 (>= 6.4), ${LINEWATCH_DESKTOP_PLUGINS}, libsqlite3-0, libssl3, libyaml-cpp0.7, libcrypt1, libmosquitto1, libc6, libstdc++6")
    set(CPACK_DEBIAN_LINEWATCHD_PACKAGE_DEPENDS
        "libqt6core6 (>= 6.4), libsqlite3-0, libsystemd0, libssl3, libyaml-cpp0.7, libcrypt1, libmosquitto1, libc6, libstdc++6")
endif()
set(CPACK_DEBIAN_LINEWATCH_PACKAGE_RECOMMENDS "qt6-translations-l10n")
include(CPack)
