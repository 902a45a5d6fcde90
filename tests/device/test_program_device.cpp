// Whole programming runs against the device model hosted in-process: every outcome class,
// the address rules of both formats, progress and abort. FLASH is compared with the image
// every time, and every run must leave the port and the image file closed.
#include "engine/program.h"
#include "engine/serial.h"
#include "engine/status.h"
#include "image/embedded.h"
#include "tests/device/run_files.h"
#include "tests/fakes/fake_device.h"
#include "tests/fakes/fake_serial.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

namespace {

constexpr uint32_t kFullProtection = 0xFFFF; // sectors 0 to 15

// ---- Status callback: records progress, answers abort from a chosen report on ----
std::vector<int> progressReports;
int abortAtPercent = 0; // 0: never
bool aborted = false;
int polls = 0;

int RecordStatus(int kind, intptr_t value) {
    if (kind == Poll) {
        ++polls;
    }
    if (kind == Progress) {
        progressReports.push_back(static_cast<int>(value));
        if (abortAtPercent != 0 && value >= abortAtPercent) {
            aborted = true;
        }
    }
    return aborted ? 1 : 0; // final once given
}

// ---- Intel HEX text of an image, as a linker's tools write it ----
// Data records of recordSize bytes from address, with type 04 records where the upper
// half changes (none when withUpper is false), then an end record.
std::string HexImage(const std::vector<uint8_t>& bytes, uint32_t address, size_t recordSize,
                     bool withUpper = true, const char* eol = "\n") {
    std::string text;
    int upper = -1;
    for (size_t at = 0; at < bytes.size(); at += recordSize) {
        uint32_t a = address + static_cast<uint32_t>(at);
        if (withUpper && static_cast<int>(a >> 16) != upper) {
            upper = static_cast<int>(a >> 16);
            const uint8_t ela[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
            text += HexLine(4, 0, ela, 2) + eol;
        }
        size_t n = std::min(recordSize, bytes.size() - at);
        text += HexLine(0, static_cast<uint16_t>(a), bytes.data() + at, n) + eol;
    }
    return text;
}
const std::string kEndRecord = ":00000001FF\n";
const std::string kUpper0800 = ":020000040800F2\n";

// ---- Updater file: executable bytes, scrambled image, description, trailer ----
std::string WriteUpdater(const std::string& name, const std::vector<uint8_t>& exe,
                         const std::vector<uint8_t>& image, const std::string& description) {
    std::vector<uint8_t> file = exe;
    std::vector<uint8_t> stored = image;
    uint8_t chain = 0;
    ScrambleBlock(stored.data(), static_cast<uint32_t>(stored.size()), &chain);
    file.insert(file.end(), stored.begin(), stored.end());
    file.insert(file.end(), description.begin(), description.end());
    file.push_back(0);
    const uint32_t trailer[3] = {static_cast<uint32_t>(exe.size()),
                                 static_cast<uint32_t>(image.size()),
                                 static_cast<uint32_t>(exe.size() + image.size())};
    for (uint32_t v : trailer) {
        for (int shift = 0; shift < 32; shift += 8) {
            file.push_back(static_cast<uint8_t>(v >> shift));
        }
    }
    return WriteScratchFile(name, file);
}

class DeviceRun : public ::testing::Test {
  protected:
    void SetUp() override {
        ClosePort();
        FakeReset();
        progressReports.clear();
        abortAtPercent = 0;
        aborted = false;
        polls = 0;
        SetStatusCallback(RecordStatus);
        freeFd = LowestFreeFd();
    }
    void TearDown() override {
        FakeDeviceDetach();
        EXPECT_FALSE(PortIsOpen());
        EXPECT_EQ(FakeDeviceOpens(), FakeDeviceCloses()) << "port left open";
        EXPECT_EQ(LowestFreeFd(), freeFd) << "the run left a file open";
        EXPECT_EQ(FakeGetCounts().strayCalls, 0);
        ClosePort();
        FakeReset();
        RemoveScratch();
    }

    ResultCode Run(const std::string& path, const char* extension) {
        EXPECT_EQ(FakeDeviceAttach(config), 0);
        ResultCode result = ProgramDevice(path.c_str(), extension, "\\\\.\\COM4", options);
        FakeDeviceDetach();
        EXPECT_EQ(DevGetState().counters.unalignedWrites, 0u)
            << "the device saw an unaligned write";
        return result;
    }

    // FLASH holds bytes at address and is erased everywhere else.
    void ExpectFlash(const std::vector<uint8_t>& bytes, uint32_t address = kFlashBase) {
        const std::vector<uint8_t>& flash = DevFlash();
        size_t at = address - kFlashBase;
        ASSERT_LE(at + bytes.size(), flash.size());
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), flash.begin() + at))
            << "FLASH differs from the image";
        size_t erased = std::count(flash.begin(), flash.end(), 0xFF);
        size_t erasedInImage = std::count(bytes.begin(), bytes.end(), 0xFF);
        EXPECT_EQ(erased, flash.size() - bytes.size() + erasedInImage)
            << "bytes outside the image were programmed";
    }
    // A healthy run never waits in vain: one read attempt comes back empty, the wait for
    // anything late after the last block, and the only pauses are the four before the
    // sync bytes.
    static void ExpectNoIdleWaits() {
        int empty = 0;
        for (const FakeReadAttempt& read : FakeReads()) {
            EXPECT_GE(read.result, 0) << "a read attempt failed";
            empty += read.result == 0 ? 1 : 0;
        }
        EXPECT_EQ(empty, 1) << "a read attempt ran empty";
        EXPECT_EQ(FakeSleeps(), (std::vector<uint32_t>{100, 100, 100, 100}));
    }
    void ExpectProtected() {
        DevState s = DevGetState();
        EXPECT_TRUE(s.readoutProtected);
        EXPECT_EQ(s.writeProtected, kFullProtection);
    }
    void ExpectUnprotected() {
        DevState s = DevGetState();
        EXPECT_FALSE(s.readoutProtected);
        EXPECT_EQ(s.writeProtected, 0u);
    }

    static std::vector<std::string> Prelude() {
        return {"sync", "Get ID",          "Read Memory", "Readout Unprotect",
                "sync", "Write Unprotect", "sync",        "Erase"};
    }
    static std::vector<std::string> Join(std::vector<std::string> a,
                                         const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
    static std::vector<std::string> Writes(size_t n) {
        return std::vector<std::string>(n, "Write Memory");
    }
    static std::vector<std::string> Protection() {
        return {"Write Protect", "sync", "Readout Protect"};
    }

    DevConfig config;
    RunOptions options;
    int freeFd = -1;
};

