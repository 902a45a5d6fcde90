# Port enumeration: the registry walk runs under Wine against keys the tests create, the
# sysfs walk against a fake tree in a temporary folder (and the machine's own /sys).
if(WIN32)
    foreach(name test_ports_registry test_ports_version)
        if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/win32/${name}.cpp)
            zuva_add_gtest(${name} SOURCES win32/${name}.cpp LIBS zuva_ports LABELS win32)
        endif()
    endforeach()
else()
    zuva_add_gtest(test_ports_sysfs SOURCES unit/test_ports_sysfs.cpp
        LIBS zuva_ports LABELS unit)
endif()
