# Engine tests: the serial link and the bootloader commands against the scripted fake
# (both lanes), the POSIX link over a real pty (Linux), the Win32 link over a pty under
# Wine (win64 lane).
zuva_add_gtest(engine_link_test
    SOURCES unit/test_serial_link.cpp unit/test_bootloader.cpp unit/test_status.cpp
            unit/test_port_names.cpp
    LIBS zuva_link zuva_fake_serial
    LABELS unit)

if(NOT WIN32)
    zuva_add_gtest(engine_pty_test
        SOURCES e2e/test_serial_pty.cpp
        LIBS zuva_link zuva_serial_sys
        LABELS e2e)
endif()
