# Installation pieces beyond the targets' own install rules: the collector's systemd user unit,
# and the desktop entry and icon of the window.
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

# The desktop window in the application grid: its desktop entry and icon, installed with the
# window only (the entry runs `bytarn gui`). The icon is the bundle's 29-pixel one, in the theme's
# nearest standard size; the icon theme scales it.
if(TARGET bytarn_gui)
    install(FILES ${PROJECT_SOURCE_DIR}/cmake/org.bytarn.Bytarn.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${PROJECT_SOURCE_DIR}/resources/icon.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps
        RENAME org.bytarn.Bytarn.png)
endif()
