# Packages, made by `cmake --build --preset linux|win32 --target package`: on Linux a
# Debian package of the three command-line tools with their man pages, bash completion and
# the user guide; on Windows a zip of the programs with the user guide. Name and version
# come from project().

set(CPACK_PACKAGE_NAME zuva-flash)
set(CPACK_PACKAGE_VENDOR "Zuva")
set(CPACK_PACKAGE_CONTACT "Zuva FLASH programmer maintainers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "STM32F10x FLASH programmer over the chip's USART bootloader")
set(CPACK_PACKAGE_DESCRIPTION
    "zuva-flash programs STM32F10x microcontrollers through their system bootloader over a serial port; zuva-pack makes one-release updaters; zuva-devsim is a virtual bootloader on a pseudo-terminal.")
set(ZUVA_GUIDE ${CMAKE_SOURCE_DIR}/docs/user-guide.md ${CMAKE_SOURCE_DIR}/docs/zuvaflash-normal.png
    ${CMAKE_SOURCE_DIR}/docs/zuvaflash-running.png ${CMAKE_SOURCE_DIR}/docs/zuvaflash-finished.png
    ${CMAKE_SOURCE_DIR}/docs/zuvaflash-update.png)

if(WIN32)
    # The programs as built (the win32 preset links them static and small), at the top of
    # the zip; nothing to install on the PC.
    set(CPACK_GENERATOR ZIP)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        set(CPACK_PACKAGE_FILE_NAME ZuvaFlash-${PROJECT_VERSION}-win32)
    else()
        set(CPACK_PACKAGE_FILE_NAME ZuvaFlash-${PROJECT_VERSION}-win64)
    endif()
    install(TARGETS ZuvaFlash zuva-flash zuva-pack RUNTIME DESTINATION .)
    install(FILES ${ZUVA_GUIDE} DESTINATION doc)
else()
    include(GNUInstallDirs)
    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_STRIP_FILES ON)
    install(TARGETS zuva-flash zuva-pack zuva-devsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

    # Man pages go in compressed, as Debian keeps them.
    set(ZUVA_MAN_PAGES)
    foreach(tool zuva-flash zuva-pack zuva-devsim)
        set(page ${CMAKE_BINARY_DIR}/man/${tool}.1.gz)
        add_custom_command(OUTPUT ${page}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
            COMMAND gzip -9 -n -c ${CMAKE_SOURCE_DIR}/docs/man/${tool}.1 > ${page}
            DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/${tool}.1 VERBATIM)
        list(APPEND ZUVA_MAN_PAGES ${page})
        # bash-completion loads a completion by the command's name: one file serves all three.
        install(FILES ${CMAKE_SOURCE_DIR}/packaging/zuva.bash-completion
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${tool})
    endforeach()
    add_custom_target(man_pages ALL DEPENDS ${ZUVA_MAN_PAGES})
    install(FILES ${ZUVA_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${ZUVA_GUIDE} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_PACKAGE_NAME})
endif()

include(CPack)
