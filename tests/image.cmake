# Image sources and the packer.
zuva_add_gtest(test_hex SOURCES ${CMAKE_CURRENT_LIST_DIR}/unit/test_hex.cpp
        ${CMAKE_CURRENT_LIST_DIR}/unit/test_elf.cpp
        ${CMAKE_CURRENT_LIST_DIR}/device/run_files.cpp
    LIBS zuva_image LABELS unit)
zuva_add_gtest(test_plan SOURCES ${CMAKE_CURRENT_LIST_DIR}/unit/test_plan.cpp
        ${CMAKE_CURRENT_LIST_DIR}/device/run_files.cpp
        ${CMAKE_CURRENT_LIST_DIR}/device/special_files_${ZUVA_PLATFORM}.cpp
    LIBS zuva_image LABELS unit)
zuva_add_gtest(test_description SOURCES ${CMAKE_CURRENT_LIST_DIR}/unit/test_description.cpp
    LIBS zuva_image LABELS unit)
zuva_add_gtest(test_embedded SOURCES ${CMAKE_CURRENT_LIST_DIR}/unit/test_embedded.cpp
    LIBS zuva_engine zuva_fake_serial LABELS unit)
zuva_add_gtest(test_pack SOURCES ${CMAKE_CURRENT_LIST_DIR}/unit/test_pack.cpp
        ${CMAKE_CURRENT_LIST_DIR}/device/run_files.cpp
        ${CMAKE_CURRENT_LIST_DIR}/device/special_files_${ZUVA_PLATFORM}.cpp
    ${CMAKE_CURRENT_LIST_DIR}/unit/test_pack_output_${ZUVA_PLATFORM}.cpp
    LIBS zuva_pack LABELS unit)
if(WIN32)
    zuva_add_gtest(test_input_win32 SOURCES ${CMAKE_CURRENT_LIST_DIR}/unit/test_input_win32.cpp
        LIBS zuva_image LABELS unit)
endif()

# zuva-pack as a process, against HEX and binary files from the ARM toolchain. On the
# Windows lane zuva-pack.exe runs under Wine through the emulator.
add_test(NAME pack_objcopy
    COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/e2e/test_pack_objcopy.sh
        ${CMAKE_CURRENT_BINARY_DIR}/pack_objcopy ${CMAKE_CROSSCOMPILING_EMULATOR}
        $<TARGET_FILE:zuva-pack>)
set_tests_properties(pack_objcopy PROPERTIES LABELS e2e SKIP_RETURN_CODE 77)

# Updaters signed by osslsigncode, read by zuva-pack and programmed by zuva-flash (Linux).
if(NOT CMAKE_CROSSCOMPILING AND TARGET zuva-devsim AND TARGET zuva-flash)
    add_test(NAME signed_updater
        COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/e2e/test_signed_updater.sh
                ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
    set_tests_properties(signed_updater PROPERTIES LABELS e2e TIMEOUT 120)
endif()

# A short libFuzzer run of the HEX reader and the embedded image loader (fuzz/run.sh builds
# them with clang; longer runs: fuzz/run.sh DIR SECONDS). Linux lane only.
if(NOT CMAKE_CROSSCOMPILING AND NOT ZUVA_SANITIZE)
    find_program(ZUVA_CLANGXX clang++)
    if(ZUVA_CLANGXX)
        add_test(NAME fuzz_image_smoke
            COMMAND sh ${CMAKE_SOURCE_DIR}/fuzz/run.sh ${CMAKE_BINARY_DIR}/fuzz -runs=20000)
        set_tests_properties(fuzz_image_smoke PROPERTIES LABELS fuzz TIMEOUT 600
            ENVIRONMENT "CXX_FUZZ=${ZUVA_CLANGXX}")
    endif()
endif()
