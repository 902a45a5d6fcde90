// Result texts, the extension rule and the format table: exact answers.
#include "engine/program.h"

#include <gtest/gtest.h>
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
    for (ResultCode code : {0x50000u, 0x60000u, 0x70000u, 0xD0000u, 0xFFFF0000u, 0x100000u}) {
        EXPECT_STREQ(ResultMessage(code), "Unknown error") << std::hex << code;
    }
}

TEST(FormatFromExtension, SixExactSpellings) {
    EXPECT_EQ(FormatFromExtension("bin"), ImageFormat::Binary);
    EXPECT_EQ(FormatFromExtension("BIN"), ImageFormat::Binary);
    EXPECT_EQ(FormatFromExtension("exe"), ImageFormat::Binary);
    EXPECT_EQ(FormatFromExtension("EXE"), ImageFormat::Binary);
    EXPECT_EQ(FormatFromExtension("hex"), ImageFormat::IntelHex);
    EXPECT_EQ(FormatFromExtension("HEX"), ImageFormat::IntelHex);
}

TEST(FormatFromExtension, EverythingElseIsNone) {
    for (const char* ext : {"Bin", "Hex", "bIN", "Exe", "enc", "", "bin ", " bin", "binx", "he",
                            "ihex", "hex\\x", "old\\image.bin"}) {
        EXPECT_EQ(FormatFromExtension(ext), ImageFormat::None) << '"' << ext << '"';
    }
    EXPECT_EQ(FormatFromExtension(nullptr), ImageFormat::None);
}

// zuva-pack's reading of the same table: any case, the same words only.
TEST(FormatFromExtension, AnyCaseTakesMixedSpellingsOfTheSameWords) {
    const struct {
        const char* extension;
        ImageFormat format;
    } kCases[] = {
        {"Hex", ImageFormat::IntelHex}, {"hEX", ImageFormat::IntelHex},
        {"bIn", ImageFormat::Binary},   {"HEX", ImageFormat::IntelHex},
        {"hexx", ImageFormat::None},    {"he", ImageFormat::None},
        {"h\x05x", ImageFormat::None},  {"", ImageFormat::None},
    };
    for (const auto& c : kCases) {
        EXPECT_EQ(FormatFromExtension(c.extension, ExtensionCase::Any), c.format) << c.extension;
    }
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