// ---- Raw images ----

TEST_F(DeviceRun, RawImageOf64KiBIsWrittenAndProtected) {
    std::vector<uint8_t> image = PatternBytes(65536);
    EXPECT_EQ(Run(WriteScratchFile("fw.bin", image), "bin"), kResultOk);
    ExpectFlash(image);
    ExpectProtected();
    EXPECT_EQ(DeviceCommands(), Join(Join(Prelude(), Writes(256)), Protection()));
    ExpectNoIdleWaits();
    ASSERT_EQ(progressReports.size(), 257u); // one per block and one before the empty read
    EXPECT_EQ(progressReports.front(), 1);
    EXPECT_EQ(progressReports.back(), 101);
    EXPECT_TRUE(std::is_sorted(progressReports.begin(), progressReports.end()));
}

TEST_F(DeviceRun, RawImagesAreWrittenWholeWithTheTailPaddedToAWord) {
    const struct {
        size_t size;
        std::vector<int> progress;
    } cases[] = {
        {100, {1, 101}},
        {300, {1, 86, 101}},
        {1001, {1, 26, 51, 77, 101}}, // 1004 bytes: the tail padded to a word
        {4096, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        progressReports.clear();
        std::vector<uint8_t> image = PatternBytes(c.size, 3);
        EXPECT_EQ(Run(WriteScratchFile("fw.bin", image), "bin"), kResultOk);
        ExpectFlash(image);
        ExpectProtected();
        EXPECT_EQ(DevGetState().counters.blocksWritten, (c.size + 255) / 256);
        if (!c.progress.empty()) {
            EXPECT_EQ(progressReports, c.progress);
        }
    }
}

TEST_F(DeviceRun, ErasedBlocksCountForProgressButAreNotSent) {
    std::vector<uint8_t> image = PatternBytes(1024, 3);
    std::fill(image.begin() + 256, image.begin() + 768, 0xFF);
    EXPECT_EQ(Run(WriteScratchFile("fw.bin", image), "bin"), kResultOk);
    ExpectFlash(image);
    EXPECT_EQ(DevGetState().counters.blocksWritten, 2u);
    EXPECT_EQ(progressReports, (std::vector<int>{1, 26, 51, 76, 101}));
}

// Refused files: the port is opened and closed again, and not one byte reaches the device.
TEST_F(DeviceRun, UnusableFilesAreRefusedBeforeAnyByteIsSent) {
    struct Case {
        std::string path;
        const char* extension;
        ResultCode expected;
    };
    std::vector<Case> cases = {
        {WriteScratchFile("empty.bin", {}), "bin", kResultInvalidFormat},
        {WriteScratchText("empty.hex", ""), "hex", kResultInvalidFormat},
        {WriteScratchText("low.hex", HexImage(PatternBytes(64), 0, 16, false) + kEndRecord), "hex",
         kResultInvalidFormat},
        {WriteScratchText("ram.hex", HexImage(PatternBytes(64), 0x20000000, 16) + kEndRecord),
         "hex", kResultInvalidFormat},
        {WriteScratchText("text.hex", "not a HEX file\n"), "hex", kResultInvalidFormat},
        {WriteScratchText("damaged.hex", kUpper0800 + ":0400000001020304F3\n" + kEndRecord), "hex",
         kResultInvalidFormat},
        {WriteScratchText("short.hex", kUpper0800 + ":04000000010203\n"), "hex",
         kResultInvalidFormat},
        {WriteScratchText("joined.hex", HexImage(PatternBytes(64), kFlashBase, 16) + kEndRecord +
                                            HexImage(PatternBytes(64), 0x08004000, 16) +
                                            kEndRecord),
         "hex", kResultInvalidFormat},
        {WriteScratchText("open.hex", HexImage(PatternBytes(64), kFlashBase, 16)), "hex",
         kResultInvalidFormat},
        {WriteScratchText("segment.hex", kUpper0800 + ":020000021000EC\n" + kEndRecord), "hex",
         kResultInvalidFormat},
        {WriteScratchText("colon.hex", kUpper0800 + HexLine(0, 0, PatternBytes(4)).substr(1) +
                                           "\n" + kEndRecord),
         "hex", kResultInvalidFormat},
        {WriteScratchText("options.hex", HexImage(PatternBytes(16), 0x1FFFF800, 16) + kEndRecord),
         "hex", kResultInvalidFormat},
        {WriteScratchText("overlap.hex", kUpper0800 + HexLine(0, 0, PatternBytes(8)) + "\n" +
                                             HexLine(0, 4, PatternBytes(8, 3)) + "\n" + kEndRecord),
         "hex", kResultInvalidFormat},
        {WriteScratchText("damaged.srec", "S1050000AABB00\nS9030000FC\n"), "srec",
         kResultInvalidFormat},
        {WriteScratchFile("updater.exe", {'M', 'Z', 0x90, 0}), "exe", kResultInvalidFormat},
        {WriteScratchFile("fw.bin", {0x7F, 'E', 'L', 'F', 1, 1, 1}), "bin", kResultInvalidFormat},
        {(ScratchDir() / "missing.bin").string(), "bin", kResultCantOpenFile},
    };
    for (const std::string& special : SpecialFiles()) {
        cases.push_back({special, "hex", kResultCantOpenFile});
        cases.push_back({special, "bin", kResultCantOpenFile});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(Run(c.path, c.extension), c.expected);
        EXPECT_TRUE(DevTranscript().empty());
        EXPECT_EQ(FakeDeviceOpens(), FakeDeviceCloses());
    }
}

// Only a Windows program's header makes an .exe no image.
TEST_F(DeviceRun, ExecutableWithoutAProgramsHeaderIsProgrammedRaw) {
    const std::vector<uint8_t> exe = PatternBytes(1024, 9);
    for (const char* ext : {"exe", "EXE"}) {
        EXPECT_EQ(Run(WriteScratchFile(std::string("tool.") + ext, exe), ext), kResultOk) << ext;
        ExpectFlash(exe);
        ExpectProtected();
    }
}

TEST_F(DeviceRun, MixedCaseExtensionsTouchNoPort) {
    std::string path = WriteScratchFile("fw.Bin", PatternBytes(256));
    for (const char* ext : {"Bin", "Hex", "Exe", "enc", ""}) {
        EXPECT_EQ(Run(path, ext), kResultInvalidFormat) << ext;
        EXPECT_EQ(FakeDeviceOpens(), 0u);
        EXPECT_TRUE(DevTranscript().empty());
    }
}

// An image that ends beyond the largest FLASH of the answering chip's family is refused
// once Get ID has answered, before anything that changes the chip: its old firmware and
// its protection stay.
TEST_F(DeviceRun, ImageBeyondTheFamilysFlashChangesNothing) {
    const struct {
        DevDensity density;
        bool anyF10x;
        size_t size;
    } cases[] = {
        {DevDensity::Low, false, 33 * 1024},
        {DevDensity::Medium, false, 128 * 1024 + 4},
        {DevDensity::Connectivity, true, 256 * 1024 + 256},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.density));
        config = DevConfig{};
        config.density = c.density;
        config.writeProtected = kFullProtection;
        config.flashImage = PatternBytes(8192, 77);
        options.anyF10x = c.anyF10x;
        RunReport report;
        const std::string path = WriteScratchFile("big.bin", PatternBytes(c.size, 5));
        ASSERT_EQ(FakeDeviceAttach(config), 0);
        EXPECT_EQ(ProgramDevice(path.c_str(), "bin", "COM4", options, &report),
                  kResultInvalidFormat);
        FakeDeviceDetach();
        EXPECT_TRUE(report.imageTooLarge);
        EXPECT_EQ(DeviceCommands(), (std::vector<std::string>{"sync", "Get ID", "Read Memory"}));
        ExpectFlash(config.flashImage);
        EXPECT_EQ(DevGetState().writeProtected, kFullProtection);
    }
}

