// The device model against the documented bootloader answers, in every protection state.
#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <vector>

#include "tools/devsim/device_model.h"

namespace {

using Bytes = std::vector<uint8_t>;

const uint8_t A = kAck;
const uint8_t N = kNack;

uint64_t gNow = 0;

// Feeds bytes at the current time and returns everything the device answered by then.
Bytes Send(const Bytes& in) {
    DevFeed(in.data(), in.size(), gNow);
    Bytes out(4096);
    out.resize(DevTakeOutput(out.data(), out.size(), gNow));
    return out;
}

Bytes Cmd(uint8_t code) {
    return Send({code, static_cast<uint8_t>(code ^ 0xFF)});
}

Bytes Address(uint32_t a) {
    Bytes f = {uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)};
    f.push_back(f[0] ^ f[1] ^ f[2] ^ f[3]);
    return Send(f);
}

Bytes DataFrame(const Bytes& data) {
    Bytes f(data.size() + 1);
    f[0] = uint8_t(data.size() - 1);
    std::copy(data.begin(), data.end(), f.begin() + 1);
    uint8_t x = 0;
    for (uint8_t b : f) {
        x ^= b;
    }
    f.push_back(x);
    return f;
}

// The whole Write Memory exchange; returns the three answers run together.
Bytes Write(uint32_t address, const Bytes& data) {
    Bytes out = Cmd(kCmdWriteMemory);
    if (out != Bytes{A}) {
        return out;
    }
    Bytes a = Address(address);
    out.insert(out.end(), a.begin(), a.end());
    if (a != Bytes{A}) {
        return out;
    }
    Bytes d = Send(DataFrame(data));
    out.insert(out.end(), d.begin(), d.end());
    return out;
}

// Page and sector lists have the data frame's shape: count - 1, the codes, their XOR.
Bytes CodeList(std::initializer_list<uint8_t> codes) {
    return DataFrame(Bytes(codes));
}

Bytes FlashAt(uint32_t offset, size_t n) {
    const auto& f = DevFlash();
    return Bytes(f.begin() + offset, f.begin() + offset + n);
}

class DevModel : public ::testing::Test {
  protected:
    DevConfig config;
    void Start(bool sync = true) {
        gNow = 0;
        ASSERT_EQ(DevReset(config), 0);
        if (sync) {
            ASSERT_EQ(Send({kSyncByte}), Bytes{A});
        }
    }
};

TEST_F(DevModel, BytesBeforeSyncAreIgnoredAndALoneSyncByteStartsAPair) {
    Start(false);
    EXPECT_EQ(Send({0x00, 0x02, 0xFD, 0x79, 0xFF}), Bytes{});
    EXPECT_FALSE(DevGetState().synced);
    EXPECT_EQ(Send({kSyncByte}), Bytes{A});
    EXPECT_TRUE(DevGetState().synced);
    // Synchronised: 0x7F is now the first byte of a command pair and waits for its mate.
    EXPECT_EQ(Send({kSyncByte}), Bytes{});
    EXPECT_EQ(Send({0x80}), Bytes{N}); // a well-formed pair, but no such command
    EXPECT_EQ(Cmd(kCmdGetId), (Bytes{A, 0x01, 0x04, 0x10, A}));
}

TEST_F(DevModel, BadPairsAndUnknownCommandsAreRefused) {
    Start();
    EXPECT_EQ(Send({0x02, 0xFC}), Bytes{N});
    EXPECT_EQ(Send({0x44, 0xBB}), Bytes{N}); // extended erase: not on these parts
    EXPECT_EQ(Send({0x31, 0x31}), Bytes{N});
    EXPECT_EQ(Cmd(kCmdGetId), (Bytes{A, 0x01, 0x04, 0x10, A})); // still in step
    EXPECT_EQ(DevGetState().counters.nacks, 3u);
}

