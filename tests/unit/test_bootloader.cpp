// Byte-exact transcripts of the bootloader commands against the scripted fake link.
//
// Each case scripts the device's replies (hex = bytes arriving, "." = an empty read
// attempt, "!" = a failed one, "~hex" = bytes nobody asked for, there before the command;
// once the script is used up every attempt is empty) and the
// write attempts' limits, runs one command and compares everything that crossed the link
// (see tests/fakes/fake_serial.h for the transcript tokens).
#include "engine/bootloader.h"
#include "engine/serial.h"
#include "engine/status.h"
#include "tests/fakes/fake_serial.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int32_t kAll = INT32_MAX; // a write attempt that takes everything

std::vector<uint8_t> Hex(const std::string& text) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

void Script(const std::string& replies) {
    std::istringstream tokens(replies);
    std::string token;
    while (tokens >> token) {
        if (token == ".") {
            FakeQueueEmpty();
        } else if (token == "!") {
            FakeQueueReadFailure();
        } else if (token[0] == '~') {
            FakeQueueStray(Hex(token.substr(1)));
        } else {
            FakeQueueRead(Hex(token));
        }
    }
}

std::string Repeat(const char* pair, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) {
        text += pair;
    }
    return text;
}

const uint8_t kFf256[256] = {
#define FF8 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF
#define FF64 FF8, FF8, FF8, FF8, FF8, FF8, FF8, FF8
    FF64,
    FF64,
    FF64,
    FF64,
#undef FF64
#undef FF8
};
const uint8_t kOne[1] = {0x5A};
const uint8_t kFour[4] = {0x01, 0x02, 0x04, 0x08};

const std::string kSilence = "<. <. <. <. <.";
const std::string kResync = "~100 >7F <79";
const std::string kAddressBase = ">31CE <79 >0800000008 <79";
const std::string kAddressSecondBlock = ">31CE <79 >0800010009 <79";
const std::string kSectors = ">0F >000102030405060708090A0B0C0D0E0F >0F";

struct Case {
    const char* name;
    bool (*run)();
    std::string replies;
    std::vector<int32_t> writeLimits;
    int result; // 0: carried out, 1: failed
    std::string transcript;
    size_t unread; // script entries the command must leave alone
};

bool WriteBase256() {
    return BlWriteMemory(0x08000000, kFf256, 256);
}
bool WriteSecondBlockOne() {
    return BlWriteMemory(0x08000100, kOne, 1);
}
bool WriteRamFour() {
    return BlWriteMemory(0x20000200, kFour, 4);
}
bool WriteNothing() {
    return BlWriteMemory(0x08000000, kOne, 0);
}
uint8_t readBack[4];
bool ReadSecondBlockFour() {
    return BlReadMemory(0x08000100, readBack, 4);
}
bool GoBase() {
    return BlGo(0x08000000);
}

const std::string kReadHead = ">11EE <79 >0800010009 <79 >03FC";
// 127 bytes of 0xFF and a 0x00: no frame a bootloader may be inside accepts them.
const std::string kFill = ">" + Repeat("FF", 127) + "00 ~13";

