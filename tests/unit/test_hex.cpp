// Intel HEX and S-record readers: a table of texts per reader with their verdicts (the
// records handed on, or the line and reason of a refusal), and the digits a record may
// hold.
#include "image/hex.h"
#include "image/srec.h"
#include "tests/device/run_files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Seen {
    uint32_t address;
    std::vector<uint8_t> data;
    bool operator==(const Seen&) const = default;
};

struct Outcome {
    ReadResult result = ReadResult::Ok;
    std::vector<Seen> records;
    HexProblem problem;
};

// Reads text from an exact-size heap block, so that AddressSanitizer catches any read
// past its end.
using Reader = ReadResult (*)(const uint8_t*, size_t, HexRecordVisitor, void*, HexProblem*);

Outcome Read(const std::string& text, int stopAt = 0, Reader reader = ReadHexText) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[text.size() + 1]);
    memcpy(exact.get(), text.data(), text.size());
    struct Context {
        Outcome out;
        int stopAt;
    } context{{}, stopAt};
    auto visit = [](void* c, const HexRecord& r) {
        auto* context = static_cast<Context*>(c);
        context->out.records.push_back({r.address, {r.data, r.data + r.length}});
        return static_cast<int>(context->out.records.size()) == context->stopAt ? 7 : 0;
    };
    context.out.result = reader(exact.get(), text.size(), visit, &context, &context.out.problem);
    return context.out;
}

const std::vector<uint8_t> k1234 = {1, 2, 3, 4};
const std::string kEnd = ":00000001FF\n";