TEST_F(DeviceRun, ProtectedDeviceWithOldContentsIsRecovered) {
    config.readoutProtected = true;
    config.writeProtected = 0xF;
    config.flashImage = PatternBytes(8192, 77);
    std::vector<uint8_t> image = PatternBytes(1024, 4);
    EXPECT_EQ(Run(WriteScratchFile("fw.bin", image), "bin"), kResultOk);
    ExpectFlash(image);
    ExpectProtected();
}

// Without a callback a run does just what it does with one: the same conversation with the
// device, the same FLASH and protection.
TEST_F(DeviceRun, RunWithoutCallbackCompletes) {
    std::vector<uint8_t> image = PatternBytes(2048);
    std::string path = WriteScratchFile("fw.bin", image);
    EXPECT_EQ(Run(path, "bin"), kResultOk); // with RecordStatus, registered by SetUp
    const std::vector<std::string> withCallback = DeviceCommands();
    const size_t reports = progressReports.size();
    ASSERT_GT(reports, 0u);
    SetStatusCallback(nullptr);
    EXPECT_EQ(Run(path, "bin"), kResultOk);
    EXPECT_EQ(DeviceCommands(), withCallback);
    ExpectFlash(image);
    ExpectProtected();
    EXPECT_EQ(progressReports.size(), reports);
}

