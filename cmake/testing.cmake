# GoogleTest for both lanes. Linux uses Debian's prebuilt libgtest; the MinGW lane builds
# it from Debian's googletest sources. Windows tests run under Wine through the emulator.
include(GoogleTest)
if(CMAKE_CROSSCOMPILING)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    target_compile_options(gtest PRIVATE -w)
    target_compile_options(gtest_main PRIVATE -w)
    set(ZUVA_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/tests/win32/wine-run.sh ${ZUVA_WINEPREFIX})
else()
    find_package(GTest REQUIRED)
endif()

# zuva_add_gtest(NAME SOURCES source... LIBS lib... LABELS label): one GoogleTest
# executable, its cases discovered at test time (no Wine at build time). One label only:
# a list would be split into the property pairs.
function(zuva_add_gtest name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest_main GTest::gtest)
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
        PROPERTIES LABELS "${ARG_LABELS}")
endfunction()
