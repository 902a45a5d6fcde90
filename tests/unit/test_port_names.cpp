// The COM name <-> device node rule shared by the POSIX link and the Linux enumeration.
#include "ports/port_names.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(PortNames, ComNumberFromName) {
    struct Case {
        const char* name;
        int number;
    };
    const Case cases[] = {
        {"COM7", 7},        {"\\\\.\\COM15", 15},
        {"com3", 3},        {"CoM300", 300},
        {"COM", 0},         {"COM0", 0},
        {"COM7x", 0},       {"COM-1", 0},
        {"COM 7", 0},       {"LPT1", 0},
        {"\\\\.\\", 0},     {"/dev/ttyS0", 0},
        {"COM1234567", 0},  {"", 0},
        {"\\\\?\\COM7", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ComNumberFromName(c.name), c.number) << "name " << c.name;
    }
    EXPECT_EQ(ComNumberFromName(nullptr), 0);
}

TEST(PortNames, RangesMapToDeviceNodes) {
    struct Case {
        int number;
        const char* path;
    };
    const Case cases[] = {
        {1, "/dev/ttyS0"},      {100, "/dev/ttyS99"},  {101, "/dev/ttyUSB0"},
        {200, "/dev/ttyUSB99"}, {201, "/dev/ttyACM0"}, {300, "/dev/ttyACM99"},
    };
    char out[32];
    for (const Case& c : cases) {
        ASSERT_EQ(ComNumberToDevicePath(c.number, out, sizeof out), 0) << c.number;
        EXPECT_STREQ(out, c.path);
        EXPECT_EQ(DevicePathToComNumber(c.path), c.number);
    }
    for (int outside : {0, -1, 301}) {
        EXPECT_EQ(ComNumberToDevicePath(outside, out, sizeof out), 1) << outside;
    }
}

TEST(PortNames, EveryNumberSurvivesTheRoundTrip) {
    char out[32];
    for (int n = 1; n <= 300; ++n) {
        ASSERT_EQ(ComNumberToDevicePath(n, out, sizeof out), 0);
        EXPECT_EQ(DevicePathToComNumber(out), n) << out;
    }
}

TEST(PortNames, TooSmallABufferIsRefused) {
    char out[12]; // "/dev/ttyUSB0" needs 13 with its NUL
    EXPECT_EQ(ComNumberToDevicePath(101, out, sizeof out), 1);
    EXPECT_EQ(ComNumberToDevicePath(1, out, sizeof out), 0);
    EXPECT_STREQ(out, "/dev/ttyS0");
}

TEST(PortNames, NameAndSystemPathOfANumber) {
    char name[8] = "";
    char path[12] = "";
    ASSERT_EQ(ComPortName(7, name, sizeof name), 0);
    ASSERT_EQ(ComPortPath(7, path, sizeof path), 0);
    EXPECT_STREQ(name, "COM7");
    EXPECT_STREQ(path, "\\\\.\\COM7");
    EXPECT_EQ(ComNumberFromName(path), 7);
    EXPECT_EQ(ComPortName(0, name, sizeof name), 1);
    EXPECT_EQ(ComPortPath(0, path, sizeof path), 0);       // names no port: the run fails cleanly
    EXPECT_EQ(ComPortPath(1234567, path, sizeof path), 1); // "\\.\COM1234567" needs 15
    EXPECT_EQ(ComPortName(-1, name, sizeof name), 1);
}

TEST(PortNames, NodesOutsideTheRuleHaveNoNumber) {
    for (const char* path : {"/dev/ttyS100", "/dev/ttyUSB", "/dev/ttySAC0", "/dev/pts/3",
                             "/dev/ttyAMA0", "ttyS0", "/dev/ttyS-1"}) {
        EXPECT_EQ(DevicePathToComNumber(path), 0) << path;
    }
    EXPECT_EQ(DevicePathToComNumber(nullptr), 0);
}

} // namespace
