// Runs with options (the command line's) against the device model hosted in-process: how
// the run ends, the boot pins around it, what the report tells, and that a stop sends
// nothing more.
#include "engine/program.h"
#include "engine/serial.h"
#include "engine/status.h"
#include "tests/device/run_files.h"
#include "tests/fakes/fake_device.h"
#include "tests/fakes/fake_serial.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

bool stopAfterProgress = false;
bool stopInVerify = false;
int progressSeen = 0;
std::vector<int> verifyReports;

int OnStatus(int kind, intptr_t value) {
    if (kind == Progress) {
        ++progressSeen;
    } else if (kind == Verify) {
        verifyReports.push_back(static_cast<int>(value));
    }
    bool stop =
        (stopAfterProgress && progressSeen > 3) || (stopInVerify && verifyReports.size() > 3);
    return stop ? 1 : 0;
}

class OptionsRun : public ::testing::Test {
  protected:
    void SetUp() override {
        ClosePort();
        FakeReset();
        stopAfterProgress = false;
        stopInVerify = false;
        progressSeen = 0;
        verifyReports.clear();
        SetStatusCallback(OnStatus);
        image = PatternBytes(3000);
        path = WriteScratchFile("fw.bin", image);
    }
    void TearDown() override {
        FakeDeviceDetach();
        EXPECT_FALSE(PortIsOpen());
        ClosePort();
        FakeReset();
        RemoveScratch();
    }
    // Attaches a fresh model unless keep is set (a second run on the same device).
    ResultCode Run(bool keep = false) {
        if (!keep) {
            EXPECT_EQ(FakeDeviceAttach(config), 0);
        }
        return ProgramDevice(path.c_str(), "bin", "\\\\.\\COM4", options, &report);
    }
    bool FlashHoldsImage() {
        const std::vector<uint8_t>& flash = DevFlash();
        return std::equal(image.begin(), image.end(), flash.begin());
    }

    DevConfig config;
    RunOptions options;
    RunReport report;
    std::vector<uint8_t> image;
    std::string path;
};

