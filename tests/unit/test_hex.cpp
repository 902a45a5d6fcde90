// Intel HEX reader: what each kind of line gives, the text rules shared by the programmer
// and the packer, and damaged records with the line they are on.
#include "image/hex.h"
#include "tests/device/run_files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Seen {
    uint8_t type;
    uint32_t address;
    std::vector<uint8_t> data;
    bool operator==(const Seen&) const = default;
};

struct Outcome {
    int result = 0;
    std::vector<Seen> records;
    HexProblem problem;
    bool sawEnd = false;
};

// Reads text from an exact-size heap block, so that AddressSanitizer catches any read
// past its end.
Outcome Read(const std::string& text, int stopAt = 0) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[text.size() + 1]);
    memcpy(exact.get(), text.data(), text.size());
    struct Context {
        Outcome out;
        int stopAt;
    } context{{}, stopAt};
    auto visit = [](void* c, const HexRecord& r) {
        auto* context = static_cast<Context*>(c);
        context->out.records.push_back({r.type, r.address, {r.data, r.data + r.length}});
        return static_cast<int>(context->out.records.size()) == context->stopAt ? 7 : 0;
    };
    context.out.result = ReadHexText(exact.get(), text.size(), visit, &context,
                                     &context.out.problem, &context.out.sawEnd);
    return context.out;
}

const std::vector<uint8_t> k1234 = {1, 2, 3, 4};

TEST(HexText, RecordsAndTheTextRules) {
    std::vector<uint8_t> longest(255);
    for (size_t i = 0; i < longest.size(); ++i) {
        longest[i] = static_cast<uint8_t>(i * 7);
    }
    const struct {
        const char* name;
        std::string text;
        std::vector<Seen> records;
        bool sawEnd;
    } cases[] = {
        {"upper address",
         ":020000040800F2\n:0400000001020304F2\n:00000001FF\n",
         {{0, 0x08000000, k1234}},
         true},
        {"no type 04", ":0400000001020304F2\n", {{0, 0, k1234}}, false},
        {"lower case",
         ":020000040800f2\n:04fffe00deadbeefc7\n",
         {{0, 0x0800FFFE, {0xDE, 0xAD, 0xBE, 0xEF}}},
         false},
        {"text behind the checksum", ":01123400AA0F junk\n", {{0, 0x1234, {0xAA}}}, false},
        {"CR LF, CR, no last line end",
         ":01000000AA55\r\n:01000100BB43\r:01000200CC31",
         {{0, 0, {0xAA}}, {0, 1, {0xBB}}, {0, 2, {0xCC}}},
         false},
        {"byte-order mark and blanks",
         "\xEF\xBB\xBF :01000000AA55\n\t :01000100BB43\n",
         {{0, 0, {0xAA}}, {0, 1, {0xBB}}},
         false},
        {"not records",
         "; comment\n\n00000001FF\nx:00000001FF\n:01000000AA55\n",
         {{0, 0, {0xAA}}},
         false},
        {"255 data bytes", HexLine(0, 0x10, longest) + "\n", {{0, 0x10, longest}}, false},
        {"zero-length data adds nothing", ":00123400BA\n", {}, false},
        {"other types are handed on",
         ":020000021000EC\n:0400000508000000EF\n",
         {{2, 0, {0x10, 0x00}}, {5, 0, {0x08, 0, 0, 0}}},
         false},
        {"type 04 takes two bytes",
         ":03000004080112DE\n:0400000001020304F2\n",
         {{0, 0x08010000, k1234}},
         false},
        {"nothing after the end record", ":00000001FF\n:0400000001020304F2\n:zz\n", {}, true},
        {"empty", "", {}, false},
    };
    for (const auto& c : cases) {
        const Outcome out = Read(c.text);
        EXPECT_EQ(0, out.result) << c.name << ": " << (out.problem.why ? out.problem.why : "");
        EXPECT_EQ(c.records, out.records) << c.name;
        EXPECT_EQ(c.sawEnd, out.sawEnd) << c.name;
    }
}

TEST(HexText, DamagedRecordsAreRefusedWithTheirLine) {
    const struct {
        std::string text;
        size_t line;
        const char* why;
    } cases[] = {
        {":020000040800F2\r\n:0400000001020304F3\r\n", 2, "bad checksum"},
        {":0400000001020304\n", 1, "record shorter than its byte count"},
        {":0400000001020304F\n", 1, "record shorter than its byte count"},
        {"\n\n:00000001F", 3, "record too short"},
        {":", 1, "record too short"},
        {":FF000000", 1, "record too short"},
        {":0400000001020G04EF\n", 1, "not a hexadecimal digit"},
        {":0G000000000000\n", 1, "not a hexadecimal digit"},
        {":0100000408F3\n", 1, "extended address record without its address"},
        {":00000004FC\n", 1, "extended address record without its address"},
    };
    for (const auto& c : cases) {
        const Outcome out = Read(c.text);
        EXPECT_EQ(kHexDamaged, out.result) << c.text;
        EXPECT_EQ(c.line, out.problem.line) << c.text;
        EXPECT_STREQ(c.why, out.problem.why) << c.text;
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
            const Outcome out = Read(":01000000" + pair + sum + "\n");
            SCOPED_TRACE("byte " + std::to_string(c) + (high ? " high" : " low"));
            if (at == std::string::npos) {
                EXPECT_EQ(kHexDamaged, out.result);
                EXPECT_STREQ("not a hexadecimal digit", out.problem.why);
            } else {
                EXPECT_EQ((std::vector<Seen>{{0, 0, {byte}}}), out.records);
            }
        }
    }
}

TEST(HexText, DataBeforeADamagedRecordIsHandedOnAndTheVisitorCanStop) {
    const std::string text = ":01000000AA55\n:01000100BB43\n:01000200CC31\n";
    EXPECT_EQ(kHexDamaged, Read(text + ":01000300DD00\n").result);
    const Outcome stopped = Read(text, 2);
    EXPECT_EQ(7, stopped.result);
    EXPECT_EQ(2u, stopped.records.size());
}

} // namespace
