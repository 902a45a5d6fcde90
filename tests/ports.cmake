# Port enumeration: the registry walk runs under Wine against keys the tests create, the
# sysfs walk against a fake tree in a temporary folder (and the machine's own /sys).
if(WIN32)
    # The walk with the tests' registry access: a root and a version of their choosing,
    # and counts of every key and buffer taken and given back.
    add_library(zuva_ports_faked STATIC ${CMAKE_SOURCE_DIR}/ports/ports_win32.cpp
        win32/registry_fake.cpp)
    target_link_libraries(zuva_ports_faked PUBLIC advapi32)
    zuva_add_gtest(test_ports_registry SOURCES win32/test_ports_registry.cpp
        LIBS zuva_ports_faked LABELS win32)
    # The product's own registry access, under Wine's version settings.
    zuva_add_gtest(test_ports_version SOURCES win32/test_ports_version.cpp
        LIBS zuva_ports LABELS win32)
else()
    zuva_add_gtest(test_ports_sysfs SOURCES unit/test_ports_sysfs.cpp
        LIBS zuva_ports LABELS unit)
endif()