TEST_F(OptionsRun, TheOptionsDecideHowTheChipIsLeft) {
    const struct {
        const char* name;
        bool protect;
        bool go;
        bool readoutProtected;
        uint32_t writeProtected;
        bool running;
    } cases[] = {
        {"protected", true, false, true, 0xFFFF, false},
        {"no-protect", false, false, false, 0, false},
        {"no-protect, go", false, true, false, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        options.protect = c.protect;
        options.go = c.go;
        ASSERT_EQ(Run(), kResultOk);
        DevState s = DevGetState();
        EXPECT_EQ(s.readoutProtected, c.readoutProtected);
        EXPECT_EQ(s.writeProtected, c.writeProtected);
        EXPECT_EQ(s.running, c.running);
        EXPECT_TRUE(FlashHoldsImage());
        EXPECT_EQ(report.productId, 0x410);
        EXPECT_EQ(report.imageBytes, image.size());
    }
    // Go went to the FLASH base.
    EXPECT_NE(FakeTranscript().find(">21DE <79 >0800000008 <79"), std::string::npos);
}

// The plan of 3000 bytes: twelve blocks, the last one 184 bytes.
TEST_F(OptionsRun, VerifyPassesAGoodRunWhichThenEndsProtected) {
    options.verify = true;
    ASSERT_EQ(Run(), kResultOk);
    EXPECT_TRUE(FlashHoldsImage());
    EXPECT_TRUE(DevGetState().readoutProtected);
    size_t reads = 0;
    for (const DevFrame& f : DevTranscript()) {
        reads += f.note.rfind("Read Memory", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(reads, 13u); // the size register and unique ID, then the twelve blocks
    ASSERT_EQ(verifyReports.size(), 13u);
    EXPECT_EQ(verifyReports.front(), 1);
    EXPECT_EQ(verifyReports.back(), 101);
}

TEST_F(OptionsRun, VerifyCatchesAWriteTheChipDropped) {
    options.verify = true;
    config.dropWrite = 3;
    ASSERT_EQ(Run(), kResultVerifyFailed);
    EXPECT_EQ(report.mismatchAddress, 0x08000200u);
    EXPECT_EQ(report.expected, image[0x200]);
    EXPECT_EQ(report.found, 0xFF);
    DevState s = DevGetState();
    EXPECT_FALSE(s.readoutProtected); // a second run can mend it
    EXPECT_EQ(s.writeProtected, 0u);
    // And a second run on the same chip does (the write it dropped was its third).
    ASSERT_EQ(Run(true), kResultOk);
    EXPECT_TRUE(FlashHoldsImage());
}

TEST_F(OptionsRun, AStopDuringTheReadBackSendsNothingMore) {
    options.verify = true;
    stopInVerify = true;
    EXPECT_EQ(Run(), kResultCantProtect);
    for (const DevFrame& f : DevTranscript()) {
        EXPECT_EQ(f.note.find("Write Protect"), std::string::npos) << "protection was tried";
    }
}

TEST_F(OptionsRun, BootPinsFrameTheRun) {
    options.boot.boot0 = PinWiring{true, ModemLine::Rts, false};
    options.boot.reset = PinWiring{true, ModemLine::Dtr, true};
    ASSERT_EQ(Run(), kResultOk);
    const std::string& t = FakeTranscript();
    // BOOT0 high, reset low for the pulse, released, start-up awaited; then the sync.
    EXPECT_EQ(t.find("open configure timeouts(100,1000) rts+ dtr+ ~20 dtr- ~50 ~100 >7F"), 0u) << t;
    // After success: BOOT0 low and another pulse, so the new firmware starts.
    EXPECT_NE(t.find("rts- dtr+ ~20 dtr- ~50 close"), std::string::npos) << t;
}

TEST_F(OptionsRun, APortWithoutModemLinesSendsNothing) {
    options.boot.reset = PinWiring{true, ModemLine::Dtr, false};
    FakeFailModemLines();
    EXPECT_EQ(Run(), kResultCantOpenPort);
    EXPECT_FALSE(report.modemLines);
    EXPECT_TRUE(FakeWrittenBytes().empty());
}

TEST_F(OptionsRun, TheReportTellsWhatWasFound) {
    FakeFailOpen();
    FakeSetLastError(13);
    EXPECT_EQ(Run(), kResultCantOpenPort);
    EXPECT_EQ(report.portError, 13);
    FakeFailOpen(false);

    config.productId = 0x413;
    EXPECT_EQ(Run(), kResultNotPresent);
    EXPECT_TRUE(report.answered);
    EXPECT_EQ(report.productId, 0x413);

    config = DevConfig{};
    config.faults.push_back(DevFault{kDevFaultSync, 0, DevFaultKind::Silent, 1});
    EXPECT_EQ(Run(), kResultNotPresent);
    EXPECT_FALSE(report.answered);
}

TEST_F(OptionsRun, TheRateReachesTheLine) {
    options.line.baudRate = 57600;
    ASSERT_EQ(Run(), kResultOk);
    EXPECT_EQ(FakeGetCounts().baudRate, 57600u);
}

TEST_F(OptionsRun, AStoppedRunSendsNothingMoreAndTheNextOneSucceeds) {
    stopAfterProgress = true;
    EXPECT_EQ(Run(), kResultCantProtect);
    size_t sent = FakeWrittenBytes().size();
    for (const DevFrame& f : DevTranscript()) {
        EXPECT_EQ(f.note.find("Write Protect"), std::string::npos) << "protection was tried";
    }
    // The same device, not reset: the next run finds it where this one left it.
    stopAfterProgress = false;
    ClosePort();
    EXPECT_EQ(Run(true), kResultOk);
    EXPECT_GT(FakeWrittenBytes().size(), sent);
    EXPECT_TRUE(FlashHoldsImage());
    EXPECT_TRUE(DevGetState().readoutProtected);
}

} // namespace
