# The command-line tools as a user meets them (Linux): the conventions they share, and the
# Debian package that installs them.
if(NOT CMAKE_CROSSCOMPILING AND TARGET zuva-devsim AND TARGET zuva-pack)
    add_test(NAME tools_agree
        COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/e2e/test_tools_agree.sh
                ${CMAKE_BINARY_DIR} ${PROJECT_VERSION})
    set_tests_properties(tools_agree PROPERTIES LABELS e2e TIMEOUT 60)

    find_program(ZUVA_DPKG_DEB dpkg-deb)
    if(ZUVA_DPKG_DEB)
        add_test(NAME package_deb
            COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/e2e/test_package.sh
                    ${CMAKE_BINARY_DIR} ${PROJECT_VERSION})
        set_tests_properties(package_deb PROPERTIES LABELS e2e TIMEOUT 300)
    endif()
endif()

# Under Wine: signed updaters read by zuva-pack.exe and programmed by zuva-flash.exe.
if(WIN32 AND CMAKE_CROSSCOMPILING AND TARGET zuva-pack AND TARGET ZuvaFlash)
    zuva_add_wine_com_test(signed_wine test_signed_wine.sh 300
        $<TARGET_FILE:zuva-flash> $<TARGET_FILE:zuva-pack> $<TARGET_FILE:ZuvaFlash>)
endif()
