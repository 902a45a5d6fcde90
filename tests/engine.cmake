# Engine tests: the serial link and the bootloader commands against the scripted fake
# (both lanes), the POSIX link over a real pty (Linux), the Win32 link over a pty under
# Wine (win32 lane).
zuva_add_gtest(engine_link_test
    SOURCES unit/test_serial_link.cpp unit/test_bootloader.cpp unit/test_status.cpp
            unit/test_port_names.cpp unit/test_rfc2217.cpp
    LIBS zuva_link zuva_serial_net zuva_fake_serial
    LABELS unit)

if(NOT WIN32)
    zuva_add_gtest(engine_pty_test
        SOURCES e2e/test_serial_pty.cpp
        LIBS zuva_link zuva_serial_sys
        LABELS e2e)
endif()

if(WIN32 AND CMAKE_CROSSCOMPILING)
    # Not discovered like the others: each case needs a fresh pty that the script makes.
    add_executable(engine_serial_win32_test win32/test_serial_win32.cpp)
    target_link_libraries(engine_serial_win32_test PRIVATE zuva_link zuva_serial_sys
        GTest::gtest_main GTest::gtest)
    add_test(NAME win32_serial_pty
        COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/win32/serial-pty-test.sh
                ${CMAKE_CURRENT_SOURCE_DIR}/win32/wine-run.sh ${ZUVA_WINEPREFIX}
                $<TARGET_FILE:engine_serial_win32_test>)
    set_tests_properties(win32_serial_pty PROPERTIES LABELS win32 TIMEOUT 180
        SKIP_RETURN_CODE 77 RESOURCE_LOCK wine_com_ports)
endif()
