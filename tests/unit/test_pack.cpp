// The packer: image loading and flattening, the updater's exact layout, the round trip
// through the programmer's own loader, and refusals that leave no file behind.
#include "tools/pack/pack.h"

#include "image/embedded.h"
#include "tests/device/run_files.h"
#include "tests/unit/pe_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

uint32_t LittleEndianAt(const Bytes& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

Bytes Pattern(size_t size, unsigned seed) {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) {
        b[i] = static_cast<uint8_t>((i * 131 + seed) ^ (i >> 8));
    }
    return b;
}

Bytes FakeExe(size_t size) {
    Bytes exe = Pattern(size, 3);
    exe[0] = 'M';
    exe[1] = 'Z';
    return exe;
}

class Pack : public ::testing::Test {
  protected:
    fs::path dir;
    std::string message;

    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("zuva-pack-" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string Path(const char* name) const { return (dir / name).string(); }
    std::string Write(const char* name, const Bytes& bytes) {
        EXPECT_EQ(PackOk, WriteFileAtomically(Path(name).c_str(), bytes, &message));
        return Path(name);
    }
    std::string WriteText(const char* name, const std::string& text) {
        return Write(name, Bytes(text.begin(), text.end()));
    }
    // Only the files the test wrote itself remain: no output, no temporary file.
    void ExpectOnlyFiles(size_t count) const {
        EXPECT_EQ(count, static_cast<size_t>(
                             std::distance(fs::directory_iterator(dir), fs::directory_iterator())));
    }
};

TEST(PackDescription, LengthAndControlCharacters) {
    std::string message;
    EXPECT_EQ(PackOk, CheckDescription("", &message));
    EXPECT_EQ(PackOk, CheckDescription(std::string(242, 'x'), &message));
    EXPECT_EQ(PackRefused, CheckDescription(std::string(243, 'x'), &message));
    EXPECT_NE(std::string::npos, message.find("242"));
    for (const char bad : {'\n', '\r', '\0', '\t'}) {
        EXPECT_EQ(PackRefused, CheckDescription(std::string("ab") + bad + "cd", &message))
            << static_cast<int>(bad);
    }
    EXPECT_EQ(PackOk, CheckDescription("Release 2.4 \xE9t\xE9", &message));
}

TEST_F(Pack, ExampleUpdaterComesOutByteForByte) {
    const Bytes exe = FakeExe(28672);
    const Bytes image = Pattern(65536, 9);
    const std::string description = "Zuva firmware 2.4.1!";
    ASSERT_EQ(20u, description.size());
    Bytes updater;
    ASSERT_EQ(PackOk, BuildUpdater(exe, image, description, &updater, &message)) << message;
    ASSERT_EQ(94241u, updater.size());
    EXPECT_TRUE(std::equal(exe.begin(), exe.end(), updater.begin()));
    EXPECT_EQ(0, memcmp(updater.data() + 0x17000, description.c_str(), 21));
    EXPECT_EQ(0x7000u, LittleEndianAt(updater, 94241 - 12));
    EXPECT_EQ(0x10000u, LittleEndianAt(updater, 94241 - 8));
    EXPECT_EQ(0x17000u, LittleEndianAt(updater, 94241 - 4));

    Bytes stored(updater.begin() + 0x7000, updater.begin() + 0x17000);
    uint8_t chain = 0;
    for (size_t at = 0; at < stored.size(); at += 256) {
        DescrambleBlock(stored.data() + at, 256, &chain);
    }
    EXPECT_EQ(image, stored);
}

TEST_F(Pack, RoundTripThroughTheProgrammersLoader) {
    const std::string exe = Write("ZuvaFlash.exe", FakeExe(5000));
    const std::string bin = Write("fw.bin", Pattern(1000, 4));
    const std::string out = Path("updater.exe");
    ASSERT_EQ(PackOk, PackUpdater(exe.c_str(), bin.c_str(), "v1", out.c_str(), &message))
        << message;

    ASSERT_EQ(EmbeddedFound, LoadEmbeddedImage(out.c_str()));
    EXPECT_EQ(5000, GetEmbeddedImage().imageOffset);
    EXPECT_EQ(1024, GetEmbeddedImage().imageLength);
    EXPECT_STREQ("v1", GetEmbeddedImage().description);

    Bytes plain;
    ASSERT_EQ(PackOk, ExtractImage(out.c_str(), &plain, &message)) << message;
    Bytes expected = Pattern(1000, 4);
    expected.resize(1024, 0xFF);
    EXPECT_EQ(expected, plain);

    UpdaterInfo info;
    ASSERT_EQ(PackOk, ReadUpdaterInfo(out.c_str(), &info, &message));
    EXPECT_EQ("v1", info.description);
}

// A signed executable leaves its table, security entry and CheckSum behind; anything
// else is left as it is.
TEST(PackSignature, RemoveSignature) {
    using namespace pe_files;
    Bytes unsignedExe = Exe(0x400);
    Put(&unsignedExe, Checksum(), 0);
    Bytes trailing = Signed(Exe(0x400));
    trailing.push_back(0);
    Bytes trailingCleared = trailing;
    Put(&trailingCleared, SecurityEntry(trailing), 0);
    Put(&trailingCleared, SecurityEntry(trailing) + 4, 0);
    Put(&trailingCleared, Checksum(), 0);
    Bytes plus = Exe(0x404, kPe32Plus);
    Put(&plus, Checksum(), 0);
    plus.resize(0x408, 0);
    const struct {
        const char* what;
        Bytes exe;
        bool removed;
        Bytes expected;
    } cases[] = {
        {"unsigned", Exe(0x400), false, Exe(0x400)},
        {"no PE headers", FakeExe(0x400), false, FakeExe(0x400)},
        {"signed", Signed(Exe(0x400)), true, unsignedExe},
        {"signed PE32+, its padding kept", Signed(Exe(0x404, kPe32Plus)), true, plus},
        {"table not at the end", trailing, true, trailingCleared},
    };
    for (const auto& c : cases) {
        Bytes exe = c.exe;
        EXPECT_EQ(c.removed, RemoveSignature(&exe)) << c.what;
        EXPECT_EQ(c.expected, exe) << c.what;
    }
}

TEST_F(Pack, ImagesArePaddedToWholeBlocks) {
    Bytes image;
    ASSERT_EQ(PackOk, LoadImage(Write("one.bin", {0x42}).c_str(), &image, &message));
    ASSERT_EQ(256u, image.size());
    EXPECT_EQ(0x42, image[0]);
    EXPECT_EQ(0xFF, image[255]);
    ASSERT_EQ(PackOk, LoadImage(Write("block.bin", Bytes(512, 0)).c_str(), &image, &message));
    EXPECT_EQ(512u, image.size());
}

TEST_F(Pack, HexIsFlattenedFromFlashBaseWithGapsErased) {
    const std::string hex = WriteText("fw.HEX", ":020000040800F2\r\n"
                                                ":0400000001020304F2\r\n"
                                                ":0200100055AAEF\r\n"
                                                ":0400000508000000EF\r\n"
                                                ":00000001FF\r\n");
    Bytes image;
    ASSERT_EQ(PackOk, LoadImage(hex.c_str(), &image, &message)) << message;
    Bytes expected(256, 0xFF);
    expected[0] = 1, expected[1] = 2, expected[2] = 3, expected[3] = 4;
    expected[0x10] = 0x55, expected[0x11] = 0xAA;
    EXPECT_EQ(expected, image);
}

TEST_F(Pack, HexUpToTheEndOfFlash) {
    const std::string hex = WriteText("top.hex", ":020000040807EB\n"
                                                 ":02FFFE00BEEF54\n"
                                                 ":00000001FF\n");
    Bytes image;
    ASSERT_EQ(PackOk, LoadImage(hex.c_str(), &image, &message)) << message;
    ASSERT_EQ(512u * 1024, image.size());
    EXPECT_EQ(0xBE, image[512 * 1024 - 2]);
    EXPECT_EQ(0xFF, image[0]);
}

TEST_F(Pack, HexRefusals) {
    const struct {
        const char* name;
        const char* text;
        const char* reason;
    } cases[] = {
        {"below.hex", ":0400000001020304F2\n:00000001FF\n", "outside FLASH"},
        {"above.hex", ":020000040808EA\n:0100000001FE\n:00000001FF\n", "outside FLASH"},
        {"straddle.hex", ":020000040807EB\n:02FFFF00BEEF53\n:00000001FF\n", "outside FLASH"},
        {"checksum.hex", ":020000040800F2\n:0400000001020304F3\n:00000001FF\n",
         "line 2: bad checksum"},
        {"short.hex", ":020000040800F2\n:04000000010203\n:00000001FF\n", "line 2: record shorter"},
        {"junk.hex", ":020000040800F2\n:0200100055AAEF junk\n:00000001FF\n",
         "line 2: characters after the checksum"},
        {"joined.hex", ":00000001FF\n:010020007768\n", "line 2: record after the end-of-file"},
        {"ela.hex", ":0100000408F3\n:00000001FF\n", "without exactly two bytes"},
        {"mixed.Hex", ":00000001FF\n", "the extension names no image format"},
        {"segment.hex", ":020000021000EC\n:00000001FF\n", "segment"},
        {"noend.hex", ":020000040800F2\n:0400000001020304F2\n", "end-of-file record"},
        {"empty.hex", ":020000040800F2\n:00000001FF\n", "no data"},
    };
    for (const auto& c : cases) {
        Bytes image;
        message.clear();
        EXPECT_EQ(PackRefused, LoadImage(WriteText(c.name, c.text).c_str(), &image, &message))
            << c.name;
        EXPECT_NE(std::string::npos, message.find(c.reason)) << c.name << ": " << message;
    }
}

TEST_F(Pack, EmptyDataRecordAddsNothing) {
    const std::string hex = WriteText("zero.hex", ":020000040800F2\n:0000000000\n"
                                                  ":0400000001020304F2\n:00000001FF\n");
    Bytes image;
    ASSERT_EQ(PackOk, LoadImage(hex.c_str(), &image, &message)) << message;
    Bytes expected(256, 0xFF);
    expected[0] = 1, expected[1] = 2, expected[2] = 3, expected[3] = 4;
    EXPECT_EQ(expected, image);
}

// Special files end at once with an error, as an image and as the executable.
TEST_F(Pack, SpecialFilesAreRefusedAsInputs) {
    const std::string exe = Write("ZuvaFlash.exe", FakeExe(4096));
    const std::string bin = Write("fw.bin", Pattern(300, 1));
    for (const std::string& special : SpecialFiles()) {
        Bytes image;
        message.clear();
        // Without an extension an image is refused before the file is opened.
        EXPECT_EQ(PackRefused, LoadImage(special.c_str(), &image, &message)) << special;
        EXPECT_EQ(PackIoError,
                  PackUpdater(special.c_str(), bin.c_str(), "x", Path("out.exe").c_str(), &message))
            << special;
        EXPECT_EQ(PackRefused,
                  PackUpdater(exe.c_str(), special.c_str(), "x", Path("out.exe").c_str(), &message))
            << special;
    }
    ExpectOnlyFiles(2);
    RemoveScratch();
}

TEST_F(Pack, RefusalsLeaveNoOutput) {
    const std::string exe = Write("ZuvaFlash.exe", FakeExe(4096));
    const std::string bin = Write("fw.bin", Pattern(300, 1));
    const std::string empty = Write("empty.bin", {});
    const std::string big = Write("big.bin", Bytes(512 * 1024 + 1, 0));
    const std::string notExe = Write("readme.txt", Pattern(300, 2));
    const std::string missing = Path("missing.bin");
    const std::string out = Path("updater.exe");
    ASSERT_EQ(PackOk,
              PackUpdater(exe.c_str(), bin.c_str(), "ok", Path("packed.exe").c_str(), &message));
    const std::string packed = Path("packed.exe");

    const struct {
        const char* exe;
        const char* image;
        std::string description;
        PackResult result;
    } cases[] = {
        {exe.c_str(), bin.c_str(), std::string(243, 'x'), PackRefused},
        {exe.c_str(), bin.c_str(), "two\nlines", PackRefused},
        {exe.c_str(), empty.c_str(), "empty", PackRefused},
        {exe.c_str(), big.c_str(), "too big", PackRefused},
        {packed.c_str(), bin.c_str(), "twice", PackRefused},
        {notExe.c_str(), bin.c_str(), "not a program", PackRefused},
        {exe.c_str(), missing.c_str(), "missing", PackIoError},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.result, PackUpdater(c.exe, c.image, c.description, out.c_str(), &message))
            << c.description;
        EXPECT_FALSE(fs::exists(out)) << c.description;
    }
    ExpectOnlyFiles(6);
}