// ---- Intel HEX ----

TEST_F(DeviceRun, HexRecordsAreCombinedIntoAlignedBlocks) {
    std::vector<uint8_t> image = PatternBytes(4096, 6);
    std::string text = HexImage(image, 0x08001000, 16) + kEndRecord;
    EXPECT_EQ(Run(WriteScratchText("fw.hex", text), "hex"), kResultOk);
    ExpectFlash(image, 0x08001000);
    EXPECT_EQ(DevGetState().counters.blocksWritten, 16u);
    ExpectProtected();
    ExpectNoIdleWaits();
    ASSERT_EQ(progressReports.size(), 17u); // one per block and one at the end
    EXPECT_EQ(progressReports.front(), 1);
    EXPECT_EQ(progressReports.back(), 101);
}

// Records of odd sizes at odd addresses, in shuffled order, overlapping: FLASH ends up as
// the file says, the later record winning, with every write whole words.
TEST_F(DeviceRun, HexRecordsAtOddAddressesInAnyOrder) {
    std::vector<uint8_t> expected(1200, 0xFF);
    std::vector<std::string> lines;
    std::vector<uint8_t> bytes = PatternBytes(1200, 7);
    for (size_t at = 3, n = 7; at + n < 1190; at += n + 2, n = n == 7 ? 13 : 7) {
        lines.push_back(HexLine(0, static_cast<uint16_t>(at), bytes.data() + at, n));
    }
    std::shuffle(lines.begin(), lines.end(), std::mt19937(42));
    std::string text = kUpper0800 + ":0400000508000000EF\n";
    for (const std::string& line : lines) {
        text += line + "\r\n";
    }
    // The same bytes given twice are fine.
    const std::vector<uint8_t> later(bytes.begin() + 5, bytes.begin() + 10);
    text += HexLine(0, 5, later.data(), later.size()) + "\n" + kEndRecord;
    for (size_t at = 3, n = 7; at + n < 1190; at += n + 2, n = n == 7 ? 13 : 7) {
        std::copy_n(bytes.begin() + at, n, expected.begin() + at);
    }
    std::copy(later.begin(), later.end(), expected.begin() + 5);
    EXPECT_EQ(Run(WriteScratchText("odd.HEX", text), "HEX"), kResultOk);
    ExpectFlash(expected);
    EXPECT_EQ(DevGetState().counters.blocksWritten, 5u);
    std::vector<std::string> addresses; // "address 0x08000100", in the order sent
    for (const DevFrame& f : DevTranscript()) {
        if (f.dir == DevDir::HostToDevice && f.note.rfind("address 0x08", 0) == 0) {
            addresses.push_back(f.note);
        }
    }
    ASSERT_EQ(addresses.size(), 5u);
    EXPECT_TRUE(std::is_sorted(addresses.begin(), addresses.end()));
    ExpectProtected();
}

