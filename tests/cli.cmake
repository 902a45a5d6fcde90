# zuva-flash: its pure parts in-process (both lanes), then the program end to end.
zuva_add_gtest(test_cli_args
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/e2e/test_cli_args.cpp
    LIBS zuva_cli zuva_serial_sys
    LABELS unit)

# End to end on Linux: the program against zuva-devsim over a pty, one simulator per case.
if(NOT CMAKE_CROSSCOMPILING AND TARGET zuva-devsim AND TARGET zuva-pack)
    foreach(case raw-64k com-name auto-port progress-bar toolchain-hex updater failure-classes
                 local-failures ctrl-c fd-leaks raw-sizes srec-hex toolchain-formats refused-files updater-tail
                 stop-signals lost-output hostile-description tty-restored devsim-outputs
                 bench-options usage-sends-nothing recovery messages verify dry-run
                 quiet-verbose chip-bounds port-errors talking-board read-back
                 read-refused)
        add_test(NAME cli_e2e.${case}
            COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/e2e/test_cli_devsim.sh
                    ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR} ${case})
        set_tests_properties(cli_e2e.${case} PROPERTIES LABELS e2e TIMEOUT 120 SKIP_RETURN_CODE 77)
    endforeach()
endif()

# Ports on a serial port server: a real ser2net (started and stopped by the test) in front
# of zuva-devsim, over rfc2217:// and socket://.
if(NOT CMAKE_CROSSCOMPILING AND TARGET zuva-devsim)
    foreach(case schemes baud gang unreachable connect-timeout silent closing settings lost ctrl-c
                 usage)
        add_test(NAME cli_ser2net.${case}
            COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/e2e/test_ser2net.sh
                    ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR} ${case})
        set_tests_properties(cli_ser2net.${case} PROPERTIES LABELS e2e TIMEOUT 120)
    endforeach()
endif()

# A Wine test of the tools against the Linux zuva-devsim through dosdevices COM links:
# win32/SCRIPT WINE_RUN PREFIX ARGN... SOURCE_DIR. The COM names are shared by all of them.
function(zuva_add_wine_com_test name script timeout)
    add_test(NAME ${name}
        COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/win32/${script}
                ${CMAKE_CURRENT_LIST_DIR}/win32/wine-run.sh ${ZUVA_WINEPREFIX}
                ${ARGN} ${CMAKE_SOURCE_DIR})
    set_tests_properties(${name} PROPERTIES LABELS win32 TIMEOUT ${timeout}
        SKIP_RETURN_CODE 77 RESOURCE_LOCK wine_com_ports)
endfunction()

# Under Wine: zuva-flash.exe against the Linux zuva-devsim through dosdevices COM links.
if(WIN32 AND CMAKE_CROSSCOMPILING AND TARGET zuva-pack)
    if(TARGET ZuvaFlash)
        set(ZUVA_GUI_EXE $<TARGET_FILE:ZuvaFlash>)
    else()
        set(ZUVA_GUI_EXE none)
    endif()
    zuva_add_wine_com_test(cli_wine_devsim test_cli_wine.sh 300
        $<TARGET_FILE:zuva-flash> $<TARGET_FILE:zuva-pack> ${ZUVA_GUI_EXE})
    zuva_add_wine_com_test(cli_wine_plan test_plan_wine.sh 300 $<TARGET_FILE:zuva-flash>)
endif()

# Under Wine: file names outside the ANSI code page and a Windows-1252 description.
if(WIN32 AND CMAKE_CROSSCOMPILING AND TARGET zuva-pack)
    zuva_add_wine_com_test(names_wine test_names_wine.sh 120
        $<TARGET_FILE:zuva-flash> $<TARGET_FILE:zuva-pack>)
endif()

zuva_add_gtest(test_cli_gang
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/e2e/test_cli_gang.cpp
    LIBS zuva_cli zuva_serial_sys
    LABELS unit)

# Several ports in one call, each a zuva-devsim of its own; the JSON lines read by python3.
if(NOT CMAKE_CROSSCOMPILING AND TARGET zuva-devsim)
    foreach(case all-good one-fails ctrl-c)
        add_test(NAME cli_gang.${case}
            COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/e2e/test_gang_devsim.sh
                    ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR} ${case})
        set_tests_properties(cli_gang.${case} PROPERTIES LABELS e2e TIMEOUT 120)
    endforeach()
endif()

# A production line: zuva-devsim boards swapped in and out, zuva-flash --loop with serial
# numbers and a log.
if(NOT CMAKE_CROSSCOMPILING AND TARGET zuva-devsim)
    foreach(case three-boards gang failing-board port-gone ctrl-c)
        add_test(NAME cli_line.${case}
            COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/e2e/test_line_devsim.sh
                    ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR} ${case})
        set_tests_properties(cli_line.${case} PROPERTIES LABELS e2e TIMEOUT 120)
    endforeach()
endif()

# Under Wine: zuva-flash.exe through a real ser2net (Winsock), the boards Linux zuva-devsims.
if(WIN32 AND CMAKE_CROSSCOMPILING)
    zuva_add_wine_com_test(cli_ser2net_wine test_ser2net_wine.sh 300 $<TARGET_FILE:zuva-flash>)
endif()

# Under Wine: three COM ports at once, the children started through CreateProcessW.
if(WIN32 AND CMAKE_CROSSCOMPILING)
    zuva_add_wine_com_test(cli_gang_wine test_gang_wine.sh 120 $<TARGET_FILE:zuva-flash>)
    zuva_add_wine_com_test(cli_line_wine test_line_wine.sh 240 $<TARGET_FILE:zuva-flash>)
endif()
