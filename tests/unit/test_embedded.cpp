// Embedded image: the trailer tests, the description, the engine's ImageInfo report and
// scrambling.
#include "image/embedded.h"

#include "engine/program.h"
#include "engine/status.h"
#include "tests/unit/pe_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<std::string> reports;

int RecordReport(int kind, intptr_t value) {
    if (kind == ImageInfo) {
        reports.emplace_back(reinterpret_cast<const char*>(value));
    }
    return 1; // an abort answer must be ignored
}

void PutLittleEndian(Bytes* file, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        file->push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

Bytes WithTrailer(Bytes file, uint32_t imageOffset, uint32_t imageLength, uint32_t infoOffset) {
    PutLittleEndian(&file, imageOffset);
    PutLittleEndian(&file, imageLength);
    PutLittleEndian(&file, infoOffset);
    return file;
}

// exe, imageLength image bytes, the description, NUL, trailer.
Bytes Updater(Bytes exe, uint32_t imageLength, const std::string& description) {
    const auto exeSize = static_cast<uint32_t>(exe.size());
    exe.resize(exeSize + imageLength, 0x5A);
    exe.insert(exe.end(), description.begin(), description.end());
    exe.push_back(0);
    return WithTrailer(exe, exeSize, imageLength, exeSize + imageLength);
}

Bytes Updater(uint32_t exeSize, uint32_t imageLength, const std::string& description) {
    return Updater(Bytes(exeSize, 0x5A), imageLength, description);
}

// file with its last 12 bytes replaced by another trailer.
Bytes Retrailed(Bytes file, uint32_t imageOffset, uint32_t imageLength, uint32_t infoOffset) {
    file.resize(file.size() - 12);
    return WithTrailer(file, imageOffset, imageLength, infoOffset);
}

class EmbeddedLoad : public ::testing::Test {
  protected:
    std::string path;
    void SetUp() override {
        path = (std::filesystem::temp_directory_path() /
                ("zuva-embedded-" +
                 std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                 ".exe"))
                   .string();
        reports.clear();
        SetStatusCallback(RecordReport);
    }
    void TearDown() override { std::filesystem::remove(path); }

    int Load(const Bytes& content) {
        FILE* f = fopen(path.c_str(), "wb");
        if (!content.empty()) {
            fwrite(content.data(), 1, content.size(), f);
        }
        fclose(f);
        return LoadUpdaterImage(path.c_str()) ? 0 : 1;
    }
    // A success first, so that a failing load is seen to clear offset and length.
    void LoadValidFirst() {
        ASSERT_EQ(0, Load(Updater(0x200, 0x100, "old")));
        reports.clear();
    }
    void ExpectNoImage(const Bytes& content) {
        LoadValidFirst();
        EXPECT_EQ(1, Load(content));
        EXPECT_EQ(0, GetEmbeddedImage().imageOffset);
        EXPECT_EQ(0, GetEmbeddedImage().imageLength);
        EXPECT_TRUE(reports.empty());
    }
};

TEST_F(EmbeddedLoad, ExampleUpdaterIsFoundAndReportedOnce) {
    const Bytes file = Updater(0x7000, 0x10000, "Release 2.4 (Sept.)!");
    ASSERT_EQ(94241u, file.size());
    ASSERT_EQ(0, Load(file));
    EXPECT_EQ(0x7000, GetEmbeddedImage().imageOffset);
    EXPECT_EQ(0x10000, GetEmbeddedImage().imageLength);
    EXPECT_STREQ("Release 2.4 (Sept.)!", GetEmbeddedImage().description);
    ASSERT_EQ(1u, reports.size());
    EXPECT_EQ("Release 2.4 (Sept.)!", reports[0]);
}

TEST_F(EmbeddedLoad, ReportPassesTheModulesOwnBuffer) {
    SetStatusCallback([](int, intptr_t value) {
        reports.emplace_back(std::to_string(value));
        return 0;
    });
    ASSERT_EQ(0, Load(Updater(16, 256, "x")));
    ASSERT_EQ(1u, reports.size());
    EXPECT_EQ(std::to_string(reinterpret_cast<intptr_t>(GetEmbeddedImage().description)),
              reports[0]);
}

TEST_F(EmbeddedLoad, PlainExecutableCarriesNoImage) {
    Bytes plain(4096);
    for (size_t i = 0; i < plain.size(); ++i) {
        plain[i] = static_cast<uint8_t>(i * 31 + 7);
    }
    ExpectNoImage(plain);
}

// Where the trailer may stand and what it must hold, unsigned and signed: each file with
// the image offset found (0: none). Every image found is 0x200 bytes long.
TEST_F(EmbeddedLoad, TrailerPlacesAndChecks) {
    using namespace pe_files;
    // 0x400 bytes of program, 0x200 of image at 0x400, the description at 0x600. Each
    // trailer ends in zero bytes, which padding before a table must not hide.
    const Bytes plain = Updater(Exe(0x400), 0x200, "v1"); // 1 byte short of 8
    const Bytes signedOne = Signed(plain);
    const size_t entry = SecurityEntry(signedOne);
    const uint32_t table = Get(signedOne, entry);
    Bytes dirtyPadding = signedOne;
    dirtyPadding[table - 1] = 1;
    Bytes trailing = signedOne;
    trailing.push_back(0);
    Bytes gap = plain;
    gap.insert(gap.end() - 12, 'x');
    const struct {
        const char* what;
        Bytes file;
        int32_t offset;
        const char* description;
    } cases[] = {
        {"unsigned", plain, 0x400, "v1"},
        {"signed, 1 byte of padding", signedOne, 0x400, "v1"},
        {"signed, no padding", Signed(Updater(Exe(0x400), 0x200, "1.0")), 0x400, "1.0"},
        {"signed, 7 bytes of padding", Signed(Updater(Exe(0x400), 0x200, "v1.0")), 0x400, "v1.0"},
        {"signed PE32+", Signed(Updater(Exe(0x400, kPe32Plus), 0x200, "v1")), 0x400, "v1"},
        {"signed, padding not zero", dirtyPadding, 0, ""},
        {"signed, 8 bytes of padding", Signed(Updater(Exe(0x400), 0x200, "1.0"), 8), 0, ""},
        {"table past the end", With(signedOne, entry + 4, kTableSize + 8), 0, ""},
        {"table ends before the end", trailing, 0, ""},
        {"table named inside the table",
         With(With(signedOne, entry, table + 8), entry + 4, kTableSize - 8), 0, ""},
        {"no security directory", Signed(Updater(Exe(0x400, kPe32, 4), 0x200, "v1")), 0, ""},
        {"PE headers past the end", With(signedOne, 0x3C, 0xFFFFFFF0), 0, ""},
        {"signed, a partial block", Signed(Retrailed(plain, 0x480, 0x180, 0x600)), 0, ""},
        {"no offset", Retrailed(plain, 0, 0x600, 0x600), 0, ""},
        {"infoOffset one past", Retrailed(plain, 0x400, 0x200, 0x601), 0, ""},
        {"infoOffset one short", Retrailed(plain, 0x400, 0x200, 0x5FF), 0, ""},
        {"infoOffset at the trailer", Retrailed(plain, 0x403, 0x200, 0x603), 0, ""},
        {"zero length", Retrailed(plain, 0x600, 0, 0x600), 0, ""},
        {"partial block", Retrailed(plain, 0x480, 0x180, 0x600), 0, ""},
        {"negative offset", Retrailed(plain, 0xFFFFFF00, 0x200, 0x100), 0, ""},
        {"negative length", Retrailed(plain, 0x700, 0xFFFFFF00, 0x600), 0, ""},
        {"NUL inside the description", Updater(Exe(0x400), 0x200, std::string("a\0b", 3)), 0, ""},
        {"a byte between the NUL and the trailer", gap, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.offset == 0) {
            ExpectNoImage(c.file);
            continue;
        }
        reports.clear();
        EXPECT_EQ(0, Load(c.file));
        EXPECT_EQ(c.offset, GetEmbeddedImage().imageOffset);
        EXPECT_EQ(0x200, GetEmbeddedImage().imageLength);
        EXPECT_STREQ(c.description, GetEmbeddedImage().description);
        EXPECT_EQ(1u, reports.size());
    }
}

TEST_F(EmbeddedLoad, InfoOffsetJustBeforeTheTrailerIsAccepted) {
    // infoOffset = S - 13: an empty description, just its NUL.
    ASSERT_EQ(0, Load(Updater(0x100, 0x100, "")));
    EXPECT_STREQ("", GetEmbeddedImage().description);
    ASSERT_EQ(1u, reports.size());
    EXPECT_EQ("", reports[0]);
}

TEST_F(EmbeddedLoad, DescriptionEndsBehindItsFirstLf) {
    ASSERT_EQ(0, Load(Updater(0x100, 0x100, "first line\nsecond line")));
    EXPECT_STREQ("first line\n", GetEmbeddedImage().description);
    ASSERT_EQ(1u, reports.size());
    EXPECT_EQ("first line\n", reports[0]);
}

TEST_F(EmbeddedLoad, DescriptionIsCutAt255Characters) {
    ASSERT_EQ(0, Load(Updater(0x100, 0x100, std::string(300, 'd'))));
    EXPECT_EQ(std::string(255, 'd'), GetEmbeddedImage().description);
}

TEST_F(EmbeddedLoad, NoCallbackRegisteredStillFindsTheImage) {
    SetStatusCallback(nullptr);
    ASSERT_EQ(0, Load(Updater(0x100, 0x200, "quiet")));
    EXPECT_EQ(0x200, GetEmbeddedImage().imageLength);
    EXPECT_TRUE(reports.empty());
}

TEST_F(EmbeddedLoad, ShortAndMissingFiles) {
    ExpectNoImage(Bytes(11, 0));
    ExpectNoImage(Bytes());
    ExpectNoImage(WithTrailer({}, 0, 0, 0)); // 12 bytes, all zero
    LoadValidFirst();
    EXPECT_EQ(EmbeddedNone, LoadEmbeddedImage((path + ".missing").c_str()));
    EXPECT_EQ(0, GetEmbeddedImage().imageOffset);
}

// ---- scrambling -----------------------------------------------------------------------

TEST(EmbeddedScramble, DescrambleTwoBytesFromChainZero) {
    uint8_t block[2] = {0x12, 0xF0};
    uint8_t chain = 0;
    DescrambleBlock(block, 2, &chain);
    EXPECT_EQ(static_cast<uint8_t>(kScrambleKey - 0x12), block[0]);
    EXPECT_EQ(static_cast<uint8_t>((kScrambleKey - 0xF0) ^ 0x12), block[1]);
    EXPECT_EQ(0xF0, chain);
}

TEST(EmbeddedScramble, RoundTripAcrossBlocksEqualsOnePiece) {
    Bytes plain(256 * 5 + 256);
    for (size_t i = 0; i < plain.size(); ++i) {
        plain[i] = static_cast<uint8_t>((i * i) ^ (i >> 3));
    }
    Bytes stored = plain;
    uint8_t chain = 0;
    ScrambleBlock(stored.data(), static_cast<uint32_t>(stored.size()), &chain);
    EXPECT_NE(plain, stored);

    for (int run = 0; run < 2; ++run) { // a second run starts from chain 0 again
        Bytes blocks = stored;
        chain = 0;
        for (size_t at = 0; at < blocks.size(); at += 256) {
            DescrambleBlock(blocks.data() + at, 256, &chain);
        }
        EXPECT_EQ(plain, blocks) << "run " << run;
    }

    Bytes scrambledInBlocks = plain;
    chain = 0;
    for (size_t at = 0; at < scrambledInBlocks.size(); at += 256) {
        ScrambleBlock(scrambledInBlocks.data() + at, 256, &chain);
    }
    EXPECT_EQ(stored, scrambledInBlocks);
}

} // namespace