TEST_F(DevModel, GetIdReportsTheDensityOrTheConfiguredProduct) {
    struct Case {
        DevDensity density;
        uint16_t pid;
        Bytes reply;
        uint32_t flash, page;
    } cases[] = {
        {DevDensity::Low, 0, {A, 0x01, 0x04, 0x12, A}, 32 * 1024, 1024},
        {DevDensity::Medium, 0, {A, 0x01, 0x04, 0x10, A}, 128 * 1024, 1024},
        {DevDensity::High, 0, {A, 0x01, 0x04, 0x14, A}, 512 * 1024, 2048},
        {DevDensity::Medium, 0x418, {A, 0x01, 0x04, 0x18, A}, 128 * 1024, 1024},
    };
    for (const Case& c : cases) {
        config.density = c.density;
        config.productId = c.pid;
        Start();
        EXPECT_EQ(Cmd(kCmdGetId), c.reply) << "density " << int(c.density);
        EXPECT_EQ(DevGetState().flashSize, c.flash);
        EXPECT_EQ(DevGetState().pageSize, c.page);
    }
}

TEST_F(DevModel, GetAndGetVersionAnswerEvenWhenReadoutProtected) {
    config.readoutProtected = true;
    Start();
    Bytes get = Cmd(kCmdGet);
    ASSERT_EQ(get.size(), 15u);
    EXPECT_EQ(get[0], A);
    EXPECT_EQ(get[1], 11); // twelve bytes follow: version and eleven commands
    EXPECT_EQ(get[2], kDevBootloaderVersion);
    EXPECT_EQ(get[3], kCmdGet);
    EXPECT_EQ(get[13], kCmdReadoutUnprotect);
    EXPECT_EQ(get[14], A);
    EXPECT_EQ(Cmd(kCmdGetVersion), (Bytes{A, kDevBootloaderVersion, 0x00, 0x00, A}));
}

TEST_F(DevModel, ReadoutProtectionRefusesEverythingButTheReadOnlyCommandsAndUnprotect) {
    config.readoutProtected = true;
    Start();
    for (uint8_t c : {kCmdReadMemory, kCmdGo, kCmdWriteMemory, kCmdErase, kCmdWriteProtect,
                      kCmdWriteUnprotect, kCmdReadoutProtect}) {
        EXPECT_EQ(Cmd(c), Bytes{N}) << DevCommandName(c);
    }
    EXPECT_EQ(Cmd(kCmdGetId), (Bytes{A, 0x01, 0x04, 0x10, A}));
    EXPECT_TRUE(DevGetState().readoutProtected);
}

TEST_F(DevModel, ReadoutUnprotectMassErasesAndResets) {
    config.readoutProtected = true;
    config.writeProtected = 0x3;
    config.flashImage = Bytes(3000, 0x5A);
    Start();
    EXPECT_EQ(Cmd(kCmdReadoutUnprotect), (Bytes{A, A}));
    DevState s = DevGetState();
    EXPECT_FALSE(s.readoutProtected);
    EXPECT_FALSE(s.synced);
    EXPECT_EQ(s.counters.resets, 1u);
    EXPECT_EQ(FlashAt(0, 3000), Bytes(3000, 0xFF)); // protected sectors too: option erase
    EXPECT_EQ(s.writeProtected, 0x3u);              // write protection stays
    // After the reset nothing is a command until the device is synchronised again.
    EXPECT_EQ(Cmd(kCmdGetId), Bytes{});
    EXPECT_EQ(Send({kSyncByte}), Bytes{A});
    EXPECT_EQ(Cmd(kCmdGetId), (Bytes{A, 0x01, 0x04, 0x10, A}));
}

TEST_F(DevModel, ReadoutUnprotectIsAcceptedWithoutProtectionToo) {
    config.flashImage = Bytes(16, 0x00);
    Start();
    EXPECT_EQ(Cmd(kCmdReadoutUnprotect), (Bytes{A, A}));
    EXPECT_EQ(FlashAt(0, 16), Bytes(16, 0xFF));
}

TEST_F(DevModel, WriteUnprotectClearsEveryProtectedSectorAndResets) {
    config.writeProtected = 0xFFFF0001;
    Start();
    EXPECT_EQ(Cmd(kCmdWriteUnprotect), (Bytes{A, A}));
    EXPECT_EQ(DevGetState().writeProtected, 0u);
    EXPECT_FALSE(DevGetState().synced);
    EXPECT_EQ(Send({kSyncByte}), Bytes{A});
}