// HEX data anywhere in FLASH is written, far past the first 64 KiB: 300 KiB on a
// high-density chip, in records of 32 bytes with a type 04 record every 64 KiB.
TEST_F(DeviceRun, HexDataAnywhereInFlashIsWritten) {
    config.density = DevDensity::High;
    std::vector<uint8_t> image = PatternBytes(300 * 1024, 8);
    std::string text = HexImage(image, kFlashBase, 32) + kEndRecord;
    EXPECT_EQ(Run(WriteScratchText("big.hex", text), "hex"), kResultOk);
    ExpectFlash(image);
    ExpectProtected();
    EXPECT_EQ(DevGetState().counters.blocksWritten, 1200u);
}

TEST_F(DeviceRun, ZeroLengthHexRecordAddsNothing) {
    std::vector<uint8_t> image = PatternBytes(16, 4);
    std::string text =
        kUpper0800 + HexLine(0, 0, image.data(), 16) + "\n" + ":00010000FF\n" + kEndRecord;
    EXPECT_EQ(Run(WriteScratchText("zero.hex", text), "hex"), kResultOk);
    ExpectFlash(image);
    ExpectProtected();
}

// ---- Failures, one per row of the table ----

struct FailureCase {
    const char* name;
    DevFault fault;
    ResultCode expected;
    std::vector<std::string> lastCommands; // what the device saw last
};

