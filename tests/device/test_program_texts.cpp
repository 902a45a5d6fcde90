// Result texts, the extension rule and the format table: exact answers.
#include "engine/program.h"

#include <gtest/gtest.h>
#include <cerrno>
#include <cstring>
#include <string>

TEST(ResultMessage, EveryListedClassHasItsText) {
    const struct {
        ResultCode code;
        const char* text;
    } cases[] = {
        {kResultOk, "Finished OK"},
        {kResultCantOpenPort, "Can't open port"},
        {kResultCantOpenFile, "Can't open file"},
        {kResultInvalidFormat, "Invalid file format"},
        {kResultCommError, "Communication error"},
        {kResultNotPresent, "Zuva not present"},
        {kResultCantProtect, "Can't protect device"},
        {kResultCantUnprotect, "Can't unprotect device"},
        {kResultCantErase, "Can't erase device"},
        {kResultVerifyFailed, "Verify failed"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(ResultMessage(c.code), c.text) << std::hex << c.code;
    }
}

TEST(ResultMessage, OnlyTheClassCounts) {
    EXPECT_STREQ(ResultMessage(0xFFFF), "Finished OK");
    EXPECT_STREQ(ResultMessage(0x1), "Finished OK");
    EXPECT_STREQ(ResultMessage(0x4FFFF), "Communication error");
    EXPECT_STREQ(ResultMessage(0xB1234), "Can't erase device");
}

TEST(ResultMessage, UnlistedClassesAreUnknown) {
    for (ResultCode code : {0x50000u, 0x60000u, 0x70000u, 0xE0000u, 0xFFFF0000u, 0x100000u}) {
        EXPECT_STREQ(ResultMessage(code), "Unknown error") << std::hex << code;
    }
}

TEST(FormatFromExtension, ExactSpellingsInEitherCase) {
    const struct {
        const char* lower;
        const char* upper;
        ImageFormat format;
    } cases[] = {
        {"bin", "BIN", ImageFormat::Binary},   {"exe", "EXE", ImageFormat::Binary},
        {"hex", "HEX", ImageFormat::IntelHex}, {"srec", "SREC", ImageFormat::SRecord},
        {"s19", "S19", ImageFormat::SRecord},  {"s28", "S28", ImageFormat::SRecord},
        {"s37", "S37", ImageFormat::SRecord},  {"mot", "MOT", ImageFormat::SRecord},
        {"elf", "ELF", ImageFormat::Elf},      {"axf", "AXF", ImageFormat::Elf},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatFromExtension(c.lower), c.format) << c.lower;
        EXPECT_EQ(FormatFromExtension(c.upper), c.format) << c.upper;
        EXPECT_NE(std::string(FormatList()).find(c.lower), std::string::npos) << c.lower;
    }
    EXPECT_STREQ(FormatList(), "bin or exe (raw), hex (Intel HEX), srec, s19, s28, s37 or mot "
                               "(S-records), elf or axf (ELF)");
}

TEST(FormatFromExtension, EverythingElseIsNone) {
    for (const char* ext : {"Bin", "Hex", "bIN", "Exe", "enc", "", "bin ", " bin", "binx", "he",
                            "ihex", "hex\\x", "old\\image.bin", "Srec", "S19x", "s", "elF", "o"}) {
        EXPECT_EQ(FormatFromExtension(ext), ImageFormat::None) << '"' << ext << '"';
    }
    EXPECT_EQ(FormatFromExtension(nullptr), ImageFormat::None);
}

