# Installation and the Debian package: the program, its desktop entry, AppStream metainfo and icon
# in the standard places (bin/, share/applications/, share/metainfo/, share/icons/hicolor/), the
# manual pages, the Debian copyright and changelog, and the headless monitor with its systemd units
# once it is built. An installed program keeps its settings in ~/.config/linewatch/, since its own
# directory is not writable (SettingsDirectory).
include(GNUInstallDirs)

install(TARGETS linewatch RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/resources/linewatch.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
# Software centres find the program by its AppStream id; the metainfo names the desktop entry above
# as its launchable.
install(FILES ${PROJECT_SOURCE_DIR}/resources/example.brelwick.linewatch.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# The icon theme finds the icon by the desktop entry's Icon=linewatch: the artwork as the scalable
# icon, and its renderings for desktops that do not draw SVG.
set(LINEWATCH_ICON_DIR ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
install(FILES ${PROJECT_SOURCE_DIR}/resources/linewatch.svg DESTINATION ${LINEWATCH_ICON_DIR}/scalable/apps)
foreach(size 16 32 48 64 128 256)
    install(FILES ${PROJECT_SOURCE_DIR}/resources/linewatch-${size}.png
            DESTINATION ${LINEWATCH_ICON_DIR}/${size}x${size}/apps
            RENAME linewatch.png)
endforeach()

# The headless monitor and its systemd units (linewatchd.service, the template linewatchd@.service).
# The units name /usr/bin/linewatchd; installing rewrites that to where the program goes under the
# prefix used at install time, so `cmake --install --prefix /usr/local` and the Debian package
# (prefix /usr) both start the program they installed. The unit directory is relative to the
# prefix: /usr/lib/systemd/system for the package, /usr/local/lib/systemd/system by hand, both on
# systemd's search path.
set(LINEWATCH_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING "where the systemd units go, relative to the prefix")
if(TARGET linewatchd)
    install(TARGETS linewatchd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(CODE "set(_lw_units_source \"${PROJECT_SOURCE_DIR}/packaging/systemd\")
set(_lw_units_staging \"${PROJECT_BINARY_DIR}/packaging/systemd\")
set(_lw_units_bindir \"${CMAKE_INSTALL_BINDIR}\")
set(_lw_units_dir \"${LINEWATCH_SYSTEMD_UNIT_DIR}\")")
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
    ]])
endif()

# Manual pages and the Debian changelog go in gzipped, as Debian wants them; gzip -n leaves out the
# name and time stamp, so the same sources give the same bytes. Compressed at install time into the
# build directory, then installed from there.
find_program(LINEWATCH_GZIP gzip REQUIRED)
set(LINEWATCH_MAN_PAGES linewatch.1)
if(TARGET linewatchd)
    list(APPEND LINEWATCH_MAN_PAGES linewatchd.1)
endif()
install(CODE "set(_lw_gzip \"${LINEWATCH_GZIP}\")
set(_lw_source \"${PROJECT_SOURCE_DIR}/packaging\")
set(_lw_staging \"${PROJECT_BINARY_DIR}/packaging\")
set(_lw_man_pages \"${LINEWATCH_MAN_PAGES}\")
set(_lw_mandir \"${CMAKE_INSTALL_MANDIR}\")
set(_lw_docdir \"${CMAKE_INSTALL_DOCDIR}\")")
install(CODE [[
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
    foreach(_lw_page IN LISTS _lw_man_pages)
        _lw_install_gzipped("${_lw_source}/man/${_lw_page}" "${_lw_page}" "${_lw_mandir}/man1")
    endforeach()
    # Debian's name for the packager's changelog of a package that is not Debian's own.
    _lw_install_gzipped("${_lw_source}/debian/changelog" changelog.Debian "${_lw_docdir}")
]])
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/linewatch.lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME linewatch)

# cpack -G DEB in a build directory makes linewatch_<version>-<release>_<arch>.deb. The release
# counts packagings of one program version; packaging/debian/changelog's newest entry names both.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME linewatch)
set(CPACK_PACKAGE_VENDOR Brelwick)
set(CPACK_PACKAGE_CONTACT "linewatch@brelwick.example")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Brelwick Linewatch Team <linewatch@brelwick.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_PACKAGE_DESCRIPTION
    "Watches a small-office ISDN router through its telnet console: the state, usage\n\
and callers of both B channels in a window, a tray icon and two 90-second\n\
graphs, with an optional telnet relay and web status page.")
set(CPACK_PACKAGE_HOMEPAGE_URL "http://www.brelwick.example/linewatch/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
# The libraries the program links come from dpkg-shlibdeps where it is there. Plugins are loaded at
# run time, so no library scan finds them: the platform plugins, and the SQLite driver of the call
# history. Qt's own translations give its standard buttons and dialogs in German; without them
# those stay English.
set(LINEWATCH_RUNTIME_PLUGINS "qt6-qpa-plugins, libqt6sql6-sqlite")
find_program(LINEWATCH_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(LINEWATCH_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "${LINEWATCH_RUNTIME_PLUGINS}")
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
        "libqt6widgets6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6dbus6 (>= 6.4), libqt6network6 (>= 6.4), libqt6sql6 (>= 6.4), libqt6core6 (>= 6.4), ${LINEWATCH_RUNTIME_PLUGINS}, libssl3, libyaml-cpp0.7, libcrypt1, libmosquitto1, libc6, libstdc++6")
endif()
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-translations-l10n")
include(CPack)