TEST_F(Pack, UnwritableOutputLeavesNoTemporaryFile) {
    const std::string exe = Write("ZuvaFlash.exe", FakeExe(4096));
    const std::string bin = Write("fw.bin", Pattern(256, 1));
    const std::string out = Path("no-such-dir/updater.exe");
    EXPECT_EQ(PackIoError, PackUpdater(exe.c_str(), bin.c_str(), "x", out.c_str(), &message));
    // The output path is a directory: the temporary file is written, the rename fails.
    fs::create_directories(dir / "taken.exe");
    EXPECT_EQ(PackIoError,
              PackUpdater(exe.c_str(), bin.c_str(), "x", Path("taken.exe").c_str(), &message));
    EXPECT_TRUE(fs::is_directory(dir / "taken.exe"));
    ExpectOnlyFiles(3);
}

TEST_F(Pack, ExistingOutputIsReplacedWhole) {
    const std::string exe = Write("ZuvaFlash.exe", FakeExe(4096));
    const std::string bin = Write("fw.bin", Pattern(256, 1));
    const std::string out = Write("updater.exe", Bytes(200000, 0xEE));
    ASSERT_EQ(PackOk, PackUpdater(exe.c_str(), bin.c_str(), "new", out.c_str(), &message))
        << message;
    EXPECT_EQ(4096u + 256 + 4 + 12, fs::file_size(out));
    ExpectOnlyFiles(3);
}

TEST_F(Pack, InfoAndExtractRefuseAPlainExecutable) {
    const std::string exe = Write("ZuvaFlash.exe", FakeExe(4096));
    UpdaterInfo info;
    Bytes image;
    EXPECT_EQ(PackRefused, ReadUpdaterInfo(exe.c_str(), &info, &message));
    EXPECT_EQ(PackRefused, ExtractImage(exe.c_str(), &image, &message));
    EXPECT_EQ(PackIoError, ReadUpdaterInfo(Path("missing.exe").c_str(), &info, &message));
}

} // namespace