const Case kCases[] = {
    // Sync: the pause comes before the byte; only ACK counts.
    {"SyncAcked", BlSync, "79", {}, 0, kResync, 0},
    {"SyncNackFailsAtOnce", BlSync, "1F 79", {}, 1, "~100 >7F <1F", 1},
    {"SyncOtherByte", BlSync, "7F", {}, 1, "~100 >7F <7F", 0},
    {"SyncSilence", BlSync, "", {}, 1, "~100 >7F " + kSilence, 0},
    {"SyncAckAfterFourEmpty", BlSync, ". . . . 79", {}, 0, "~100 >7F <. <. <. <. <79", 0},
    {"SyncReadFails", BlSync, "! 79", {}, 1, "~100 >7F <!", 1},
    {"SyncWriteTakesNothing", BlSync, "79", {0}, 1, "~100 >7F=0", 1},
    {"SyncWriteFails", BlSync, "79", {-1}, 1, "~100 >7F=!", 1},

    // Get ID: ACK, 01 04 and a F10x product, ACK.
    {"GetIdMedium", BlGetId, "79 010410 79", {}, 0, ">02FD <79 <010410 <79", 0},
    {"GetIdLow", BlGetId, "79 010412 79", {}, 0, ">02FD <79 <010412 <79", 0},
    {"GetIdHigh", BlGetId, "79 010414 79", {}, 0, ">02FD <79 <010414 <79", 0},
    {"GetIdReplyInPieces", BlGetId, "79 01 . 0414 79", {}, 0, ">02FD <79 <01 <. <0414 <79", 0},
    {"GetIdAllAtOnce", BlGetId, "7901041079", {}, 0, ">02FD <79 <010410 <79", 0},
    {"GetIdOtherProduct", BlGetId, "79 010418 79", {}, 1, ">02FD <79 <010418", 1},
    {"GetIdWrongLength", BlGetId, "79 020410 79", {}, 1, ">02FD <79 <020410", 1},
    {"GetIdWrongHighByte", BlGetId, "79 010510 79", {}, 1, ">02FD <79 <010510", 1},
    {"GetIdShortReply", BlGetId, "79 0104", {}, 1, ">02FD <79 <0104 " + kSilence, 0},
    {"GetIdNack", BlGetId, "1F", {}, 1, ">02FD <1F", 0},
    {"GetIdFinalNack", BlGetId, "79 010410 1F", {}, 1, ">02FD <79 <010410 <1F", 0},
    {"GetIdShortWrite", BlGetId, "79", {1, 0}, 1, ">02FD=1 >FD=0", 1},

    // Unprotect: accepted, done, then the device resets and is synced again.
    {"ReadoutUnprotect", BlReadoutUnprotect, "79 79 79", {}, 0, ">926D <79 <79 " + kResync, 0},
    {"ReadoutUnprotectNack", BlReadoutUnprotect, "1F 79", {}, 1, ">926D <1F", 1},
    {"ReadoutUnprotectNotDone", BlReadoutUnprotect, "79 1F 79", {}, 1, ">926D <79 <1F", 1},
    {"ReadoutUnprotectSilentAfterAck", BlReadoutUnprotect, "79", {}, 1, ">926D <79 " + kSilence, 0},
    {"ReadoutUnprotectResyncFails",
     BlReadoutUnprotect,
     "79 79 1F",
     {},
     1,
     ">926D <79 <79 ~100 >7F <1F",
     0},
    {"WriteUnprotect", BlWriteUnprotect, "79 79 79", {}, 0, ">738C <79 <79 " + kResync, 0},
    {"WriteUnprotectNack", BlWriteUnprotect, "1F", {}, 1, ">738C <1F", 0},
    {"WriteUnprotectNotDone", BlWriteUnprotect, "79 1F", {}, 1, ">738C <79 <1F", 0},
    {"WriteUnprotectResyncSilent",
     BlWriteUnprotect,
     "79 79",
     {},
     1,
     ">738C <79 <79 ~100 >7F " + kSilence,
     0},

    // Erase: the global selector goes only after the command was acknowledged.
    {"EraseAll", BlEraseAll, "79 79", {}, 0, ">43BC <79 >FF00 <79", 0},
    {"EraseAllNack", BlEraseAll, "1F 79", {}, 1, ">43BC <1F", 1},
    {"EraseAllSilent", BlEraseAll, "", {}, 1, ">43BC " + kSilence, 0},
    {"EraseAllNotDone", BlEraseAll, "79 1F", {}, 1, ">43BC <79 >FF00 <1F", 0},
    // Bytes nobody asked for are dropped before the command, so that its answers are its
    // own; a NACK among them is a refusal that came late, and nothing more is sent.
    {"StrayAckDroppedBeforeErase",
     BlEraseAll,
     "~7979 79 79",
     {},
     0,
     "-7979 >43BC <79 >FF00 <79",
     0},
    {"LateNackStopsErase", BlEraseAll, "~1F 79 79", {}, 1, "-1F", 2},
    {"SettleMeetsALateRefusal", BlSettle, "1F", {}, 1, "<1F <.", 0},
    {"SettleOnAQuietLine", BlSettle, "", {}, 0, "<.", 0},
    {"ChatterDroppedBeforeSync", BlSync, "~7469636B 79", {}, 0, "~100 -7469636B >7F <79", 0},
    {"EraseAllSelectorShort", BlEraseAll, "79 79", {kAll, 1, 0}, 1, ">43BC <79 >FF00=1 >00=0", 1},

    // Write Memory: command, address frame with XOR, count, data, XOR of count and data.
    {"WriteMemoryFullBlock",
     WriteBase256,
     "79 79 79",
     {},
     0,
     kAddressBase + " >FF >" + Repeat("FF", 256) + " >FF <79",
     0},
    {"WriteMemoryOneByte",
     WriteSecondBlockOne,
     "79 79 79",
     {},
     0,
     kAddressSecondBlock + " >00 >5A >5A <79",
     0},
    {"WriteMemoryRam",
     WriteRamFour,
     "79 79 79",
     {},
     0,
     ">31CE <79 >2000020022 <79 >03 >01020408 >0C <79",
     0},
    {"WriteMemoryLengthZero",
     WriteNothing,
     "79 79",
     {},
     1,
     kAddressBase + " >FF > >FF " + kSilence,
     0},
    {"WriteMemoryNack", WriteSecondBlockOne, "1F 79", {}, 1, ">31CE <1F", 1},
    {"WriteMemoryAddressNack",
     WriteSecondBlockOne,
     "79 1F 79",
     {},
     1,
     ">31CE <79 >0800010009 <1F",
     1},
    {"WriteMemoryAddressShort",
     WriteSecondBlockOne,
     "79 79 79",
     {kAll, 2, 0},
     1,
     ">31CE <79 >0800010009=2 >010009=0",
     2},
    {"WriteMemoryCountShort",
     WriteSecondBlockOne,
     "79 79 79",
     {kAll, kAll, 0},
     1,
     kAddressSecondBlock + " >00=0",
     1},
    {"WriteMemoryDataShort",
     WriteRamFour,
     "79 79 79",
     {kAll, kAll, kAll, 3, 0},
     1,
     ">31CE <79 >2000020022 <79 >03 >01020408=3 >08=0",
     1},
    {"WriteMemoryChecksumFails",
     WriteSecondBlockOne,
     "79 79 79",
     {kAll, kAll, kAll, kAll, -1},
     1,
     kAddressSecondBlock + " >00 >5A >5A=!",
     1},
    {"WriteMemoryNotProgrammed",
     WriteSecondBlockOne,
     "79 79 1F",
     {},
     1,
     kAddressSecondBlock + " >00 >5A >5A <1F",
     0},

    // Write Protect: sectors 0 to 15, then the device resets and is synced again.
    {"WriteProtect",
     BlWriteProtect,
     "79 79 79",
     {},
     0,
     ">639C <79 " + kSectors + " <79 " + kResync,
     0},
    {"WriteProtectNack", BlWriteProtect, "1F 79", {}, 1, ">639C <1F", 1},
    {"WriteProtectSectorsRefused",
     BlWriteProtect,
     "79 1F 79",
     {},
     1,
     ">639C <79 " + kSectors + " <1F",
     1},
    {"WriteProtectSectorsShort",
     BlWriteProtect,
     "79 79",
     {kAll, kAll, 15, 0},
     1,
     ">639C <79 >0F >000102030405060708090A0B0C0D0E0F=15 >0F=0",
     1},
    {"WriteProtectResyncFails",
     BlWriteProtect,
     "79 79 1F",
     {},
     1,
     ">639C <79 " + kSectors + " <79 ~100 >7F <1F",
     0},

    // Readout Protect: two acknowledgements and no re-sync, since the device is resetting.
    {"ReadoutProtect", BlReadoutProtect, "79 79 79", {}, 0, ">827D <79 <79", 1},
    {"ReadoutProtectNack", BlReadoutProtect, "1F 79", {}, 1, ">827D <1F", 1},
    {"ReadoutProtectNotDone", BlReadoutProtect, "79 1F", {}, 1, ">827D <79 <1F", 0},

    // Read Memory: command, address, count and its complement, ACK, the bytes.
    {"ReadMemory",
     ReadSecondBlockFour,
     "79 79 79 01020408",
     {},
     0,
     kReadHead + " <79 <01020408",
     0},
    {"ReadMemoryRefused", ReadSecondBlockFour, "1F 79", {}, 1, ">11EE <1F", 1},
    {"ReadMemoryCountRefused", ReadSecondBlockFour, "79 79 1F", {}, 1, kReadHead + " <1F", 0},
    {"ReadMemoryShort",
     ReadSecondBlockFour,
     "79 79 79 0102",
     {},
     1,
     kReadHead + " <79 <0102 " + kSilence,
     0},

    // Go: command and address, then the bootloader is gone.
    {"Go", GoBase, "79 79", {}, 0, ">21DE <79 >0800000008 <79", 0},
    {"GoRefusedUnderProtection", GoBase, "1F", {}, 1, ">21DE <1F", 0},

    // Contact whatever state an earlier run left: fresh, synchronised (a second 0x7F
    // makes a bad pair), inside a command (a fill completes the frame, the refusals are
    // drained, and one or two 0x7F show it listening), or nothing there at all.
    {"ResumeFresh", BlSyncOrResume, "79", {}, 0, "~100 >7F <79", 0},
    {"ResumeSynchronised",
     BlSyncOrResume,
     ". . . . . 1F",
     {},
     0,
     "~100 >7F " + kSilence + " >7F <1F",
     0},
    {"ResumeInsideCommand",
     BlSyncOrResume,
     ". . . . . . . . . . 1F1F . . 1F",
     {},
     0,
     "~100 >7F " + kSilence + " >7F " + kSilence + " " + kFill + " <1F1F <. <. >7F <1F",
     0},
    {"ResumeInsideCommandHoldingAByte",
     BlSyncOrResume,
     ". . . . . . . . . . 1F . . . . . . . 1F",
     {},
     0,
     "~100 >7F " + kSilence + " >7F " + kSilence + " " + kFill + " <1F <. <. >7F " + kSilence +
         " >7F <1F",
     0},
    {"ResumeNobodyThere",
     BlSyncOrResume,
     "",
     {},
     1,
     "~100 >7F " + kSilence + " >7F " + kSilence + " " + kFill + " <. >7F " + kSilence + " >7F " +
         kSilence,
     0},
};