TEST_F(DevModel, WriteProtectReplacesTheListAndResets) {
    config.writeProtected = 0x80000000;
    Start();
    EXPECT_EQ(Cmd(kCmdWriteProtect), Bytes{A});
    Bytes sixteen = {0x0F};
    for (uint8_t s = 0; s < 16; ++s) {
        sixteen.push_back(s);
    }
    sixteen.push_back(0x0F); // count XOR the codes 0..15
    EXPECT_EQ(Send(sixteen), Bytes{A});
    EXPECT_EQ(DevGetState().writeProtected, 0x0000FFFFu);
    EXPECT_FALSE(DevGetState().synced);

    Send({kSyncByte});
    EXPECT_EQ(Cmd(kCmdWriteProtect), Bytes{A});
    EXPECT_EQ(Send(CodeList({3})), Bytes{A});
    EXPECT_EQ(DevGetState().writeProtected, 0x8u);
}

TEST_F(DevModel, WriteProtectRefusesBadChecksumsAndSectors) {
    Start();
    EXPECT_EQ(Cmd(kCmdWriteProtect), Bytes{A});
    EXPECT_EQ(Send({0x01, 0x00, 0x01, 0x01}), Bytes{N}); // checksum should be 0x00
    EXPECT_EQ(Cmd(kCmdWriteProtect), Bytes{A});
    EXPECT_EQ(Send(CodeList({0, 32})), Bytes{N});
    EXPECT_EQ(DevGetState().writeProtected, 0u);
    EXPECT_TRUE(DevGetState().synced); // a refusal does not reset
}

TEST_F(DevModel, ReadoutProtectOnlyWhenNotAlreadyProtected) {
    Start();
    EXPECT_EQ(Cmd(kCmdReadoutProtect), (Bytes{A, A}));
    EXPECT_TRUE(DevGetState().readoutProtected);
    EXPECT_FALSE(DevGetState().synced);
    EXPECT_EQ(Send({kSyncByte}), Bytes{A});
    EXPECT_EQ(Cmd(kCmdReadoutProtect), Bytes{N});
    EXPECT_TRUE(DevGetState().synced);
}

TEST_F(DevModel, GlobalEraseAndPageErase) {
    config.flashImage = Bytes(4096, 0x11);
    Start();
    EXPECT_EQ(Cmd(kCmdErase), Bytes{A});
    EXPECT_EQ(Send({0xFF, 0x01}), Bytes{N}); // global erase is exactly 0xFF 0x00
    EXPECT_EQ(FlashAt(0, 4), Bytes(4, 0x11));
    EXPECT_EQ(Cmd(kCmdErase), Bytes{A});
    EXPECT_EQ(Send(CodeList({1, 2})), Bytes{A});
    EXPECT_EQ(FlashAt(1023, 2), (Bytes{0x11, 0xFF}));
    EXPECT_EQ(FlashAt(3071, 2), (Bytes{0xFF, 0x11}));
    EXPECT_EQ(DevGetState().counters.pagesErased, 2u);
    EXPECT_EQ(Cmd(kCmdErase), Bytes{A});
    EXPECT_EQ(Send({0x00, 0x00, 0x01}), Bytes{N}); // bad checksum
    EXPECT_EQ(Cmd(kCmdErase), Bytes{A});
    EXPECT_EQ(Send(CodeList({128})), Bytes{N}); // 128 KiB has pages 0..127
    EXPECT_EQ(Cmd(kCmdErase), Bytes{A});
    EXPECT_EQ(Send({0xFF, 0x00}), Bytes{A});
    EXPECT_EQ(FlashAt(0, 4096), Bytes(4096, 0xFF));
    EXPECT_EQ(DevGetState().counters.globalErases, 1u);
}