TEST(HexText, EveryTextHasItsVerdict) {
    std::vector<uint8_t> longest(255);
    for (size_t i = 0; i < longest.size(); ++i) {
        longest[i] = static_cast<uint8_t>(i * 7);
    }
    const std::string data = ":0400000001020304F2\n";
    const struct {
        const char* name;
        std::string text;
        std::vector<Seen> records; // when read whole
        size_t line = 0;           // when refused: the line ...
        const char* why = nullptr; // ... and the reason
    } cases[] = {
        {"upper address", ":020000040800F2\n" + data + kEnd, {{0x08000000, k1234}}},
        {"no type 04", data + kEnd, {{0, k1234}}},
        {"lower case",
         ":020000040800f2\n:04fffe00deadbeefc7\n" + kEnd,
         {{0x0800FFFE, {0xDE, 0xAD, 0xBE, 0xEF}}}},
        {"CR LF, CR, no last line end",
         ":01000000AA55\r\n:01000100BB43\r:01000200CC31\n:00000001FF",
         {{0, {0xAA}}, {1, {0xBB}}, {2, {0xCC}}}},
        {"byte-order mark, blank lines, DOS end of file",
         "\xEF\xBB\xBF:01000000AA55\n\n \t\n" + kEnd + "\r\n\x1A",
         {{0, {0xAA}}}},
        {"end record behind a DOS end of file",
         ":01000000AA55\n\x1A\n:00000001FF\x1A\x1A",
         {{0, {0xAA}}}},
        {"text behind a DOS end of file",
         kEnd + "\x1Ajunk\n",
         {},
         2,
         "not a record: it does not begin with \":\""},
        {"255 data bytes", HexLine(0, 0x10, longest) + "\n" + kEnd, {{0x10, longest}}},
        {"zero-length data and start address add nothing",
         ":00123400BA\n:0400000508000000EF\n" + kEnd,
         {}},
        {"bad checksum",
         ":020000040800F2\r\n:0400000001020304F3\r\n" + kEnd,
         {},
         2,
         "bad checksum"},
        {"cut short", ":0400000001020304\n", {}, 1, "record shorter than its byte count"},
        {"one digit short", ":0400000001020304F\n", {}, 1, "record shorter than its byte count"},
        {"short record", "\n\n:00000001F", {}, 3, "record too short"},
        {"colon alone", ":", {}, 1, "record too short"},
        {"not a digit", ":0400000001020G04EF\n", {}, 1, "not a hexadecimal digit"},
        {"text behind the checksum",
         ":01123400AA0F junk\n" + kEnd,
         {},
         1,
         "characters after the checksum"},
        {"blank behind the checksum",
         ":01123400AA0F \n" + kEnd,
         {},
         1,
         "characters after the checksum"},
        {"lost colon", data + "00000001FF\n", {}, 2, "not a record: it does not begin with \":\""},
        {"stray character", "x" + data + kEnd, {}, 1, "not a record: it does not begin with \":\""},
        {"blank before the colon",
         " " + data + kEnd,
         {},
         1,
         "not a record: it does not begin with \":\""},
        {"a line of text",
         "; made by hand\n" + data + kEnd,
         {},
         1,
         "not a record: it does not begin with \":\""},
        {"two files joined",
         data + kEnd + data + kEnd,
         {},
         3,
         "record after the end-of-file record"},
        {"no end record", data, {}, 2, "no end-of-file record: the file may be cut short"},
        {"empty", "", {}, 1, "no end-of-file record: the file may be cut short"},
        {"segment address",
         ":020000021000EC\n" + data + kEnd,
         {},
         1,
         "segment address record (type 02 or 03): FLASH is reached through type 04 records "
         "only"},
        {"start segment",
         ":0400000300001000E9\n" + kEnd,
         {},
         1,
         "segment address record (type 02 or 03): FLASH is reached through type 04 records "
         "only"},
        {"unknown type", ":00000006FA\n" + kEnd, {}, 1, "unknown record type"},
        {"type 04 with one byte",
         ":0100000408F3\n",
         {},
         1,
         "extended linear address record without exactly two bytes"},
        {"type 04 with three bytes",
         ":03000004080112DE\n",
         {},
         1,
         "extended linear address record without exactly two bytes"},
        {"end record with data", ":01000001AA54\n", {}, 1, "end-of-file record with data"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome out = Read(c.text);
        if (c.why == nullptr) {
            EXPECT_EQ(ReadResult::Ok, out.result) << (out.problem.why ? out.problem.why : "");
            EXPECT_EQ(c.records, out.records);
        } else {
            EXPECT_EQ(ReadResult::Damaged, out.result);
            EXPECT_EQ(c.line, out.problem.line);
            EXPECT_STREQ(c.why, out.problem.why);
        }
    }
}

// Every byte value in both digit places of a data byte: only 0-9, A-F and a-f are digits,
// whatever their sign as a char (0x80 to 0xFF included). CR and LF end lines instead.
TEST(HexText, OnlyHexadecimalDigitsAreDigits) {
    const std::string digits = "0123456789ABCDEF0123456789abcdef";
    for (int c = 0; c < 256; ++c) {
        if (c == '\r' || c == '\n') {
            continue;
        }
        const size_t at = digits.find(static_cast<char>(c));
        for (const bool high : {true, false}) {
            const std::string pair = high ? std::string(1, static_cast<char>(c)) + "0"
                                          : "0" + std::string(1, static_cast<char>(c));
            const uint8_t data = at == std::string::npos ? 0 : static_cast<uint8_t>(at % 16);
            const uint8_t byte = high ? static_cast<uint8_t>(data << 4) : data;
            char sum[3];
            snprintf(sum, sizeof sum, "%02X", static_cast<uint8_t>(-(1 + byte)));
            const Outcome out = Read(":01000000" + pair + sum + "\n" + kEnd);
            SCOPED_TRACE("byte " + std::to_string(c) + (high ? " high" : " low"));
            if (at == std::string::npos) {
                EXPECT_EQ(ReadResult::Damaged, out.result);
                EXPECT_STREQ("not a hexadecimal digit", out.problem.why);
            } else {
                EXPECT_EQ((std::vector<Seen>{{0, {byte}}}), out.records);
            }
        }
    }
}

// The visitor can stop the reading; its value comes back with the record's line.
TEST(HexText, DataBeforeARefusalIsHandedOnAndTheVisitorCanStop) {
    const std::string text = ":01000000AA55\n:01000100BB43\n:01000200CC31\n";
    EXPECT_EQ(ReadResult::Damaged, Read(text + ":01000300DD00\n").result);
    const Outcome stopped = Read(text + kEnd, 2);
    EXPECT_EQ(ReadResult::Stopped, stopped.result);
    EXPECT_EQ(2u, stopped.records.size());
    EXPECT_EQ(2u, stopped.problem.line);
}

const std::string kS9 = "S9030000FC\n";

// The text rules are the HEX reader's (one line loop); these are the records' own.
TEST(SRecordText, EveryTextHasItsVerdict) {
    const std::vector<uint8_t> k12 = {1, 2};
    const std::string s1 = SRecordLine(1, 0x1234, k12) + "\n";
    const std::string s3 = SRecordLine(3, 0x08000000, k1234) + "\n";
    const struct {
        const char* name;
        std::string text;
        std::vector<Seen> records; // when read whole
        size_t line = 0;           // when refused: the line ...
        const char* why = nullptr; // ... and the reason
    } cases[] = {
        {"S0 header, S1, S2, S3, S9",
         "S00600004844521B\r\n" + s1 + SRecordLine(2, 0x080000, k12) + "\n" + s3 + kS9,
         {{0x1234, k12}, {0x080000, k12}, {0x08000000, k1234}}},
        {"lower-case digits, S7 end without a last line end",
         "S3090800000001020304e4\n" + SRecordLine(7, 0x08000000, {}),
         {{0x08000000, k1234}}},
        {"a lower-case s",
         "s1051234010200\n" + kS9,
         {},
         1,
         "not a record: it does not begin with \"S\""},
        {"S5 and S6 counts, S8 end, BOM and DOS end of file",
         "\xEF\xBB\xBF" + s1 + s1 + SRecordLine(5, 2, {}) + "\n" + s3 + SRecordLine(6, 3, {}) +
             "\n" + SRecordLine(8, 0, {}) + "\n\x1A",
         {{0x1234, k12}, {0x1234, k12}, {0x08000000, k1234}}},
        {"an empty data record adds nothing but counts",
         SRecordLine(1, 0, {}) + "\n" + SRecordLine(5, 1, {}) + "\n" + kS9,
         {}},
        {"count too low",
         s1 + s1 + SRecordLine(5, 1, {}) + "\n" + kS9,
         {},
         3,
         "record count (S5 or S6) differs from the data records before it: records are "
         "missing or doubled"},
        {"count with data",
         s1 + SRecordLine(5, 1, {0}) + "\n" + kS9,
         {},
         2,
         "count record (S5 or S6) with data"},
        {"end with data",
         SRecordLine(9, 0, {0}) + "\n",
         {},
         1,
         "end record (S7, S8 or S9) with data"},
        {"bad checksum", s1.substr(0, 12) + "00\n" + kS9, {}, 1, "bad checksum"},
        {"cut short", s1.substr(0, 10) + "\n" + kS9, {}, 1, "record shorter than its byte count"},
        {"too short", "S1\n", {}, 1, "record too short"},
        {"count below address and checksum",
         "S1020000FD\n" + kS9,
         {},
         1,
         "byte count too small for the record's address and checksum"},
        {"text behind", s1.substr(0, 14) + " ;\n" + kS9, {}, 1, "characters after the checksum"},
        {"not a digit", "S1051234010G00\n" + kS9, {}, 1, "not a hexadecimal digit"},
        {"S4", "S4030000FC\n" + kS9, {}, 1, "unknown record type"},
        {"no type digit", "SX030000FC\n" + kS9, {}, 1, "unknown record type"},
        {"a HEX line", ":00000001FF\n", {}, 1, "not a record: it does not begin with \"S\""},
        {"records after the end", s1 + kS9 + s1, {}, 3, "record after the end record"},
        {"no end",
         "\n" + s1 + s3,
         {},
         4,
         "no end record (S7, S8 or S9): the file may be cut short"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome out = Read(c.text, 0, ReadSRecordText);
        if (c.why == nullptr) {
            EXPECT_EQ(ReadResult::Ok, out.result) << (out.problem.why ? out.problem.why : "");
            EXPECT_EQ(c.records, out.records);
        } else {
            EXPECT_EQ(ReadResult::Damaged, out.result);
            EXPECT_EQ(c.line, out.problem.line);
            EXPECT_STREQ(c.why, out.problem.why);
        }
    }
    const Outcome stopped = Read(s1 + s1 + s3 + kS9, 2, ReadSRecordText);
    EXPECT_EQ(ReadResult::Stopped, stopped.result);
    EXPECT_EQ(2u, stopped.problem.line);
}

} // namespace
