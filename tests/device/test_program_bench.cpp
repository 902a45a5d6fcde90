// Runs at the bench against the device model hosted in-process: the chip's own FLASH size
// bounds the image, --page-erase keeps what the image does not touch, --read saves FLASH
// into a file, --erase unlocks a chip. Every refusal leaves FLASH and protection as they
// were.
#include "engine/program.h"
#include "engine/serial.h"
#include "engine/status.h"
#include "image/image_out.h"
#include "tests/device/run_files.h"
#include "tests/fakes/fake_device.h"
#include "tests/fakes/fake_serial.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kOldProtection = 0xF;

std::string FileText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// What the scratch folder holds besides the image: a read's file, or what is left of one.
std::vector<std::string> LeftInScratch() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(ScratchDir())) {
        if (entry.path().filename() != "fw.bin") {
            names.push_back(entry.path().filename().string());
        }
    }
    return names;
}

// A read's bytes into a file, as zuva-flash keeps them.
bool SaveRead(const void* context, uint32_t address, const uint8_t* bytes, uint32_t length,
              int* error) {
    const char* path = static_cast<const std::string*>(context)->c_str();
    return WriteImageFile(path, OutputFormatForPath(path), address, bytes, length, error) ==
           OutputOk;
}

class BenchRun : public ::testing::Test {
  protected:
    void SetUp() override {
        ClosePort();
        FakeReset();
        SetStatusCallback(nullptr);
        config.density = DevDensity::Medium;
        config.flashSize = 64 * 1024;
        config.writeProtected = kOldProtection;
        config.flashImage = PatternBytes(config.flashSize, 77);
        config.uid = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
        RemoveScratch();
    }
    void TearDown() override {
        FakeDeviceDetach();
        EXPECT_FALSE(PortIsOpen());
        ClosePort();
        FakeReset();
        RemoveScratch();
    }
    ResultCode Write(size_t size, uint32_t address = kFlashBase) {
        image = PatternBytes(size, 5);
        options.rawBase = address;
        const std::string path = WriteScratchFile("fw.bin", image);
        EXPECT_EQ(FakeDeviceAttach(config), 0);
        const ResultCode result = ProgramDevice(path.c_str(), "bin", "COM4", options, &report);
        FakeDeviceDetach();
        return result;
    }
    ResultCode Read(const char* name, uint32_t address = kFlashBase, uint32_t length = 0) {
        readPath = (ScratchDir() / name).string();
        EXPECT_EQ(FakeDeviceAttach(config), 0);
        const ResultCode result =
            ReadDevice("COM4", address, length, SaveRead, &readPath, options, &report);
        FakeDeviceDetach();
        return result;
    }
    // FLASH and protection as the device started.
    void ExpectUnchanged() {
        EXPECT_EQ(DevFlash(), config.flashImage) << "FLASH changed";
        EXPECT_EQ(DevGetState().readoutProtected, config.readoutProtected);
        EXPECT_EQ(DevGetState().writeProtected, config.writeProtected);
    }

    DevConfig config;
    RunOptions options;
    RunReport report;
    std::vector<uint8_t> image;
    std::string readPath;
};