TEST_F(DevModel, EraseKeepsWriteProtectedPagesOrRefusesAsConfigured) {
    config.flashImage = Bytes(8192, 0x22);
    config.writeProtected = 0x1; // sector 0: pages 0..3
    Start();
    EXPECT_EQ(Cmd(kCmdErase), Bytes{A});
    EXPECT_EQ(Send({0xFF, 0x00}), Bytes{A});
    EXPECT_EQ(FlashAt(4095, 2), (Bytes{0x22, 0xFF}));

    config.eraseProtectedNack = true;
    Start();
    EXPECT_EQ(Cmd(kCmdErase), Bytes{A});
    EXPECT_EQ(Send({0xFF, 0x00}), Bytes{N});
    EXPECT_EQ(Cmd(kCmdErase), Bytes{A});
    EXPECT_EQ(Send(CodeList({4, 0})), Bytes{N});
    EXPECT_EQ(FlashAt(4096, 1), Bytes{0x22}); // nothing erased
    EXPECT_EQ(Cmd(kCmdErase), Bytes{A});
    EXPECT_EQ(Send(CodeList({4})), Bytes{A});
}

TEST_F(DevModel, WriteMemoryAcceptsOnlyFlashAndUserRam) {
    Start();
    struct Case {
        uint32_t address;
        bool valid;
    } cases[] = {
        {0x08000000, true},  {0x0801FFFF, true},  {0x08020000, false}, {0x07FFFFFF, false},
        {0x20000000, false}, {0x200001FF, false}, {0x20000200, true},  {0x20004FFF, true},
        {0x20005000, false}, {0x1FFFF800, false}, {0x00000000, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Cmd(kCmdWriteMemory), Bytes{A});
        Bytes answer = Address(c.address);
        EXPECT_EQ(answer, Bytes{c.valid ? A : N}) << std::hex << c.address;
        if (c.valid) {
            EXPECT_EQ(Send(DataFrame({0x00})), Bytes{A}) << std::hex << c.address;
        }
    }
    EXPECT_EQ(Cmd(kCmdWriteMemory), Bytes{A});
    EXPECT_EQ(Send({0x08, 0x00, 0x00, 0x00, 0x00}), Bytes{N}); // address checksum is 0x08
}

TEST_F(DevModel, WriteMemoryProgramsBlocksAndChecksTheChecksum) {
    Start();
    Bytes block(256);
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = uint8_t(i * 7);
    }
    EXPECT_EQ(Write(0x08000100, block), (Bytes{A, A, A}));
    EXPECT_EQ(FlashAt(0x100, 256), block);
    EXPECT_EQ(Write(0x20000400, {1, 2, 3}), (Bytes{A, A, A}));
    EXPECT_EQ(DevRam()[0x400 + 2], 3);

    EXPECT_EQ(Cmd(kCmdWriteMemory), Bytes{A});
    EXPECT_EQ(Address(0x08000400), Bytes{A});
    Bytes bad = DataFrame({1, 2, 3, 4});
    bad.back() ^= 0x40;
    EXPECT_EQ(Send(bad), Bytes{N});
    EXPECT_EQ(FlashAt(0x400, 4), Bytes(4, 0xFF));
    // A block running past the end of FLASH fails after its data.
    EXPECT_EQ(Write(0x0801FFFE, {1, 2, 3, 4}), (Bytes{A, A, N}));
    DevCounters c = DevGetState().counters;
    EXPECT_EQ(c.blocksWritten, 2u);
    EXPECT_EQ(c.bytesWritten, 259u);
}

