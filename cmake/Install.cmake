# Installation pieces beyond the targets' own install rules: the systemd units, the window's
# desktop entry, metadata and icons, the example interface rules and the man pages.
# The unit names the installed bytarn-collector by its absolute path, so it is written at install
# time, when the prefix is final (`cmake --install --prefix` may change it after configuring).
set(BYTARN_UNIT_TEMPLATE ${PROJECT_SOURCE_DIR}/cmake/bytarn-collector.service.in)
set(BYTARN_UNIT_FILE ${PROJECT_BINARY_DIR}/install/bytarn-collector.service)
install(CODE "
    set(BYTARN_COLLECTOR_SERVICE \"${BYTARN_COLLECTOR_SERVICE}\")
    if(IS_ABSOLUTE \"${CMAKE_INSTALL_BINDIR}\")
        set(BYTARN_INSTALLED_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
    else()
        set(BYTARN_INSTALLED_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    endif()
    configure_file(\"${BYTARN_UNIT_TEMPLATE}\" \"${BYTARN_UNIT_FILE}\" @ONLY)
")
# systemd looks for user units under <prefix>/lib/systemd/user whatever the library directory.
install(FILES ${BYTARN_UNIT_FILE} DESTINATION lib/systemd/user)

# The traffic helper's system units, when the helper is built. The service names the installed
# helper by its absolute path, so it too is written at install time.
if(TARGET bytarn-trafficd)
    set(BYTARN_TRAFFICD_UNIT_TEMPLATE ${PROJECT_SOURCE_DIR}/cmake/bytarn-trafficd.service.in)
    set(BYTARN_TRAFFICD_UNIT_FILE ${PROJECT_BINARY_DIR}/install/bytarn-trafficd.service)
    install(CODE "
        if(IS_ABSOLUTE \"${CMAKE_INSTALL_SBINDIR}\")
            set(BYTARN_INSTALLED_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
        else()
            set(BYTARN_INSTALLED_SBINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}\")
        endif()
        configure_file(\"${BYTARN_TRAFFICD_UNIT_TEMPLATE}\" \"${BYTARN_TRAFFICD_UNIT_FILE}\" @ONLY)
    ")
    install(FILES ${BYTARN_TRAFFICD_UNIT_FILE} ${PROJECT_SOURCE_DIR}/cmake/bytarn-trafficd.socket
        DESTINATION lib/systemd/system)
endif()

# The usage rows that are no application, "Other users" and "Shared connection": desktop entries
# (NoDisplay, so no menu lists them) through which every front end titles them, and their icons,
# whatever front ends are built. The icons are hand-written SVGs and PNGs of the theme's standard
# sizes rendered from them (scripts/render-icons).
install(FILES ${PROJECT_SOURCE_DIR}/cmake/org.bytarn.OtherUsers.desktop
    ${PROJECT_SOURCE_DIR}/cmake/org.bytarn.SharedConnection.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
set(BYTARN_ICON_PATTERNS PATTERN "org.bytarn.OtherUsers.*" PATTERN "org.bytarn.SharedConnection.*")

# The desktop window in the application grid and in software centres: its desktop entry (which
# runs `bytarn gui`), AppStream metadata and icons, installed with the window only. The icons
# are the hand-written SVG, a symbolic one, and PNGs of the theme's standard sizes rendered from
# the SVG (scripts/render-icons). resources/icon.png stays the bundle's own image.
if(TARGET bytarn_gui)
    install(FILES ${PROJECT_SOURCE_DIR}/cmake/org.bytarn.Bytarn.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${PROJECT_SOURCE_DIR}/cmake/org.bytarn.Bytarn.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
    list(APPEND BYTARN_ICON_PATTERNS PATTERN "org.bytarn.Bytarn.*" PATTERN "org.bytarn.Bytarn-symbolic.*")
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/icons/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons
    FILES_MATCHING ${BYTARN_ICON_PATTERNS})

# The commented example of /etc/bytarn/interfaces: documentation only, so that nothing changes
# how interfaces are classified until an administrator writes the file.
if(TARGET bytarn-trafficd)
    install(FILES ${PROJECT_SOURCE_DIR}/docs/examples/interfaces
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/bytarn/examples)
endif()

# Man pages, written in scdoc (docs/man/NAME.SECTION.scd) and built into man/ of the build tree.
# The helper's pages go with the helper.
find_program(BYTARN_SCDOC scdoc)
set(BYTARN_MAN_PAGES bytarn.1 bytarn-collector.1)
if(TARGET bytarn-trafficd)
    list(APPEND BYTARN_MAN_PAGES bytarn-trafficd.8 bytarn-interfaces.5)
endif()
if(BYTARN_SCDOC)
    set(built_man_pages)
    foreach(page ${BYTARN_MAN_PAGES})
        set(source ${PROJECT_SOURCE_DIR}/docs/man/${page}.scd)
        set(built ${PROJECT_BINARY_DIR}/man/${page})
        add_custom_command(OUTPUT ${built}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
            COMMAND sh -c "\"$0\" < \"$1\" > \"$2\"" ${BYTARN_SCDOC} ${source} ${built}
            DEPENDS ${source}
            COMMENT "Building the man page ${page} (scdoc)"
            VERBATIM)
        list(APPEND built_man_pages ${built})
        string(REGEX REPLACE ".*\\." "" section ${page})
        install(FILES ${built} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
    endforeach()
    add_custom_target(bytarn_man_pages ALL DEPENDS ${built_man_pages})
else()
    message(STATUS "man pages: not built (needs scdoc)")
endif()
