// The run's early ways out against a scripted line: what is opened, what is sent, and
// that the port and the file are released on each of them.
#include "engine/program.h"
#include "engine/serial.h"
#include "engine/status.h"
#include "tests/device/run_files.h"
#include "tests/fakes/fake_serial.h"

#include <gtest/gtest.h>

namespace {

class RunEarlyExit : public ::testing::Test {
  protected:
    void SetUp() override {
        ClosePort();
        FakeReset();
        SetStatusCallback(nullptr);
        image = WriteScratchFile("image.bin", PatternBytes(512));
        freeFd = LowestFreeFd();
    }
    void TearDown() override {
        EXPECT_FALSE(PortIsOpen());
        EXPECT_EQ(LowestFreeFd(), freeFd) << "the run left a file open";
        EXPECT_EQ(FakeGetCounts().strayCalls, 0);
        ClosePort();
        FakeReset();
        RemoveScratch();
    }
    std::string image;
    int freeFd = -1;
};

TEST_F(RunEarlyExit, UnknownExtensionTouchesNoPort) {
    for (const char* ext : {"Bin", "Hex", "Exe", "enc", "", "bIn"}) {
        EXPECT_EQ(ProgramDevice(image.c_str(), ext, "\\\\.\\COM3"), kResultInvalidFormat) << ext;
    }
    EXPECT_EQ(FakeGetCounts().openTries, 0);
    EXPECT_EQ(FakeTranscript(), "");
}

TEST_F(RunEarlyExit, PortThatCannotBeOpened) {
    FakeFailOpen();
    EXPECT_EQ(ProgramDevice(image.c_str(), "bin", "\\\\.\\COM3"), kResultCantOpenPort);
    EXPECT_EQ(FakeGetCounts().openTries, 1);
    EXPECT_EQ(FakeGetCounts().openPath, "\\\\.\\COM3");
    EXPECT_TRUE(FakeWrites().empty());
}

TEST_F(RunEarlyExit, PortOpenedButNotConfiguredIsReleased) {
    FakeFailConfigure();
    EXPECT_EQ(ProgramDevice(image.c_str(), "bin", "\\\\.\\COM3"), kResultCantOpenPort);
    EXPECT_EQ(FakeGetCounts().opens, 1);
    EXPECT_EQ(FakeGetCounts().closes, 1);
    EXPECT_TRUE(FakeWrites().empty());
}

TEST_F(RunEarlyExit, RefusedTimeoutsReleaseThePort) {
    FakeFailTimeouts();
    EXPECT_EQ(ProgramDevice(image.c_str(), "hex", "\\\\.\\COM3"), kResultCantOpenPort);
    EXPECT_EQ(FakeGetCounts().closes, 1);
    EXPECT_TRUE(FakeWrites().empty());
}

TEST_F(RunEarlyExit, MissingFileClosesThePortUnused) {
    std::string missing = (ScratchDir() / "absent.bin").string();
    EXPECT_EQ(ProgramDevice(missing.c_str(), "bin", "\\\\.\\COM3"), kResultCantOpenFile);
    EXPECT_EQ(FakeGetCounts().opens, 1);
    EXPECT_EQ(FakeGetCounts().closes, 1);
    EXPECT_TRUE(FakeWrites().empty());
}

// Silence: the run tries every state a bootloader may be in (waiting for its sync byte,
// synchronised, inside a command), and sends nothing else.
TEST_F(RunEarlyExit, SilentDeviceIsNotPresent) {
    EXPECT_EQ(ProgramDevice(image.c_str(), "bin", "\\\\.\\COM3"), kResultNotPresent);
    std::vector<uint8_t> expected = {0x7F, 0x7F};
    expected.insert(expected.end(), 127, 0xFF);
    expected.insert(expected.end(), {0x00, 0x7F, 0x7F});
    EXPECT_EQ(FakeWrittenBytes(), expected);
    EXPECT_EQ(FakeSleeps(), (std::vector<uint32_t>{100, 13}));
    EXPECT_EQ(FakeGetCounts().closes, 1);
}

// A NACK says that a bootloader listens; one that then gives no product ID is not there.
TEST_F(RunEarlyExit, SyncAnsweredWithNackIsAskedForItsIdOnce) {
    FakeQueueRead({0x1F});
    EXPECT_EQ(ProgramDevice(image.c_str(), "bin", "\\\\.\\COM3"), kResultNotPresent);
    EXPECT_EQ(FakeTranscript(), "open configure timeouts(100,1000) ~100 >7F <1F >02FD "
                                "<. <. <. <. <. close");
}

TEST_F(RunEarlyExit, WrongProductIdStopsBeforeUnprotecting) {
    FakeQueueRead({0x79});
    FakeQueueRead({0x79, 0x01, 0x04, 0x13, 0x79});
    EXPECT_EQ(ProgramDevice(image.c_str(), "bin", "\\\\.\\COM3"), kResultNotPresent);
    EXPECT_EQ(FakeWrittenBytes(), (std::vector<uint8_t>{0x7F, 0x02, 0xFD}));
}

} // namespace