TEST_F(DevModel, HalfWordsProgramOnlyWhenErasedExceptToZero) {
    config.unaligned = DevUnaligned::Accept; // half-word rules, without the word rule
    Start();
    EXPECT_EQ(Write(0x08000000, {0x12, 0x34, 0xFF, 0xFF}), (Bytes{A, A, A}));
    // Writing the same value again is programming a half-word that is not erased.
    EXPECT_EQ(Write(0x08000000, {0x12, 0x34}), (Bytes{A, A, N}));
    // 0xFFFF over an erased half-word leaves it erased and programmable.
    EXPECT_EQ(Write(0x08000002, {0xAB, 0xCD}), (Bytes{A, A, A}));
    EXPECT_EQ(Write(0x08000000, {0x00, 0x00}), (Bytes{A, A, A}));
    EXPECT_EQ(FlashAt(0, 4), (Bytes{0x00, 0x00, 0xAB, 0xCD}));
    // An odd tail pads its half-word with 0xFF, which then counts as programmed.
    EXPECT_EQ(Write(0x08000010, {0x01, 0x02, 0x03}), (Bytes{A, A, A}));
    EXPECT_EQ(FlashAt(0x10, 4), (Bytes{0x01, 0x02, 0x03, 0xFF}));
    EXPECT_EQ(Write(0x08000013, {0x04}), (Bytes{A, A, N}));
    // A failing half-word stops the block: what came before it stays programmed.
    EXPECT_EQ(Write(0x0800000C, {0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11}), (Bytes{A, A, N}));
    EXPECT_EQ(FlashAt(0x0C, 4), (Bytes{0x0C, 0x0D, 0x0E, 0x0F}));
    EXPECT_EQ(DevGetState().counters.failedWrites, 3u);
}