// Every refusal is decided once Get ID and the register read have answered: nothing after
// them reaches the chip, and no file is made.
TEST_F(BenchRun, RefusalsChangeNothingOnTheChip) {
    const struct {
        const char* name;
        DevDensity density;
        bool readoutProtected;
        bool pageErase;
        bool read; // a read of length bytes from address; else a write of a raw image
        uint32_t address;
        uint32_t length;
        ResultCode expected;
    } cases[] = {
        {"image past the size register", DevDensity::Medium, false, false, false, kFlashBase,
         100 * 1024, kResultInvalidFormat},
        {"address past the size register", DevDensity::Medium, false, false, false, 0x0800F000,
         8192, kResultInvalidFormat},
        {"page erase under read-out protection", DevDensity::Medium, true, true, false, kFlashBase,
         3000, kResultReadProtected},
        {"page erase past the 256th page", DevDensity::Xl, false, true, false, 0x0807F800, 4096,
         kResultInvalidFormat},
        {"read under read-out protection", DevDensity::Medium, true, false, true, kFlashBase, 0,
         kResultReadProtected},
        {"read past the size register", DevDensity::Medium, false, false, true, 0x0800FF00, 512,
         kResultInvalidFormat},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        config.density = c.density;
        config.flashSize = c.density == DevDensity::Xl ? 1024 * 1024 : 64 * 1024;
        config.flashImage = PatternBytes(config.flashSize, 77);
        config.readoutProtected = c.readoutProtected;
        options.anyF10x = true;
        options.pageErase = c.pageErase;
        EXPECT_EQ(c.read ? Read("out.hex", c.address, c.length) : Write(c.length, c.address),
                  c.expected);
        EXPECT_EQ(DeviceCommands(), (std::vector<std::string>{"sync", "Get ID", "Read Memory"}));
        ExpectUnchanged();
        EXPECT_EQ(LeftInScratch(), std::vector<std::string>{});
        EXPECT_EQ(report.readoutProtected, c.readoutProtected);
        EXPECT_EQ(report.flashKib, c.readoutProtected ? 0 : config.flashSize / 1024);
    }
}

// A protected chip shows its size only once unprotected, which erased it: the image is
// refused before any erase or write, and the cause says what happened.
TEST_F(BenchRun, AProtectedChipTooSmallIsRefusedRightAfterTheUnprotect) {
    config.readoutProtected = true;
    EXPECT_EQ(Write(100 * 1024), kResultInvalidFormat);
    EXPECT_EQ(DeviceCommands(),
              (std::vector<std::string>{"sync", "Get ID", "Read Memory", "Readout Unprotect",
                                        "sync", "Read Memory"}));
    EXPECT_EQ(DevGetState().counters.blocksWritten, 0u);
    EXPECT_EQ(report.flashKib, 64);
    char text[512];
    ResultDetail(kResultInvalidFormat, report, "COM4", "fw.bin", text, sizeof text);
    EXPECT_NE(std::string(text).find("102400 bytes"), std::string::npos) << text;
    EXPECT_NE(std::string(text).find("64 KiB"), std::string::npos) << text;
    EXPECT_NE(std::string(text).find("erased the chip"), std::string::npos) << text;
}

// A chip that still refuses its registers once unprotected is held to its family's
// FLASH, as before the register was read, and programmed.
TEST_F(BenchRun, RegistersRefusedAfterTheUnprotectFallBackToTheFamily) {
    config.readoutProtected = true;
    config.faults = {DevFault{kCmdReadMemory, 2, DevFaultKind::Nack, 1}};
    EXPECT_EQ(Write(3000), kResultOk);
    EXPECT_EQ(report.flashKib, 0);
    EXPECT_FALSE(report.uidRead);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), DevFlash().begin()));
}

// An application behind a 16 KiB boot loader: only its pages are erased (1 KiB pages on a
// medium-density chip, 2 KiB on a high-density one), the boot loader and the data behind
// it stay, and Go starts it at its own vector table.
TEST_F(BenchRun, PageEraseKeepsWhatTheImageDoesNotTouch) {
    const struct {
        DevDensity density;
        uint32_t erasedEnd; // the end of the last page the image touches
        uint32_t pages;
    } cases[] = {{DevDensity::Medium, 0x4C00, 3}, {DevDensity::High, 0x5000, 2}};
    options.pageErase = true;
    options.protect = false;
    options.go = true;
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.density));
        config.density = c.density;
        config.flashSize = c.density == DevDensity::High ? 256 * 1024 : 64 * 1024;
        config.flashImage = PatternBytes(config.flashSize, 77);
        ASSERT_EQ(Write(3000, 0x08004000), kResultOk);
        std::vector<uint8_t> expected = config.flashImage;
        std::fill(expected.begin() + 0x4000, expected.begin() + c.erasedEnd, 0xFF);
        std::copy(image.begin(), image.end(), expected.begin() + 0x4000);
        EXPECT_EQ(DevFlash(), expected);
        EXPECT_EQ(report.pagesErased, c.pages);
        EXPECT_EQ(DevGetState().counters.pagesErased, c.pages);
        std::vector<std::string> sent = DeviceCommands();
        EXPECT_EQ(std::vector<std::string>(sent.begin(), sent.begin() + 6),
                  (std::vector<std::string>{"sync", "Get ID", "Read Memory", "Write Unprotect",
                                            "sync", "Erase"}));
        EXPECT_EQ(std::count(sent.begin(), sent.end(), "Readout Unprotect"), 0);
        EXPECT_EQ(DevGetState().writeProtected, 0u);
        EXPECT_TRUE(DevGetState().running);
        EXPECT_NE(FakeTranscript().find(">21DE <79 >0800400048 <79"), std::string::npos);
    }
}

