// Intel HEX reader: record decoding, the upper address, and line reading.
#include "image/hex.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct Parsed {
    int result;
    uint32_t address;
    int length;
    std::vector<uint8_t> data;
};

// Parses text in place, as the programming run does: line and data share one buffer.
Parsed ParseInPlace(const std::string& text) {
    std::vector<char> buffer(text.begin(), text.end());
    buffer.resize(512, '\0');
    Parsed p{0, 0xDEADBEEF, -7, {}};
    p.result = ParseHexRecord(buffer.data(), reinterpret_cast<uint8_t*>(buffer.data()), &p.address,
                              &p.length);
    if (p.result == 1) {
        p.data.assign(buffer.begin(), buffer.begin() + p.length);
    }
    return p;
}

// The upper address in force, observed through a zero-offset data record.
uint32_t UpperAddressNow() {
    return ParseInPlace(":0400000001020304F2").address >> 16;
}

class HexRecord : public ::testing::Test {
  protected:
    void SetUp() override { ResetHexReader(); }
};

TEST_F(HexRecord, EndOfFileAndPlainDataRecord) {
    EXPECT_EQ(0, ParseInPlace(":00000001FF").result);
    const Parsed p = ParseInPlace(":0400000001020304F2");
    ASSERT_EQ(1, p.result);
    EXPECT_EQ(0u, p.address);
    EXPECT_EQ(4, p.length);
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 4}), p.data);
}

TEST_F(HexRecord, ExtendedLinearAddressPlacesLaterRecords) {
    const Parsed ela = ParseInPlace(":020000040800F2");
    EXPECT_EQ(-1, ela.result);
    EXPECT_EQ(0xDEADBEEFu, ela.address) << "a type 04 record writes no address";
    EXPECT_EQ(-7, ela.length);
    const Parsed p = ParseInPlace(":0400000001020304F2");
    ASSERT_EQ(1, p.result);
    EXPECT_EQ(0x08000000u, p.address);
    const Parsed q = ParseInPlace(":01123400AA0F   ");
    ASSERT_EQ(1, q.result) << "characters behind the checksum are ignored";
    EXPECT_EQ(0x08001234u, q.address);
    EXPECT_EQ((std::vector<uint8_t>{0xAA}), q.data);
}

TEST_F(HexRecord, LowerCaseDigitsDecodeLikeUpperCase) {
    EXPECT_EQ(0xABu, HexByte("ab"));
    EXPECT_EQ(0xABu, HexByte("AB"));
    EXPECT_EQ(0x09u, HexByte("09"));
    EXPECT_EQ(-1, ParseInPlace(":020000040800f2").result);
    EXPECT_EQ(0x0800u, UpperAddressNow());
    const Parsed p = ParseInPlace(":04fffe00deadbeefc7");
    ASSERT_EQ(1, p.result);
    EXPECT_EQ(0x0800FFFEu, p.address);
    EXPECT_EQ((std::vector<uint8_t>{0xDE, 0xAD, 0xBE, 0xEF}), p.data);
}

TEST_F(HexRecord, BadChecksumIsSkippedAndChangesNothing) {
    ParseInPlace(":020000040800F2");
    EXPECT_EQ(-1, ParseInPlace(":0400000001020304F3").result);
    EXPECT_EQ(-1, ParseInPlace(":020000041000EB").result) << "type 04 with a bad checksum";
    EXPECT_EQ(0x0800u, UpperAddressNow());
}

TEST_F(HexRecord, OtherRecordTypesAreSkippedAndChangeNothing) {
    for (const char* line : {":020000021000EC", ":0400000300003800C1", ":0400000508000000EF"}) {
        const Parsed p = ParseInPlace(line);
        EXPECT_EQ(-1, p.result) << line;
        EXPECT_EQ(0xDEADBEEFu, p.address) << line;
    }
    EXPECT_EQ(0u, UpperAddressNow()) << "a type 02 record must not move later data";
}

TEST_F(HexRecord, TypeFourTakesItsFirstTwoBytesOnly) {
    EXPECT_EQ(-1, ParseInPlace(":03000004080112DE").result);
    EXPECT_EQ(0x0801u, UpperAddressNow());
}

TEST_F(HexRecord, TypeFourWithoutItsTwoBytesLeavesUpperAddress) {
    ParseInPlace(":020000040800F2");
    EXPECT_EQ(-1, ParseInPlace(":0100000409F2").result);
    EXPECT_EQ(-1, ParseInPlace(":00000004FC").result);
    EXPECT_EQ(0x0800u, UpperAddressNow());
}

TEST_F(HexRecord, ZeroLengthDataRecord) {
    const Parsed p = ParseInPlace(":00123400BA");
    EXPECT_EQ(1, p.result);
    EXPECT_EQ(0x1234u, p.address);
    EXPECT_EQ(0, p.length);
}

TEST_F(HexRecord, ResetStartsTheNextFileBelow64KiB) {
    ParseInPlace(":020000040800F2");
    ResetHexReader();
    const Parsed p = ParseInPlace(":01123400AA0F");
    EXPECT_EQ(0x1234u, p.address);
}

TEST_F(HexRecord, NotARecord) {
    for (const char* line : {"", " :00000001FF", "00000001FF", "; comment", "\x80"}) {
        EXPECT_EQ(-1, ParseInPlace(line).result) << '"' << line << '"';
    }
}