TEST_F(DeviceRun, EachFailingStepGivesItsClassAndSendsNothingMore) {
    auto nack = [](uint8_t command, uint32_t occurrence, uint8_t answer) {
        DevFault f;
        f.command = command;
        f.occurrence = occurrence;
        f.answer = answer;
        return f;
    };
    DevFault silentSync =
        nack(kDevFaultSync, 0, 1); // one silence is taken for a synchronised device
    silentSync.kind = DevFaultKind::Silent;
    DevFault silentRead = nack(kCmdReadMemory, 1, 1);
    silentRead.kind = DevFaultKind::Silent;
    const FailureCase cases[] = {
        {"sync NACK", nack(kDevFaultSync, 1, 1), kResultNotPresent, {"sync"}},
        {"sync silent", silentSync, kResultNotPresent, {"sync"}},
        {"get id refused", nack(kCmdGetId, 1, 1), kResultNotPresent, {"sync", "Get ID"}},
        {"get id reply", nack(kCmdGetId, 1, 2), kResultNotPresent, {"sync", "Get ID"}},
        {"registers silent", silentRead, kResultCommError, {"Get ID", "Read Memory"}},
        {"readout unprotect",
         nack(kCmdReadoutUnprotect, 1, 1),
         kResultCantUnprotect,
         {"Read Memory", "Readout Unprotect"}},
        {"readout unprotect done",
         nack(kCmdReadoutUnprotect, 1, 2),
         kResultCantUnprotect,
         {"Read Memory", "Readout Unprotect"}},
        {"resync after unprotect",
         nack(kDevFaultSync, 2, 1),
         kResultCantUnprotect,
         {"Readout Unprotect", "sync"}},
        {"write unprotect",
         nack(kCmdWriteUnprotect, 1, 2),
         kResultCantUnprotect,
         {"sync", "Write Unprotect"}},
        {"erase", nack(kCmdErase, 1, 1), kResultCantErase, Prelude()},
        {"erase done", nack(kCmdErase, 1, 2), kResultCantErase, Prelude()},
        {"block address", nack(kCmdWriteMemory, 3, 2), kResultCommError,
         Join(Prelude(), Writes(3))},
        {"block programmed", nack(kCmdWriteMemory, 2, 3), kResultCommError,
         Join(Prelude(), Writes(2))},
        {"write protect", nack(kCmdWriteProtect, 1, 2), kResultCantProtect,
         Join(Writes(1), {"Write Protect"})},
        {"resync after protect",
         nack(kDevFaultSync, 4, 1),
         kResultCantProtect,
         {"Write Protect", "sync"}},
        {"readout protect", nack(kCmdReadoutProtect, 1, 2), kResultCantProtect, Protection()},
    };
    std::vector<uint8_t> image = PatternBytes(1024, 12);
    std::string path = WriteScratchFile("fw.bin", image);
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        config.faults = {c.fault};
        EXPECT_EQ(Run(path, "bin"), c.expected);
        std::vector<std::string> seen = DeviceCommands();
        ASSERT_GE(seen.size(), c.lastCommands.size());
        EXPECT_TRUE(std::equal(c.lastCommands.rbegin(), c.lastCommands.rend(), seen.rbegin()))
            << "the run went on after the failing step";
        EXPECT_FALSE(PortIsOpen());
        EXPECT_EQ(LowestFreeFd(), freeFd);
        if (c.expected == kResultCommError || c.expected == kResultCantErase) {
            ExpectUnprotected();
        }
    }
}

// A doubled ACK after a block must not put every later answer one step late: the stray
// byte is dropped (and shown) before the next command, and a block refused after it, the
// last one too, ends the run as that refused block, protected or not.
std::vector<uint8_t> discardedBytes;

void CollectDiscarded(uint8_t, const uint8_t* bytes, uint32_t n) {
    discardedBytes.insert(discardedBytes.end(), bytes, bytes + std::min(n, kStepKeptBytes));
}

