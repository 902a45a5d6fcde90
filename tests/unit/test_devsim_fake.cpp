// The device model behind the fake link, driven by the real bootloader commands: the
// in-process device that the programming-run tests build on.
#include <gtest/gtest.h>

#include <vector>

#include "engine/bootloader.h"
#include "engine/serial.h"
#include "tests/fakes/fake_device.h"
#include "tests/fakes/fake_serial.h"

namespace {

class FakeDevice : public ::testing::Test {
  protected:
    DevConfig config;
    void Attach() {
        FakeReset();
        ASSERT_EQ(FakeDeviceAttach(config), 0);
        ASSERT_TRUE(OpenPort("\\\\.\\COM7"));
    }
    void TearDown() override {
        ClosePort();
        FakeDeviceDetach();
        FakeReset();
    }
};

TEST_F(FakeDevice, AWholeProtectedDeviceCycleThroughTheBootloaderCommands) {
    config.readoutProtected = true;
    config.writeProtected = 0xFFFFFFFF;
    config.flashImage = std::vector<uint8_t>(4096, 0x00);
    Attach();
    EXPECT_EQ(FakeDeviceOpens(), 1u);
    ASSERT_TRUE(BlSync());
    ASSERT_TRUE(BlGetId());
    ASSERT_TRUE(BlReadoutUnprotect());
    ASSERT_TRUE(BlWriteUnprotect());
    ASSERT_TRUE(BlEraseAll());
    std::vector<uint8_t> block(256);
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = uint8_t(i ^ 0xA5);
    }
    ASSERT_TRUE(BlWriteMemory(0x08000100, block.data(), 256));
    ASSERT_TRUE(BlWriteProtect());
    ASSERT_TRUE(BlReadoutProtect());

    DevState s = DevGetState();
    EXPECT_TRUE(s.readoutProtected);
    EXPECT_EQ(s.writeProtected, 0x0000FFFFu);
    EXPECT_FALSE(s.synced);
    EXPECT_EQ(s.counters.syncs, 4u);
    EXPECT_EQ(s.counters.blocksWritten, 1u);
    const std::vector<uint8_t>& flash = DevFlash();
    EXPECT_EQ(std::vector<uint8_t>(flash.begin() + 0x100, flash.begin() + 0x200), block);
    EXPECT_EQ(flash[0], 0xFF);
    // Four syncs each pause 100 ms; nothing else costs model time with timing off.
    EXPECT_EQ(FakeDeviceNowUs(), 400000u);
}

TEST_F(FakeDevice, ProtectedDeviceRefusesEraseUntilUnprotected) {
    config.readoutProtected = true;
    Attach();
    ASSERT_TRUE(BlSync());
    EXPECT_FALSE(BlEraseAll());
    EXPECT_FALSE(BlWriteUnprotect());
}

TEST_F(FakeDevice, SilenceCostsFiveEmptyReadsOfModelTime) {
    DevFault f;
    ASSERT_EQ(DevParseFault("get-id", DevFaultKind::Silent, &f), 0);
    config.faults.push_back(f);
    Attach();
    ASSERT_TRUE(BlSync());
    uint64_t before = FakeDeviceNowUs();
    EXPECT_FALSE(BlGetId());
    EXPECT_EQ(FakeDeviceNowUs() - before, 500000u);
}

TEST_F(FakeDevice, ADyingLinkFailsTheReadAttempts) {
    config.dieInBlock = 1;
    Attach();
    ASSERT_TRUE(BlSync());
    std::vector<uint8_t> block(256, 0x11);
    EXPECT_FALSE(BlWriteMemory(0x08000000, block.data(), 256));
    uint8_t b;
    EXPECT_EQ(PortRead(&b, 1, 5), -1);
}

TEST_F(FakeDevice, TimingModeCountsWireAndProgrammingTime) {
    config.timing = true;
    Attach();
    ASSERT_TRUE(BlSync());
    std::vector<uint8_t> block(256, 0x5A);
    uint64_t before = FakeDeviceNowUs();
    ASSERT_TRUE(BlWriteMemory(0x08000000, block.data(), 256));
    uint64_t us = FakeDeviceNowUs() - before;
    // 265 bytes in, 3 ACKs out, 128 half-words: about 32 ms.
    EXPECT_GT(us, 30000u);
    EXPECT_LT(us, 34000u);
    ASSERT_TRUE(BlWriteUnprotect()); // its re-sync waits out the start-up after reset
}

// Whatever state an earlier run left the bootloader in (the bytes it sent before it
// stopped), the next contact finds it listening, and nothing in FLASH or the options moved.
TEST_F(FakeDevice, ContactAfterAnEarlierRunStoppedAnywhere) {
    const struct {
        const char* state;
        std::vector<uint8_t> sent;
    } cases[] = {
        {"synchronised", {0x7F}},
        {"after Get ID's first byte", {0x7F, 0x02}},
        {"Write Memory, address taken", {0x7F, 0x31, 0xCE, 0x08, 0x00, 0x00, 0x00, 0x08}},
        {"Write Memory, command taken", {0x7F, 0x31, 0xCE}},
        {"Read Memory, address taken", {0x7F, 0x11, 0xEE, 0x08, 0x00, 0x00, 0x00, 0x08}},
        {"Erase, command taken", {0x7F, 0x43, 0xBC}},
        {"Write Protect, command taken", {0x7F, 0x63, 0x9C}},
        {"Go, command taken", {0x7F, 0x21, 0xDE}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        config.timing = true;
        Attach();
        ASSERT_EQ(PortWrite(c.sent.data(), static_cast<uint32_t>(c.sent.size())),
                  static_cast<int32_t>(c.sent.size()));
        uint8_t answers[16];
        while (PortRead(answers, sizeof answers, 1) > 0) {
        }
        EXPECT_TRUE(BlSyncOrResume());
        EXPECT_TRUE(BlGetId());
        DevState s = DevGetState();
        EXPECT_EQ(s.counters.blocksWritten + s.counters.pagesErased + s.counters.globalErases, 0u);
        EXPECT_EQ(s.writeProtected, 0u);
        EXPECT_FALSE(s.running);
        ClosePort();
    }
}

} // namespace
