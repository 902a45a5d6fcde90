# The programming run: result texts and the extension rule, early exits against a scripted
# line, and whole runs against the device model hosted in-process. Both lanes.
set(ZUVA_RUN_HELPERS ${CMAKE_CURRENT_LIST_DIR}/device/run_files.cpp
    ${CMAKE_CURRENT_LIST_DIR}/device/special_files_${ZUVA_PLATFORM}.cpp)

if(TARGET zuva_fake_serial)
    zuva_add_gtest(test_program_texts
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/device/test_program_texts.cpp
        LIBS zuva_engine zuva_fake_serial
        LABELS unit)
    zuva_add_gtest(test_program_scripted
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/device/test_program_scripted.cpp ${ZUVA_RUN_HELPERS}
        LIBS zuva_engine zuva_fake_serial
        LABELS device)
endif()

if(TARGET zuva_fake_serial AND TARGET zuva_fake_device)
    zuva_add_gtest(test_program_device
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/device/test_program_device.cpp ${ZUVA_RUN_HELPERS}
        LIBS zuva_engine zuva_fake_serial zuva_fake_device
        LABELS device)
endif()

if(TARGET zuva_fake_serial AND TARGET zuva_fake_device)
    zuva_add_gtest(test_program_options
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/device/test_program_options.cpp ${ZUVA_RUN_HELPERS}
        LIBS zuva_engine zuva_fake_serial zuva_fake_device
        LABELS device)
endif()

if(TARGET zuva_fake_serial AND TARGET zuva_fake_device)
    zuva_add_gtest(test_program_bench
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/device/test_program_bench.cpp ${ZUVA_RUN_HELPERS}
        LIBS zuva_engine zuva_fake_serial zuva_fake_device
        LABELS device)
endif()