class BootloaderTranscript : public ::testing::TestWithParam<Case> {
  protected:
    void SetUp() override {
        ClosePort();
        FakeReset();
        SetStatusCallback(nullptr);
        ASSERT_TRUE(OpenPort("\\\\.\\COM1"));
        FakeClearTranscript();
    }
    void TearDown() override { ClosePort(); }
};

TEST_P(BootloaderTranscript, SendsAndReadsExactly) {
    const Case& c = GetParam();
    Script(c.replies);
    for (int32_t limit : c.writeLimits) {
        FakeQueueWrite(limit);
    }
    EXPECT_EQ(c.run() ? 0 : 1, c.result);
    EXPECT_EQ(FakeTranscript(), c.transcript);
    EXPECT_EQ(FakeQueuedReads(), c.unread);
}

INSTANTIATE_TEST_SUITE_P(Commands, BootloaderTranscript, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return std::string(info.param.name);
                         });

class BootloaderLink : public BootloaderTranscript {};

TEST_F(BootloaderLink, EveryCommandFailsWithoutWaitingWhenNoPortIsOpen) {
    ClosePort();
    FakeClearTranscript();
    bool (*const commands[])() = {BlSync,           BlWaitAck,  BlGetId,      BlReadoutUnprotect,
                                  BlWriteUnprotect, BlEraseAll, WriteBase256, BlWriteProtect,
                                  BlReadoutProtect};
    for (auto command : commands) {
        EXPECT_FALSE(command());
    }
    // Only BlSync's own pause, which comes before its byte; no attempt reached the line.
    EXPECT_EQ(FakeTranscript(), "~100");
}