TEST_F(DevModel, WritesIntoProtectedSectorsAreAcknowledgedAndNotProgrammed) {
    config.writeProtected = 0x2; // 0x08001000..0x08001FFF
    Start();
    EXPECT_EQ(Write(0x08001000, {1, 2, 3, 4}), (Bytes{A, A, A}));
    EXPECT_EQ(Write(0x08000FFC, {5, 6, 7, 8, 9, 10, 11, 12}), (Bytes{A, A, A})); // into sector 1
    EXPECT_EQ(FlashAt(0xFFC, 8), (Bytes{5, 6, 7, 8, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Cmd(kCmdWriteUnprotect), (Bytes{A, A}));
    Send({kSyncByte});
    EXPECT_EQ(Write(0x08001000, {1, 2, 3, 4}), (Bytes{A, A, A}));
    EXPECT_EQ(FlashAt(0x1000, 4), (Bytes{1, 2, 3, 4}));
}

TEST_F(DevModel, UnalignedFlashWritesFollowTheChosenRule) {
    // Address, data; answers and what FLASH holds at the address afterwards, per rule.
    const struct {
        DevUnaligned rule;
        uint32_t address;
        Bytes data;
        Bytes answers;
        Bytes flash;
    } cases[] = {
        {DevUnaligned::Drop, 0x08000002, {1, 2, 3, 4}, {A, A, A}, {0xFF, 0xFF, 0xFF, 0xFF}},
        {DevUnaligned::Drop, 0x08000004, {1, 2, 3, 4, 5, 6, 7}, {A, A, A}, {1, 2, 3, 4, 0xFF}},
        {DevUnaligned::Drop, 0x08000008, {1, 2, 3}, {A, A, A}, {0xFF, 0xFF, 0xFF}},
        {DevUnaligned::Nack, 0x08000002, {1, 2, 3, 4}, {A, N}, {0xFF, 0xFF}},
        {DevUnaligned::Nack, 0x08000004, {1, 2, 3}, {A, A, N}, {0xFF, 0xFF, 0xFF}},
        {DevUnaligned::Accept, 0x08000004, {1, 2, 3}, {A, A, A}, {1, 2, 3, 0xFF}},
    };
    for (const auto& c : cases) {
        config.unaligned = c.rule;
        Start();
        EXPECT_EQ(Write(c.address, c.data), c.answers) << std::hex << c.address;
        EXPECT_EQ(FlashAt(c.address - kFlashBase, c.flash.size()), c.flash)
            << std::hex << c.address;
        EXPECT_EQ(DevGetState().counters.unalignedWrites, c.rule == DevUnaligned::Nack ? 0u : 1u);
    }
    for (DevUnaligned rule : {DevUnaligned::Drop, DevUnaligned::Nack}) {
        config.unaligned = rule; // RAM takes any alignment; aligned FLASH writes always work
        Start();
        EXPECT_EQ(Write(0x20000401, {1, 2, 3}), (Bytes{A, A, A}));
        EXPECT_EQ(Write(0x08000008, {1, 2, 3, 4}), (Bytes{A, A, A}));
        EXPECT_EQ(DevGetState().counters.unalignedWrites, 0u);
    }
    DevUnaligned parsed = DevUnaligned::Drop;
    EXPECT_EQ(DevParseUnaligned("accept", &parsed), 0);
    EXPECT_EQ(parsed, DevUnaligned::Accept);
    EXPECT_EQ(DevParseUnaligned("Drop", &parsed), 1);
}

TEST_F(DevModel, ReadMemoryAndGo) {
    config.flashImage = {0xDE, 0xAD, 0xBE, 0xEF};
    Start();
    EXPECT_EQ(Cmd(kCmdReadMemory), Bytes{A});
    EXPECT_EQ(Address(0x08000001), Bytes{A});
    EXPECT_EQ(Send({0x02, 0xFD}), (Bytes{A, 0xAD, 0xBE, 0xEF}));
    EXPECT_EQ(Cmd(kCmdGo), Bytes{A});
    EXPECT_EQ(Address(0x08000000), Bytes{A});
    EXPECT_TRUE(DevGetState().running);
    EXPECT_EQ(Send({kSyncByte}), Bytes{}); // the bootloader is gone
}

// The size register (KiB, little-endian) and the unique ID eight bytes on, readable but
// not writable; a given ID, or one made from the chip that stays the same.
TEST_F(DevModel, SystemMemoryHoldsTheSizeRegisterAndTheUniqueId) {
    config.flashSize = 96 * 1024;
    const auto readInfo = [&] {
        Cmd(kCmdReadMemory);
        Address(0x1FFFF7E0);
        return Send({19, 19 ^ 0xFF});
    };
    Start();
    const Bytes made = readInfo();
    ASSERT_EQ(made.size(), 21u);
    EXPECT_EQ(Bytes(made.begin() + 1, made.begin() + 3), (Bytes{96, 0}));
    Start();
    EXPECT_EQ(readInfo(), made);
    EXPECT_EQ(Cmd(kCmdWriteMemory), Bytes{A});
    EXPECT_EQ(Address(0x1FFFF7E8), Bytes{N});
    ASSERT_EQ(DevParseUid("00:11:22:33 44556677 8899aabb", &config.uid), 0);
    Start();
    const Bytes given = readInfo();
    EXPECT_EQ(Bytes(given.begin() + 9, given.end()),
              (Bytes{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB}));
    for (const char* bad : {"", "0011", "00112233445566778899aabbcc", "0011223344556677889x"}) {
        EXPECT_EQ(DevParseUid(bad, &config.uid), 1) << bad;
    }
}

TEST_F(DevModel, FaultsHitTheNamedOccurrenceAndAnswer) {
    DevFault f;
    ASSERT_EQ(DevParseFault("write@2:3", DevFaultKind::Nack, &f), 0);
    config.faults.push_back(f);
    ASSERT_EQ(DevParseFault("get-id", DevFaultKind::Silent, &f), 0);
    config.faults.push_back(f);
    Start();
    EXPECT_EQ(Write(0x08000000, {1, 2}), (Bytes{A, A, A}));
    EXPECT_EQ(Write(0x08000002, {3, 4}), (Bytes{A, A, N}));
    EXPECT_EQ(FlashAt(2, 2), (Bytes{0xFF, 0xFF})); // dropped without effect
    EXPECT_EQ(Write(0x08000002, {3, 4}), (Bytes{A, A, A}));
    EXPECT_EQ(Cmd(kCmdGetId), Bytes{});
    EXPECT_EQ(Cmd(kCmdGetId), Bytes{}); // every time
    EXPECT_EQ(Cmd(kCmdGetVersion).size(), 5u);

    config.faults.clear();
    ASSERT_EQ(DevParseFault("sync@1", DevFaultKind::Nack, &f), 0);
    config.faults.push_back(f);
    Start(false);
    EXPECT_EQ(Send({kSyncByte}), Bytes{N});
    EXPECT_EQ(Send({kSyncByte}), Bytes{A});
}

TEST_F(DevModel, FaultNamesParse) {
    DevFault f;
    EXPECT_EQ(DevParseFault("readout-unprotect@3:2", DevFaultKind::Silent, &f), 0);
    EXPECT_EQ(f.command, kCmdReadoutUnprotect);
    EXPECT_EQ(f.occurrence, 3u);
    EXPECT_EQ(f.answer, 2);
    EXPECT_EQ(f.kind, DevFaultKind::Silent);
    EXPECT_EQ(DevParseFault("0x43", DevFaultKind::Nack, &f), 0);
    EXPECT_EQ(f.command, kCmdErase);
    EXPECT_EQ(f.occurrence, 0u);
    // @0 and signed counts name an occurrence that never comes.
    for (const char* bad : {"", "wirte", "write@", "write@x", "write:0", "write:4", "0x44",
                            "write@0", "write@-1", "write@+2", "write@ 2"}) {
        EXPECT_EQ(DevParseFault(bad, DevFaultKind::Nack, &f), 1) << bad;
    }
}

TEST_F(DevModel, TheLinkDiesMidBlockOrAfterAByteCount) {
    config.dieInBlock = 2;
    Start();
    EXPECT_EQ(Write(0x08000000, Bytes(16, 0x01)), (Bytes{A, A, A}));
    EXPECT_EQ(Write(0x08000010, Bytes(16, 0x02)), (Bytes{A, A}));
    EXPECT_TRUE(DevGetState().linkDead);
    EXPECT_EQ(FlashAt(0x10, 1), Bytes{0xFF});
    EXPECT_EQ(Send({kSyncByte}), Bytes{});

    config.dieInBlock = 0;
    config.dieAfterBytes = 3; // the sync byte and the command pair
    Start();
    EXPECT_EQ(Cmd(kCmdGetId), Bytes{});
    EXPECT_TRUE(DevGetState().linkDead);
}

TEST_F(DevModel, BadConfigurationsAreRefused) {
    config.flashSize = 1000;
    EXPECT_EQ(DevReset(config), 1);
    config.flashSize = 64 * 1024;
    config.flashImage = Bytes(64 * 1024 + 1);
    EXPECT_EQ(DevReset(config), 1);
    config.flashImage.clear();
    EXPECT_EQ(DevReset(config), 0);
    EXPECT_EQ(DevGetState().flashSize, 64u * 1024);
}

// ---- timing ----

class DevTiming : public DevModel {
  protected:
    // Advances the clock until n answer bytes arrived; returns them with their times.
    Bytes WaitFor(size_t n, std::vector<uint64_t>* times = nullptr) {
        Bytes got;
        while (got.size() < n) {
            uint64_t next = DevNextEventUs();
            if (next == kDevNever) {
                break;
            }
            gNow = std::max(gNow, next);
            uint8_t b[16];
            size_t k = DevTakeOutput(b, sizeof b, gNow);
            for (size_t i = 0; i < k; ++i) {
                got.push_back(b[i]);
                if (times != nullptr) {
                    times->push_back(gNow);
                }
            }
        }
        return got;
    }
    void StartTimed() {
        config.timing = true;
        gNow = 0;
        ASSERT_EQ(DevReset(config), 0);
        gNow = 2000; // past start-up
    }
};

TEST_F(DevTiming, NothingIsAnsweredBeforeItsTime) {
    StartTimed();
    EXPECT_EQ(Send({kSyncByte}), Bytes{});
    std::vector<uint64_t> t;
    EXPECT_EQ(WaitFor(1, &t), Bytes{A});
    // 0x7F takes 95.5 us on the wire and the ACK ends 160 us after it.
    EXPECT_NEAR(double(t[0]), 2000 + 95.5 + 160, 2);
}

TEST_F(DevTiming, A256ByteBlockTakesItsWireTimeAndProgrammingTime) {
    StartTimed();
    Send({kSyncByte});
    WaitFor(1);
    Cmd(kCmdWriteMemory);
    WaitFor(1);
    Address(0x08000000);
    ASSERT_EQ(WaitFor(1), Bytes{A});
    uint64_t start = gNow;
    EXPECT_EQ(Send(DataFrame(Bytes(256, 0x42))), Bytes{});
    ASSERT_EQ(WaitFor(1), Bytes{A});
    double us = double(gNow - start);
    // 258 bytes in (24.6 ms), 128 half-words (6.7 ms), the ACK back (0.1 ms).
    EXPECT_GT(us, 30000);
    EXPECT_LT(us, 33000);
}

TEST_F(DevTiming, BytesSentWhileTheDeviceIsBusyOverrunItsReceiver) {
    StartTimed();
    Send({kSyncByte});
    WaitFor(1);
    Cmd(kCmdWriteMemory);
    WaitFor(1);
    Address(0x08000000);
    WaitFor(1);
    // Get ID sent straight behind the block, without waiting for its ACK: the first byte
    // waits in the receiver while the block is programmed, the second is lost.
    Bytes frame = DataFrame(Bytes(256, 0x42));
    frame.push_back(kCmdGetId);
    frame.push_back(0xFD);
    Send(frame);
    EXPECT_EQ(WaitFor(2), Bytes{A});
    EXPECT_EQ(Send({0xFD}), Bytes{});
    EXPECT_EQ(WaitFor(5), (Bytes{A, 0x01, 0x04, 0x10, A}));
}

TEST_F(DevTiming, EraseTakesTensOfMilliseconds) {
    StartTimed();
    Send({kSyncByte});
    WaitFor(1);
    Cmd(kCmdErase);
    WaitFor(1);
    uint64_t start = gNow;
    Send({0xFF, 0x00});
    ASSERT_EQ(WaitFor(1), Bytes{A});
    EXPECT_GE(gNow - start, 20000u);
    EXPECT_LE(gNow - start, 41000u);
}

TEST_F(DevTiming, BytesDuringStartUpAfterAResetAreLost) {
    StartTimed();
    Send({kSyncByte});
    WaitFor(1);
    Cmd(kCmdWriteUnprotect);
    ASSERT_EQ(WaitFor(2), (Bytes{A, A}));
    // Straight after the second ACK the device is still starting: this byte is lost.
    Send({kSyncByte});
    EXPECT_EQ(WaitFor(1), Bytes{});
    gNow += 1300;
    Send({kSyncByte});
    EXPECT_EQ(WaitFor(1), Bytes{A});
}

TEST_F(DevModel, TranscriptRecordsBothDirectionsWithNotes) {
    Start();
    Cmd(kCmdGetId);
    const auto& t = DevTranscript();
    ASSERT_GE(t.size(), 4u);
    EXPECT_EQ(DevFormatFrame(t[0]), "       0.000 ms H>D 7F  sync");
    EXPECT_NE(DevFormatFrame(t[2]).find("H>D 02 FD  Get ID #1"), std::string::npos);
    EXPECT_NE(DevFormatFrame(t.back()).find("D>H 01 04 10 79"), std::string::npos);
    EXPECT_NE(DevSummary().find("blocks written: 0"), std::string::npos);
}

TEST_F(DevModel, ADroppedWriteIsAcknowledgedAndProgramsNothing) {
    config.dropWrite = 2;
    Start();
    const Bytes block(16, 0x42);
    for (uint32_t at : {0x000u, 0x100u, 0x200u}) {
        EXPECT_EQ(Write(kFlashBase + at, block), (Bytes{A, A, A}));
    }
    EXPECT_EQ(FlashAt(0x000, 16), block);
    EXPECT_EQ(FlashAt(0x100, 16), Bytes(16, 0xFF));
    EXPECT_EQ(FlashAt(0x200, 16), block);
}

TEST_F(DevTiming, TheWireRunsAtTheRateTheHostSet) {
    StartTimed();
    DevSetBaudRate(57600);
    EXPECT_EQ(Send({kSyncByte}), Bytes{});
    std::vector<uint64_t> t;
    EXPECT_EQ(WaitFor(1, &t), Bytes{A});
    // 0x7F and its ACK take 191 us each at 57600; the bootloader's own 64.5 us between.
    EXPECT_NEAR(double(t[0]), 2000 + 191 + 64.5 + 191, 2);
}

} // namespace
