// The Win32 serial link for real: run by serial-pty-test.sh under Wine, one case per fresh
// pty (a pty refuses a second 8E1 configuration), with the port's far end echoing every
// byte back. ZUVA_TEST_COM names the port number that the script linked to the pty.
#include "engine/serial.h"
#include "engine/status.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

int PortNumber() {
    const char* text = std::getenv("ZUVA_TEST_COM");
    return text != nullptr ? std::atoi(text) : 0;
}

std::string DevicePath() {
    return "\\\\.\\COM" + std::to_string(PortNumber());
}

// Elapsed milliseconds of one call.
template <typename F> DWORD Timed(F call) {
    DWORD start = GetTickCount();
    call();
    return GetTickCount() - start;
}

std::vector<uint8_t> AllByteValues() {
    std::vector<uint8_t> bytes(256);
    for (int i = 0; i < 256; ++i) {
        bytes[i] = static_cast<uint8_t>(i);
    }
    return bytes;
}

class Win32SerialPty : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_GT(PortNumber(), 9) << "run through tests/win32/serial-pty-test.sh";
        SetStatusCallback(nullptr);
    }
    void TearDown() override { ClosePort(); }
};

TEST_F(Win32SerialPty, EveryByteValueEchoesBack) {
    ASSERT_TRUE(OpenPort(DevicePath().c_str()));
    const std::vector<uint8_t> bytes = AllByteValues();
    EXPECT_EQ(PortWrite(bytes.data(), 256), 256);
    std::vector<uint8_t> got(256);
    EXPECT_EQ(PortRead(got.data(), 256, 10), 256);
    EXPECT_EQ(got, bytes);
}

TEST_F(Win32SerialPty, ABareComNameOpensThroughTheDeviceNamespace) {
    std::string bare = "COM" + std::to_string(PortNumber());
    ASSERT_TRUE(OpenPort(bare.c_str()));
    const uint8_t sync = 0x7F;
    EXPECT_EQ(PortWrite(&sync, 1), 1);
    uint8_t byte = 0;
    EXPECT_EQ(PortRead(&byte, 1, 5), 1);
    EXPECT_EQ(byte, sync);
}

// Time windows are generous: they tell "waited the read constant" from "did not wait".
TEST_F(Win32SerialPty, AnEmptyAttemptWaitsTheReadConstant) {
    ASSERT_TRUE(OpenPort(DevicePath().c_str()));
    uint8_t byte = 0;
    int32_t got = -2;
    DWORD ms = Timed([&] { got = PortRead(&byte, 1, 1); });
    EXPECT_EQ(got, 0);
    EXPECT_GE(ms, 80u);
    EXPECT_LE(ms, 400u);
    ms = Timed([&] { got = PortRead(&byte, 1, 3); });
    EXPECT_EQ(got, 0);
    EXPECT_GE(ms, 280u);
    EXPECT_LE(ms, 1000u);
}

TEST_F(Win32SerialPty, AWaitingByteReturnsAtOnce) {
    ASSERT_TRUE(OpenPort(DevicePath().c_str()));
    const uint8_t ack = 0x79;
    ASSERT_EQ(PortWrite(&ack, 1), 1);
    Sleep(50); // the echo is waiting now
    uint8_t byte = 0;
    int32_t got = -2;
    DWORD ms = Timed([&] { got = PortRead(&byte, 1, 1); });
    EXPECT_EQ(got, 1);
    EXPECT_EQ(byte, ack);
    EXPECT_LT(ms, 80u);
}

// As another program may leave a port: 9600 with RTS/CTS and XON/XOFF. While the link holds
// it the line is 115200 without flow control; its close gives the old settings back (the
// script reads the line from the Linux side after this case, with stty). Wine opens a COM
// port more than once, so a second handle watches.
TEST_F(Win32SerialPty, OpenConfiguresTheLineAndCloseGivesTheOldOneBack) {
    HANDLE watch = CreateFileA(DevicePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(watch, INVALID_HANDLE_VALUE);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(watch, &dcb));
    dcb.BaudRate = 9600;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fOutX = TRUE;
    dcb.fInX = TRUE;
    ASSERT_TRUE(SetCommState(watch, &dcb));

    EXPECT_TRUE(OpenPort(DevicePath().c_str()));
    DCB open{};
    open.DCBlength = sizeof open;
    ASSERT_TRUE(GetCommState(watch, &open));
    EXPECT_EQ(open.BaudRate, 115200u);
    EXPECT_FALSE(open.fOutxCtsFlow);
    EXPECT_NE(open.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
    EXPECT_FALSE(open.fOutX);
    EXPECT_FALSE(open.fInX);

    ClosePort();
    DCB after{};
    after.DCBlength = sizeof after;
    ASSERT_TRUE(GetCommState(watch, &after));
    EXPECT_EQ(after.BaudRate, 9600u);
    EXPECT_TRUE(after.fOutxCtsFlow);
    EXPECT_TRUE(after.fOutX);
    CloseHandle(watch);
}

TEST_F(Win32SerialPty,
       AMissingPortIsRefused) { // One number above the linked port: no dosdevices link there.
    std::string missing = "\\\\.\\COM" + std::to_string(PortNumber() + 1);
    EXPECT_FALSE(OpenPort(missing.c_str()));
    EXPECT_FALSE(PortIsOpen());
}

} // namespace
