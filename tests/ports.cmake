# Port enumeration: the registry walk runs under Wine against keys the tests create, the
# sysfs walk against a fake tree in a temporary folder (and the machine's own /sys).
if(WIN32)
    zuva_add_gtest(test_ports_registry SOURCES win32/test_ports_registry.cpp
        LIBS zuva_ports LABELS "win32;ports")
    # Runs itself again under each Windows version that Wine can pretend to be.
    zuva_add_gtest(test_ports_version SOURCES win32/test_ports_version.cpp
        LIBS zuva_ports LABELS "win32;ports")
else()
    zuva_add_gtest(test_ports_sysfs SOURCES unit/test_ports_sysfs.cpp
        LIBS zuva_ports LABELS "unit;ports")
endif()
