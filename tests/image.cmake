# Image sources and the packer.
zuva_add_gtest(test_hex SOURCES ${CMAKE_CURRENT_LIST_DIR}/unit/test_hex.cpp
    LIBS zuva_image LABELS unit)
zuva_add_gtest(test_embedded SOURCES ${CMAKE_CURRENT_LIST_DIR}/unit/test_embedded.cpp
    LIBS zuva_image LABELS unit)
zuva_add_gtest(test_pack SOURCES ${CMAKE_CURRENT_LIST_DIR}/unit/test_pack.cpp
    LIBS zuva_pack LABELS unit)

# zuva-pack as a process, against HEX and binary files from the ARM toolchain. On the
# Windows lane zuva-pack.exe runs under Wine through the emulator.
add_test(NAME pack_objcopy
    COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/e2e/test_pack_objcopy.sh
        ${CMAKE_CURRENT_BINARY_DIR}/pack_objcopy ${CMAKE_CROSSCOMPILING_EMULATOR}
        $<TARGET_FILE:zuva-pack>)
set_tests_properties(pack_objcopy PROPERTIES LABELS e2e SKIP_RETURN_CODE 77)