// A record whose line ends before its own byte count says: the reader must not look past
// the NUL. Each line is placed at the very end of an exact-size heap block, so that
// AddressSanitizer catches any read beyond it.
TEST_F(HexRecord, ShortLinesAreSkippedWithoutReadingPastTheirEnd) {
    const char* lines[] = {":",
                           ":0",
                           ":00",
                           ":000000",
                           ":000000010",
                           ":00000001F",
                           ":0400000001020304",
                           ":0400000001020304F",
                           ":FF000000",
                           ":02000004080"};
    for (const char* line : lines) {
        const size_t size = strlen(line) + 1;
        std::unique_ptr<char[]> exact(new char[size]);
        memcpy(exact.get(), line, size);
        uint8_t data[256];
        uint32_t address = 0;
        int length = 0;
        EXPECT_EQ(-1, ParseHexRecord(exact.get(), data, &address, &length)) << line;
    }
    EXPECT_EQ(0u, UpperAddressNow());
}

TEST_F(HexRecord, FullLengthRecordDecodesInPlace) {
    // 249 bytes: the longest record a 510-character line holds.
    std::string line = ":F9000000";
    uint8_t sum = 0xF9;
    for (int i = 0; i < 249; ++i) {
        char pair[3];
        snprintf(pair, sizeof pair, "%02X", (i * 7) & 0xFF);
        line += pair;
        sum = static_cast<uint8_t>(sum + ((i * 7) & 0xFF));
    }
    char check[3];
    snprintf(check, sizeof check, "%02X", static_cast<uint8_t>(0x100 - sum));
    line += check;
    ASSERT_EQ(509u, line.size());
    const Parsed p = ParseInPlace(line);
    ASSERT_EQ(1, p.result);
    ASSERT_EQ(249, p.length);
    for (int i = 0; i < 249; ++i) {
        ASSERT_EQ((i * 7) & 0xFF, p.data[i]) << "byte " << i;
    }
}

// ---- ReadTextLine ---------------------------------------------------------------------

struct TempStream {
    FILE* file;
    explicit TempStream(const std::string& content) : file(tmpfile()) {
        fwrite(content.data(), 1, content.size(), file);
        rewind(file);
    }
    ~TempStream() { fclose(file); }
};

// Every line ReadTextLine delivers until it returns 0.
std::vector<std::string> ReadAllLines(const std::string& content, int capacity) {
    TempStream stream(content);
    std::vector<char> buffer(capacity + 1, '#');
    std::vector<std::string> lines;
    while (ReadTextLine(stream.file, buffer.data(), capacity) == 1) {
        EXPECT_EQ('#', buffer[capacity]) << "wrote behind capacity";
        lines.emplace_back(buffer.data());
    }
    return lines;
}

TEST(HexReadTextLine, CrLfYieldsAnEmptyLineAfterEachRecord) {
    const auto lines = ReadAllLines(":020000040800F2\r\n:00000001FF\r\n", 511);
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ(":020000040800F2", lines[0]);
    EXPECT_EQ("", lines[1]);
    EXPECT_EQ(":00000001FF", lines[2]);
    EXPECT_EQ("", lines[3]);
    EXPECT_EQ(-1, ParseInPlace(lines[1]).result);
}

TEST(HexReadTextLine, LastLineWithoutTerminatorIsDropped) {
    const auto lines = ReadAllLines("first\nsecond", 511);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("first", lines[0]);
    EXPECT_TRUE(ReadAllLines("", 511).empty());
}

TEST(HexReadTextLine, LongLinesAreCutAtCapacity) {
    const std::string exact(510, 'a');
    auto lines = ReadAllLines(exact + "\n", 511);
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(exact, lines[0]);
    EXPECT_EQ("", lines[1]);

    lines = ReadAllLines(std::string(510, 'b') + "ccccc\n", 511);
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(std::string(510, 'b'), lines[0]);
    EXPECT_EQ("ccccc", lines[1]);
}

TEST(HexReadTextLine, CapacityOneStoresAnEmptyLineWithoutReading) {
    TempStream stream("xy\n");
    char buffer[2] = {'#', '#'};
    EXPECT_EQ(1, ReadTextLine(stream.file, buffer, 1));
    EXPECT_EQ('\0', buffer[0]);
    EXPECT_EQ('x', fgetc(stream.file)) << "nothing was consumed";
}

TEST(HexReadTextLine, NulBytesAreStoredLikeOtherCharacters) {
    TempStream stream(std::string("a\0b\n", 4));
    char buffer[8];
    ASSERT_EQ(1, ReadTextLine(stream.file, buffer, sizeof buffer));
    EXPECT_EQ(0, memcmp(buffer, "a\0b\0", 4));
}

TEST(HexReadTextLine, RecordTooLongForTheLineArrivesAsTwoSkippedPieces) {
    // 250 data bytes need 511 characters; the run's lines hold 510.
    std::string record = ":FA000000" + std::string(500, '0') + "06";
    const auto lines = ReadAllLines(record + "\n", 511);
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(510u, lines[0].size());
    EXPECT_EQ(-1, ParseInPlace(lines[0]).result);
    EXPECT_EQ(-1, ParseInPlace(lines[1]).result);
}

} // namespace
