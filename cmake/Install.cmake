# Installation and the Debian package: the program, its desktop entry and its icon in the standard
# places (bin/, share/applications/, share/icons/hicolor/), and the headless monitor with its
# systemd units once it is built. An installed program keeps its settings in ~/.config/linewatch/,
# since its own directory is not writable (SettingsDirectory).
include(GNUInstallDirs)

install(TARGETS linewatch RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/resources/linewatch.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

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

# cpack -G DEB in a build directory makes linewatch_<version>_<arch>.deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME linewatch)
set(CPACK_PACKAGE_VENDOR Brelwick)
set(CPACK_PACKAGE_CONTACT "linewatch@brelwick.example")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION
    "Watches a small-office ISDN router through its telnet console: the state, usage\n\
and callers of both B channels in a window, a tray icon and two 90-second\n\
graphs, with an optional telnet relay and web status page.")
set(CPACK_PACKAGE_HOMEPAGE_URL "http://www.brelwick.example/linewatch/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
# The libraries the program links come from dpkg-shlibdeps where it is there; the platform plugins
# and the call history's SQLite driver are loaded at run time, so no library scan finds them.
find_program(LINEWATCH_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(LINEWATCH_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libqt6sql6-sqlite")
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
        "libqt6widgets6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6dbus6 (>= 6.4), libqt6network6 (>= 6.4), libqt6sql6 (>= 6.4), libqt6core6 (>= 6.4), qt6-qpa-plugins, libqt6sql6-sqlite, libc6, libstdc++6")
endif()
include(CPack)