int abortingPolls = 0;
int AbortAlways(int, intptr_t) {
    ++abortingPolls;
    return 1;
}

TEST_F(BootloaderLink, ReadMemoryDeliversTheBytes) {
    Script("79 79 79 01020408");
    ASSERT_TRUE(ReadSecondBlockFour());
    EXPECT_EQ(std::vector<uint8_t>(readBack, readBack + 4), std::vector<uint8_t>(kFour, kFour + 4));
}

TEST_F(BootloaderLink, ResumeSendsNothingMoreOnceStopped) {
    SetStatusCallback(AbortAlways);
    EXPECT_FALSE(BlSyncOrResume());
    EXPECT_EQ(FakeTranscript(), "~100"); // not even the sync byte
    SetStatusCallback(nullptr);
    abortingPolls = 0;
}

TEST_F(BootloaderLink, AnAbortSurfacesAsAFailedAcknowledgement) {
    SetStatusCallback(AbortAlways);
    Script("79 010410 79");
    EXPECT_FALSE(BlWaitAck());
    EXPECT_FALSE(BlGetId());
    EXPECT_EQ(FakeTranscript(), ">02FD"); // no read attempt was made
    EXPECT_EQ(abortingPolls, 2);
    SetStatusCallback(nullptr);
}

TEST(XorChecksum, FoldsBytesIntoTheSeed) {
    const uint8_t address[4] = {0x08, 0x00, 0x00, 0x00};
    EXPECT_EQ(XorChecksum(address, 4, 0), 0x08);
    EXPECT_EQ(XorChecksum(nullptr, 0, 0x5A), 0x5A);
    EXPECT_EQ(XorChecksum(kFf256, 256, 0xFF), 0xFF); // count byte 0xFF, even number of 0xFF
    EXPECT_EQ(XorChecksum(kFf256, 255, 0x00), 0xFF);
}

} // namespace