TEST_F(DeviceRun, AStrayAckBeforeARefusedBlockLeavesTheRefusalItsOwn) {
    DevFault doubled;
    doubled.command = kCmdWriteMemory;
    doubled.occurrence = 1;
    doubled.answer = 3;
    doubled.kind = DevFaultKind::ExtraAck;
    DevFault refused = doubled;
    refused.kind = DevFaultKind::Nack;
    const std::string path = WriteScratchFile("fw.bin", PatternBytes(1024, 15));
    SetStepObserver(CollectDiscarded);
    for (uint32_t refusedBlock : {2u, 4u}) { // the next block, the last one
        for (int variant = 0; variant < 4; ++variant) {
            const bool protect = variant % 2 == 0;
            // With timing the stray ACK comes one byte time after the answer, when the
            // next command is on its way: the link is a step ahead until a drain or the
            // wait after the last block meets a refusal, which may then be a block late.
            config.timing = variant >= 2;
            SCOPED_TRACE(std::to_string(refusedBlock) + (protect ? " protected" : " no-protect") +
                         (config.timing ? " timing" : ""));
            discardedBytes.clear();
            refused.occurrence = refusedBlock;
            config.faults = {doubled, refused};
            options.protect = protect;
            ASSERT_EQ(FakeDeviceAttach(config), 0);
            RunReport report;
            EXPECT_EQ(ProgramDevice(path.c_str(), "bin", "COM4", options, &report),
                      kResultCommError);
            FakeDeviceDetach();
            if (!config.timing) {
                EXPECT_EQ(report.failedAddress, kFlashBase + 256 * (refusedBlock - 1));
                EXPECT_EQ(discardedBytes, std::vector<uint8_t>{kAck});
            }
            char detail[256];
            ResultDetail(kResultCommError, report, "COM4", "fw.bin", detail, sizeof detail);
            EXPECT_NE(std::string(detail).find("did not take the block"), std::string::npos)
                << detail;
            ExpectUnprotected();
        }
    }
    SetStepObserver(nullptr);
}

TEST_F(DeviceRun, WrongProductIsNotPresent) {
    config.productId = 0x420;
    EXPECT_EQ(Run(WriteScratchFile("fw.bin", PatternBytes(256)), "bin"), kResultNotPresent);
    EXPECT_EQ(DeviceCommands(), (std::vector<std::string>{"sync", "Get ID"}));
}

// Every row of the chip table with the whole family asked for; without it the rows beyond
// low, medium and high density are not present, and nothing is sent after Get ID.
TEST_F(DeviceRun, TheWholeF10xFamilyOnRequest) {
    std::vector<uint8_t> image = PatternBytes(768, 2);
    std::string path = WriteScratchFile("fw.bin", image);
    for (int row = 0; row < static_cast<int>(std::size(kChips)); ++row) {
        SCOPED_TRACE(kChips[row].name);
        config.density = static_cast<DevDensity>(row);
        options.anyF10x = true;
        EXPECT_EQ(Run(path, "bin"), kResultOk);
        ExpectFlash(image);
        options.anyF10x = false;
        EXPECT_EQ(Run(path, "bin"), kChips[row].wholeFamilyOnly ? kResultNotPresent : kResultOk);
    }
}

// 700 KiB on an XL-density chip: past the first bank of 512 KiB.
TEST_F(DeviceRun, XlChipTakes700KiB) {
    config.density = DevDensity::Xl;
    options.anyF10x = true;
    std::vector<uint8_t> image = PatternBytes(700 * 1024, 9);
    EXPECT_EQ(Run(WriteScratchFile("xl.bin", image), "bin"), kResultOk);
    ExpectFlash(image);
    ExpectProtected();
}

TEST_F(DeviceRun, LinkDyingMidBlockIsACommunicationError) {
    config.dieInBlock = 3;
    std::vector<uint8_t> image = PatternBytes(2048, 13);
    EXPECT_EQ(Run(WriteScratchFile("fw.bin", image), "bin"), kResultCommError);
    ExpectFlash(std::vector<uint8_t>(image.begin(), image.begin() + 512));
    ExpectUnprotected();
}

// ---- Abort ----