// Every way a run can end has its cause and next step, built from what the run found out.
TEST(ResultDetail, EveryOutcomeSaysWhyAndWhatNext) {
    auto with = [](auto change) {
        RunReport report;
        report.answered = true;
        report.productId = 0x412;
        report.imageBytes = 4096;
        change(report);
        return report;
    };
    const struct {
        ResultCode result;
        RunReport report;
        const char* expected;
    } cases[] = {
        {kResultOk, with([](RunReport&) {}),
         "STM32F10x low-density (product ID 0x412): 4096 bytes"},
        // One line: the port, the system's reason, the advice that fits it (the fake link's
        // texts "error N" and "Advice for N.").
        {kResultCantOpenPort, with([](RunReport& r) { r.portError = 2; }),
         "Cannot open COM3: error 2. Advice for 2."},
        {kResultCantOpenPort, with([](RunReport& r) { r.portError = r.linkError = 5; }),
         "The connection to COM3 failed before a bootloader answered: error 5. Advice for 5."},
        {kResultCantOpenPort, with([](RunReport& r) { r.modemLines = false; }),
         "The modem lines of COM3 cannot drive"},
        {kResultCantOpenFile, with([](RunReport& r) {
             r.plan.problem = PlanProblem::CantOpen;
             r.plan.systemError = 2;
         }),
         "Cannot open fw.hex: "},
        {kResultCantOpenFile, with([](RunReport& r) { r.plan.problem = PlanProblem::NotRegular; }),
         "fw.hex is not a regular file"},
        {kResultInvalidFormat, with([](RunReport& r) { r.noFormat = true; }),
         "fw.hex: the extension names no image format"},
        {kResultInvalidFormat, with([](RunReport& r) {
             r.plan.problem = PlanProblem::HexDamaged;
             r.plan.hexLine = 7;
             r.plan.hexWhy = "bad checksum";
         }),
         "fw.hex, line 7: bad checksum. Nothing was written"},
        {kResultInvalidFormat, with([](RunReport& r) {
             r.plan.problem = PlanProblem::OutsideFlash;
             r.plan.hexLine = 3;
             r.plan.outsideAddress = 0x20000000;
         }),
         "fw.hex, line 3: data at 0x20000000 lies outside FLASH (0x08000000 to 0x080FFFFF)"},
        {kResultInvalidFormat, with([](RunReport& r) {
             r.imageTooLarge = true;
             r.plan.imageEnd = 33 * 1024;
             r.flashMaxSize = 32 * 1024;
         }),
         "The image takes 33792 bytes of FLASH from 0x08000000, but an STM32F10x low-density "
         "(product ID 0x412) has at most 32768. Nothing was changed on the chip"},
        {kResultInvalidFormat, with([](RunReport& r) { r.plan.problem = PlanProblem::NoData; }),
         "fw.hex holds no data to write"},
        {kResultInvalidFormat, with([](RunReport& r) {
             r.plan.problem = PlanProblem::Overlap;
             r.plan.format = ImageFormat::SRecord;
             r.plan.otherLine = 2;
             r.plan.hexLine = 9;
             r.plan.outsideAddress = 0x08000104;
         }),
         "fw.hex, lines 2 and 9: both give 0x08000104, with different values. Nothing was "
         "written; rebuild the S-record file"},
        {kResultInvalidFormat, with([](RunReport& r) {
             r.plan.problem = PlanProblem::OutsideFlash;
             r.plan.format = ImageFormat::Elf;
             r.plan.hexLine = 1;
             r.plan.outsideAddress = 0x20000000;
         }),
         "fw.hex, segment 1: data at 0x20000000 lies outside FLASH"},
        {kResultInvalidFormat, with([](RunReport& r) {
             r.plan.problem = PlanProblem::ElfSegment;
             r.plan.hexLine = 2;
             r.plan.outsideAddress = 0x08000400;
             r.plan.hexWhy = "the segment runs past the file's end";
         }),
         "fw.hex, segment 2 at 0x08000400: the segment runs past the file's end."},
        {kResultInvalidFormat, with([](RunReport& r) {
             r.plan.problem = PlanProblem::ElfDamaged;
             r.plan.hexWhy = "not an ELF file for ARM";
         }),
         "fw.hex: not an ELF file for ARM. Nothing was written"},
        {kResultInvalidFormat,
         with([](RunReport& r) { r.plan.problem = PlanProblem::WindowsProgram; }),
         "fw.hex is a Windows program, not a firmware image; nothing was written. To program "
         "the image an updater carries, run the updater itself or give it to zuva-flash with "
         "--embedded."},
        {kResultInvalidFormat, with([](RunReport& r) { r.plan.problem = PlanProblem::ElfAsRaw; }),
         "fw.hex is an ELF file, not a raw image; nothing was written. Give the ELF file as the "
         "linker made it, with its .elf name"},
        {kResultCommError, with([](RunReport& r) {
             r.failedCommand = kCmdWriteMemory;
             r.failedAddress = 0x08000300;
         }),
         "The chip did not take the block at 0x08000300"},
        // A port that went away mid-run is named as such, never blamed on the chip.
        {kResultCommError, with([](RunReport& r) {
             r.failedCommand = kCmdWriteMemory;
             r.failedAddress = 0x08000300;
             r.changed = true;
             r.linkError = 5;
         }),
         "The connection to COM3 was lost during the block at 0x08000300: error 5. The chip may "
         "be left erased in part and unprotected; check that the adapter is still plugged in"},
        {kResultCantProtect, with([](RunReport& r) {
             r.failedCommand = kCmdWriteProtect;
             r.changed = true;
             r.linkError = 5;
         }),
         "The connection to COM3 was lost during Write Protect: error 5. The image is written, "
         "but the chip may not be protected"},
        {kResultNotPresent, with([](RunReport& r) { r.linkError = 5; }),
         "The connection to COM3 was lost during contact with the bootloader: error 5. Nothing "
         "was changed on the chip"},
        {kResultNotPresent, with([](RunReport& r) { r.answered = false; }),
         "No answer from a bootloader on COM3. Set BOOT0 high and reset the board, then try "
         "again."},
        {kResultNotPresent, with([](RunReport& r) { r.productId = 0x430; }),
         "Product ID 0x430 is an STM32F10x XL-density."},
        {kResultNotPresent, with([](RunReport& r) { r.productId = 0x413; }),
         "Product ID 0x413 is not an STM32F10x chip."},
        {kResultCantProtect, with([](RunReport& r) { r.failedCommand = kCmdReadoutProtect; }),
         "The chip did not carry out Readout Protect"},
        {kResultCantProtect, with([](RunReport& r) { r.stopped = true; }),
         "The run was stopped before anything on the chip was changed."},
        {kResultCantProtect, with([](RunReport& r) { r.stopped = r.changed = true; }),
         "The run was stopped: the chip is written in part and left unprotected."},
        {kResultCantUnprotect, with([](RunReport& r) { r.failedCommand = kCmdWriteUnprotect; }),
         "The chip did not carry out Write Unprotect"},
        {kResultCantErase, with([](RunReport& r) { r.failedCommand = kCmdErase; }),
         "The chip did not erase its FLASH"},
        {kResultVerifyFailed, with([](RunReport& r) {
             r.mismatchAddress = 0x08000600;
             r.expected = 0x5A;
             r.found = 0xFF;
         }),
         "Verify failed at 0x08000600: the image holds 0x5A, the chip 0xFF."},
        {0x50000, with([](RunReport&) {}), "The run ended with the unknown result 0x50000."},
    };
    for (const auto& c : cases) {
        char text[400];
        ResultDetail(c.result, c.report, "COM3", "fw.hex", text, sizeof text);
        EXPECT_EQ(std::string(text).find(c.expected), 0u) << text;
        EXPECT_EQ(text[std::strlen(text) - 1], '.') << text; // whole sentences, never cut
    }
    // A name too long for the text gives way in its middle: the reason and advice stay,
    // and no character is split.
    RunReport tooLong;
    tooLong.plan.problem = PlanProblem::CantOpen;
    tooLong.plan.systemError = ENAMETOOLONG;
    std::string path = "/work/";
    for (int i = 0; i < 2000; ++i) {
        path += "\xC3\xA9"; // é
    }
    path += "/fw.hex";
    char text[1024];
    ResultDetail(kResultCantOpenFile, tooLong, "COM3", path.c_str(), text, sizeof text);
    const std::string shown = text;
    EXPECT_LT(shown.size(), sizeof text - 1);
    EXPECT_EQ(shown.rfind("Cannot open /work/\xC3\xA9", 0), 0u) << shown;
    EXPECT_NE(shown.find("\xC3\xA9\xE2\x80\xA6\xC3\xA9"), std::string::npos) << shown;
    EXPECT_NE(shown.find("/fw.hex: "), std::string::npos) << shown;
    EXPECT_EQ(shown.substr(shown.size() - 12), "may be read.") << shown;
    char small[8];
    ResultDetail(kResultNotPresent, RunReport{}, "COM3", "fw.hex", small, sizeof small);
    EXPECT_STREQ(small, "No answ");
}

TEST(PathExtension, TextBehindTheLastDotOfTheWholePath) {
    const struct {
        const char* path;
        const char* extension;
    } cases[] = {
        {"D:\\fw\\image.hex", "hex"},
        {"D:\\fw.old\\image", "old\\image"}, // the last dot may lie in a folder name
        {"image", ""},
        {"D:\\fw\\image", ""},
        {"image.", ""},
        {"archive.tar.BIN", "BIN"},
        {".hex", "hex"},
        {"/tmp/x.y/firmware.Hex", "Hex"},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(PathExtension(c.path), c.extension) << c.path;
    }
}

TEST(PathExtension, PointsIntoThePath) {
    const char* path = "C:\\tools\\ZuvaFlash.EXE";
    EXPECT_EQ(PathExtension(path), path + std::string(path).rfind('.') + 1);
    const char* bare = "ZuvaFlash";
    EXPECT_EQ(PathExtension(bare), bare + 9); // the NUL at its end
}
