# Window tests: the centring arithmetic on every lane; the real dialog driven under Wine.
zuva_add_gtest(test_centring SOURCES unit/test_centring.cpp ${CMAKE_SOURCE_DIR}/ui/centring.cpp
               LABELS unit)

if(WIN32)
    # Real windows in-process: the box's placement and the hook's removal. They move the
    # foreground window, so they run alone.
    add_executable(test_centring_win32 unit/test_centring_win32.cpp
                   ${CMAKE_SOURCE_DIR}/ui/centring.cpp ${CMAKE_SOURCE_DIR}/ui/message_box.cpp)
    target_link_libraries(test_centring_win32 PRIVATE user32 GTest::gtest_main GTest::gtest)
    gtest_discover_tests(test_centring_win32 DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
        PROPERTIES LABELS win32 RUN_SERIAL TRUE)
endif()

# The real window under Wine, driven by a helper program.
if(WIN32)
    add_executable(gui_test_driver win32/gui_driver.cpp ${CMAKE_SOURCE_DIR}/ui/centring.cpp)
    target_link_libraries(gui_test_driver PRIVATE user32 advapi32)

    # The device simulator and packer are Linux programs from the Linux build tree.
    set(ZUVA_GUI_TEST_ENV
        "ZUVA_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
        "ZUVA_BINARY_DIR=${CMAKE_BINARY_DIR}"
        "WINEPREFIX=${ZUVA_WINEPREFIX}")
    foreach(scenario noports normal failure browse abort update update-signed)
        add_test(NAME gui_${scenario}
                 COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/win32/gui_test.sh ${scenario}
                         $<TARGET_FILE:ZuvaFlash> $<TARGET_FILE:gui_test_driver>)
        set_tests_properties(gui_${scenario} PROPERTIES
            RUN_SERIAL TRUE LABELS "win32;gui" TIMEOUT 180 SKIP_RETURN_CODE 77
            ENVIRONMENT "${ZUVA_GUI_TEST_ENV}")
    endforeach()
endif()
