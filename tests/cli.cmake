# zuva-flash: its pure parts in-process (both lanes), then the program end to end.
zuva_add_gtest(test_cli_args
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/e2e/test_cli_args.cpp
    LIBS zuva_cli zuva_serial_sys
    LABELS unit)
