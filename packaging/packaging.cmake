# Packages, made by `cmake --build --preset linux|win32 --target package`: on Linux a
# Debian package of the three command-line tools with their man pages, bash completion, the
# user guide, the copyright file and the changelog; on Windows a zip of the programs with
# the licence, a README.txt and the user guide in plain text beside the Markdown. Name and
# version come from project().

set(CPACK_PACKAGE_NAME zuva-flash)
set(CPACK_PACKAGE_VENDOR "Zuva")
set(ZUVA_MAINTAINER "Zuva FLASH programmer developers <developers@zuva-flash.invalid>")
set(CPACK_PACKAGE_CONTACT "${ZUVA_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "STM32F10x FLASH programmer over the chip's USART bootloader")
# The extended description as Debian wants it: lines of at most 80 characters.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "zuva-flash programs STM32F10x microcontrollers through their system bootloader\n"
    "over a serial port, from the command line, for scripts and production lines.\n"
    "zuva-pack makes one-release updaters from the Windows programmer and a\n"
    "firmware image; zuva-devsim is a virtual bootloader on a pseudo-terminal.")
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
    # A .md file opens as bare text on Windows: the guide also as plain text, and a
    # README.txt that says what each program is.
    find_package(Python3 REQUIRED COMPONENTS Interpreter)
    set(guide_text ${CMAKE_BINARY_DIR}/doc/user-guide.txt)
    add_custom_command(OUTPUT ${guide_text}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/doc
        COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/packaging/guide_text.py
                ${CMAKE_SOURCE_DIR}/docs/user-guide.md ${guide_text}
        DEPENDS ${CMAKE_SOURCE_DIR}/docs/user-guide.md ${CMAKE_SOURCE_DIR}/packaging/guide_text.py
        VERBATIM)
    add_custom_target(guide_text ALL DEPENDS ${guide_text})
    install(FILES ${guide_text} DESTINATION doc)
    configure_file(${CMAKE_SOURCE_DIR}/packaging/README.txt.in ${CMAKE_BINARY_DIR}/README.txt
        @ONLY NEWLINE_STYLE CRLF)
    install(FILES ${CMAKE_BINARY_DIR}/README.txt ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION .)
else()
    include(GNUInstallDirs)
    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    # Completion is loaded by bash-completion, which a minimal system lacks.
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS bash-completion)
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
    set(doc ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_PACKAGE_NAME})
    install(FILES ${ZUVA_GUIDE} DESTINATION ${doc})
    # A native package: the changelog is changelog.gz, compressed as Debian keeps it.
    set(changelog ${CMAKE_BINARY_DIR}/deb/changelog)
    configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in ${changelog} @ONLY)
    add_custom_command(OUTPUT ${changelog}.gz
        COMMAND gzip -9 -n -c ${changelog} > ${changelog}.gz
        DEPENDS ${changelog} VERBATIM)
    add_custom_target(deb_changelog ALL DEPENDS ${changelog}.gz)
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZUVA_MAINTAINER}")
    install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${changelog}.gz DESTINATION ${doc})
endif()

include(CPack)
