// Embedded image: the trailer tests, the description, the engine's ImageInfo report and
// scrambling.
#include "image/embedded.h"

#include "engine/program.h"
#include "engine/status.h"

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

// exeSize bytes of "executable", imageLength image bytes, the description, NUL, trailer.
Bytes Updater(uint32_t exeSize, uint32_t imageLength, const std::string& description) {
    Bytes file(exeSize + imageLength, 0x5A);
    file.insert(file.end(), description.begin(), description.end());
    file.push_back(0);
    return WithTrailer(file, exeSize, imageLength, exeSize + imageLength);
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

TEST_F(EmbeddedLoad, EachTrailerTestRejects) {
    const Bytes body(0x300, 0);
    const uint32_t size = 0x300 + 12;
    ExpectNoImage(WithTrailer(body, 0, 0x100, 0x100));             // no offset
    ExpectNoImage(WithTrailer(body, 0x100, 0x100, 0x201));         // infoOffset mismatch
    ExpectNoImage(WithTrailer(body, 0x100, 0x100, 0x1FF));         // infoOffset mismatch
    ExpectNoImage(WithTrailer(body, 0x200, 0x100, size - 12));     // infoOffset at the trailer
    ExpectNoImage(WithTrailer(body, size - 8, 0xFFFFFEFC, 0x200)); // imageOffset at S - 8
    ExpectNoImage(WithTrailer(body, 0x100, 0, 0x100));             // zero length
    ExpectNoImage(WithTrailer(body, 0xFFFFFF00, 0x200, 0x100));    // negative offset
    ExpectNoImage(WithTrailer(body, 0x200, 0xFFFFFF00, 0x100));    // negative length
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
    EXPECT_EQ(1, LoadEmbeddedImage((path + ".missing").c_str()));
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