TEST_F(DeviceRun, AbortInTheLoopEndsTheRunUnprotected) {
    abortAtPercent = 30;
    std::vector<uint8_t> image = PatternBytes(8192, 14);
    ResultCode result = Run(WriteScratchFile("fw.bin", image), "bin");
    EXPECT_NE(result, kResultOk);
    EXPECT_EQ(result, kResultCantProtect); // what a stop leaves: written in part, unprotected
    ExpectUnprotected();
    // Written: the blocks before the report that asked to stop, nothing after it.
    uint32_t written = DevGetState().counters.blocksWritten;
    EXPECT_EQ(written, static_cast<uint32_t>(progressReports.size() - 1));
    EXPECT_LT(written, 32u);
    ExpectFlash(std::vector<uint8_t>(image.begin(), image.begin() + written * 256));
    EXPECT_EQ(DeviceCommands(), Join(Prelude(), Writes(written))); // nothing after the stop
    EXPECT_GE(progressReports.back(), 30);
}

TEST_F(DeviceRun, AbortDuringHexLoopLeavesDeviceUnprotected) {
    abortAtPercent = 50;
    std::vector<uint8_t> image = PatternBytes(2048, 15);
    std::string text = HexImage(image, 0x08000000, 16) + kEndRecord;
    EXPECT_EQ(Run(WriteScratchText("fw.hex", text), "hex"), kResultCantProtect);
    ExpectUnprotected();
    EXPECT_LT(DevGetState().counters.blocksWritten, 8u);
}

// ---- Embedded image ----

class EmbeddedRun : public DeviceRun {
  protected:
    void TearDown() override {
        // The embedded image state lives for the process: clear it for later tests.
        LoadEmbeddedImage(WriteScratchFile("plain.exe", PatternBytes(64)).c_str());
        DeviceRun::TearDown();
    }
};

TEST_F(EmbeddedRun, UpdaterImageIsDescrambledAndWritten) {
    std::vector<uint8_t> exe = PatternBytes(28672, 21);
    std::vector<uint8_t> image = PatternBytes(65536, 22);
    std::string path = WriteUpdater("Update.exe", exe, image, "Demo firmware 2.0");
    ASSERT_EQ(LoadEmbeddedImage(path.c_str()), EmbeddedFound);
    for (int run = 0; run < 2; ++run) { // the chain starts again at 0 on every run
        progressReports.clear();
        EXPECT_EQ(Run(path, "exe"), kResultOk);
        ExpectFlash(image);
        ExpectProtected();
        ASSERT_EQ(progressReports.size(), 257u);
        EXPECT_EQ(progressReports.front(), 1);
        EXPECT_EQ(progressReports.back(), 101);
    }
}

TEST_F(EmbeddedRun, OnlyTheImageIsWrittenWhateverTheFileIsCalled) {
    // A description longer than a block: the run must stop at the image's end, not at the
    // file's. (An image of part of a block is no image: see test_embedded.)
    std::vector<uint8_t> image = PatternBytes(1024, 23);
    std::string path = WriteUpdater("Update.hex", PatternBytes(4096), image, std::string(300, 'd'));
    ASSERT_EQ(LoadEmbeddedImage(path.c_str()), EmbeddedFound);
    EXPECT_EQ(Run(path, "hex"), kResultOk);
    ExpectFlash(image);
    ExpectProtected();
    // An updater programs the window's chips only, whatever the run asks for.
    config.density = DevDensity::Xl;
    options.anyF10x = true;
    EXPECT_EQ(Run(path, "hex"), kResultNotPresent);
}

TEST_F(EmbeddedRun, UpdaterWithMixedCaseExtensionIsInvalid) {
    std::string path = WriteUpdater("Update.Exe", PatternBytes(4096), PatternBytes(256), "x");
    ASSERT_EQ(LoadEmbeddedImage(path.c_str()), EmbeddedFound);
    EXPECT_EQ(Run(path, PathExtension(path.c_str())), kResultInvalidFormat);
    EXPECT_EQ(FakeDeviceOpens(), 0u);
}

} // namespace