TEST_F(BenchRun, ReadSavesTheWholeFlashWithTheChipsFigures) {
    ASSERT_EQ(Read("all.bin"), kResultOk);
    EXPECT_EQ(FileText(readPath), std::string(config.flashImage.begin(), config.flashImage.end()));
    EXPECT_EQ(report.readLength, config.flashSize);
    EXPECT_EQ(report.flashKib, 64);
    EXPECT_TRUE(report.uidRead);
    EXPECT_TRUE(std::equal(config.uid.begin(), config.uid.end(), report.uid));
    ExpectUnchanged();
    for (const std::string& name : DeviceCommands()) {
        EXPECT_TRUE(name == "sync" || name == "Get ID" || name == "Read Memory") << name;
    }
}

// The three formats, byte for byte, for 20 bytes that cross a 16-byte record.
TEST_F(BenchRun, ReadWritesEachFormat) {
    config.flashImage.assign(0x120, 0xFF);
    for (uint8_t i = 0; i < 20; ++i) {
        config.flashImage[0x10C + i] = i;
    }
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"part.bin", std::string("\0\1\2\3\4\5\6\7\10\11\12\13\14\15\16\17\20\21\22\23", 20)},
        {"part.hex", ":020000040800F2\n:04010C0000010203E9\n:10011000040506070809"
                     "0A0B0C0D0E0F1011121327\n:00000001FF\n"},
        {"part.srec", "S3090800010C00010203DB\nS31508000110040506070809"
                      "0A0B0C0D0E0F1011121319\nS7050800010CE5\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(Read(c.name, 0x0800010C, 20), kResultOk);
        EXPECT_EQ(FileText(readPath), c.text);
    }
}

// The link dies halfway: class 4 with the address reached, and no file.
TEST_F(BenchRun, AReadThatStopsLeavesNoFile) {
    config.dieAfterBytes = 400;
    EXPECT_EQ(Read("cut.bin"), kResultCommError);
    EXPECT_EQ(report.failedCommand, kCmdReadMemory);
    EXPECT_GT(report.failedAddress, kFlashBase);
    EXPECT_EQ(LeftInScratch(), std::vector<std::string>{});
}

TEST_F(BenchRun, EraseUnlocksAndBlanksTheChip) {
    config.readoutProtected = true;
    EXPECT_EQ(FakeDeviceAttach(config), 0);
    ASSERT_EQ(EraseDevice("COM4", options, &report), kResultOk);
    FakeDeviceDetach();
    EXPECT_EQ(DeviceCommands(), (std::vector<std::string>{
                                    "sync", "Get ID", "Read Memory", "Readout Unprotect", "sync",
                                    "Read Memory", "Write Unprotect", "sync", "Erase"}));
    EXPECT_EQ(DevFlash(), std::vector<uint8_t>(config.flashSize, 0xFF));
    EXPECT_FALSE(DevGetState().readoutProtected);
    EXPECT_EQ(DevGetState().writeProtected, 0u);
    EXPECT_TRUE(report.uidRead);
}

} // namespace
