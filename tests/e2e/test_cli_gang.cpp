// A gang run's pure parts: which arguments reach a member, and the JSON line.
#include "cli/counter.h"
#include "cli/gang.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Member(std::initializer_list<const char*> words) {
    std::vector<char*> argv{const_cast<char*>("zuva-flash")};
    for (const char* w : words) {
        argv.push_back(const_cast<char*>(w));
    }
    return MemberArguments(static_cast<int>(argv.size()), argv.data(), "P");
}

using Words = std::vector<std::string>;

TEST(CliGang, MemberGetsOnePortAndTheRunOptions) {
    struct Case {
        std::initializer_list<const char*> given;
        Words member;
    } cases[] = {
        {{"--port", "A", "--port=B", "--verify", "fw.bin"},
         {"--member", "--port", "P", "--verify", "fw.bin"}},
        {{"--all-ports", "--json", "--log", "runs.log", "--baud", "57600", "fw.hex"},
         {"--member", "--port", "P", "--baud", "57600", "fw.hex"}},
        {{"--log=x", "--embedded", "U.exe"}, {"--member", "--port", "P", "--embedded", "U.exe"}},
        // -q is the parent's to keep: a member still tells the description and the chip.
        {{"-q", "--quiet", "-v", "fw.bin"}, {"--member", "--port", "P", "-v", "fw.bin"}},
        // After "--" every word is an image name, even one that looks like an option.
        {{"--port", "A", "--", "--json"}, {"--member", "--port", "P", "--", "--json"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Member(c.given), c.member);
    }
}

TEST(CliGang, RepeatedPortsAndTheirConflicts) {
    const char* argv[] = {"zuva-flash", "--port", "A", "--port", "B", "fw.bin"};
    CliOptions options;
    std::string error;
    ASSERT_EQ(ParseCliArgs(6, const_cast<char**>(argv), &options, &error), 0) << error;
    ASSERT_EQ(options.ports.size(), 2u);
    EXPECT_STREQ(options.port, "A");
    EXPECT_TRUE(IsGangRun(options));

    const char* both[] = {"zuva-flash", "--port", "A", "--all-ports", "fw.bin"};
    CliOptions rejected;
    EXPECT_EQ(ParseCliArgs(5, const_cast<char**>(both), &rejected, &error), 1);
    const char* dry[] = {"zuva-flash", "--dry-run", "--json", "fw.bin"};
    CliOptions dryJson;
    EXPECT_EQ(ParseCliArgs(4, const_cast<char**>(dry), &dryJson, &error), 0) << error;
}

TEST(CliGang, JsonLineEscapesAndKeepsFieldsInOrder) {
    PortOutcome o;
    o.port = "COM3";
    o.result = 11;
    o.message = "Can't erase device";
    o.detail = "a \"quoted\" \\ path\x01";
    o.bytes = 4096;
    o.seconds = 1.234;
    o.image = "fw.bin";
    o.imageSize = 65536;
    o.imageCrc32 = 0x0A0B0C0D;
    o.board = 7;
    o.uid = "0123456789ABCDEF01234567";
    o.flashKib = 128;
    o.serialUsed = true;
    o.serial = 4294967295u;
    EXPECT_EQ(OutcomeJson(o, "2026-12-07T10:42:00Z"),
              "{\"time\":\"2026-12-07T10:42:00Z\",\"port\":\"COM3\",\"board\":7,"
              "\"uid\":\"0123456789ABCDEF01234567\",\"flash_kib\":128,\"serial\":4294967295,"
              "\"result\":11,"
              "\"message\":\"Can't erase device\",\"detail\":\"a \\\"quoted\\\" \\\\ path\\u0001\","
              "\"chip\":null,\"bytes\":4096,\"seconds\":1.23,\"image\":\"fw.bin\","
              "\"image_size\":65536,\"image_crc32\":\"0a0b0c0d\"}");
    o.imageSize = -1;
    o.productId = 0x414;
    o.flashKib = 384;
    o.uid = "0123456789abcdef01234567";
    std::string line = OutcomeJson(o, nullptr);
    EXPECT_NE(line.find("\"uid\":\"0123456789abcdef01234567\",\"flash_kib\":384"),
              std::string::npos);
    EXPECT_EQ(line.rfind("{\"port\":", 0), 0u);
    EXPECT_NE(line.find("\"chip\":\"0x414\""), std::string::npos);
    EXPECT_NE(line.find("\"image_size\":null,\"image_crc32\":null"), std::string::npos);
    o.port.clear(); // a dry run: no port, no board, nothing read
    o = PortOutcome{};
    EXPECT_EQ(OutcomeJson(o, nullptr)
                  .rfind("{\"port\":null,\"board\":null,\"uid\":null,\"flash_kib\":null,"
                         "\"serial\":null,",
                         0),
              0u);
}

TEST(CliCounter, TextIsOneDecimalNumber) {
    const struct {
        const char* text;
        bool ok;
        uint32_t number;
    } cases[] = {
        {"1000\n", true, 1000},     {" 42 \r\n", true, 42}, {"4294967295", true, 4294967295u},
        {"4294967296\n", false, 0}, {"", false, 0},         {"\n", false, 0},
        {"12a\n", false, 0},        {"-1\n", false, 0},     {"1\n2\n", false, 0}};
    for (const auto& c : cases) {
        uint32_t number = 0;
        std::string error;
        EXPECT_EQ(ParseSerialText(c.text, &number, &error), c.ok) << c.text;
        EXPECT_EQ(error.empty(), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(number, c.number) << c.text;
        }
    }
}

// Taking numbers rewrites the file with the next one; a file that cannot be read or holds
// no number gives none and stays as it was.
TEST(CliCounter, TakesEachNumberOnce) {
    const std::string path = testing::TempDir() + "zuva-counter-test.txt";
    auto write = [&](const char* text) {
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs(text, f);
        std::fclose(f);
    };
    auto read = [&] {
        char text[64] = "";
        FILE* f = std::fopen(path.c_str(), "rb");
        size_t n = f != nullptr ? std::fread(text, 1, sizeof text - 1, f) : 0;
        if (f != nullptr) {
            std::fclose(f);
        }
        return std::string(text, n);
    };
    write("1000\n");
    uint32_t number = 0;
    std::string error;
    ASSERT_TRUE(PeekSerial(path.c_str(), &number, &error)) << error;
    EXPECT_EQ(number, 1000u);
    for (uint32_t expected = 1000; expected < 1003; ++expected) {
        ASSERT_TRUE(TakeSerial(path.c_str(), &number, &error)) << error;
        EXPECT_EQ(number, expected);
    }
    EXPECT_EQ(std::stoul(read()), 1003u);
    write("1x\n");
    EXPECT_FALSE(TakeSerial(path.c_str(), &number, &error));
    EXPECT_EQ(read(), "1x\n");
    std::remove(path.c_str());
    EXPECT_FALSE(PeekSerial(path.c_str(), &number, &error));
    EXPECT_FALSE(error.empty());
}

// Bytes that are not UTF-8 (a file name in another encoding) become U+FFFD; UTF-8 stays.
TEST(CliGang, JsonStringsAreUtf8) {
    const std::string bad = "\xEF\xBF\xBD"; // U+FFFD
    const struct {
        std::string name;
        std::string quoted;
    } cases[] = {
        {"name_\xFF\xFE.bin", "name_" + bad + bad + ".bin"},
        {"caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80"},
        {"\xC3", bad},                               // cut short
        {"\xC0\xAF", bad + bad},                     // an overlong "/"
        {"\xED\xA0\x80", bad + bad + bad},           // a surrogate
        {"\xF4\x90\x80\x80", bad + bad + bad + bad}, // past U+10FFFF
    };
    for (const auto& c : cases) {
        PortOutcome o;
        o.image = c.name;
        o.detail = "cannot open " + c.name;
        const std::string line = OutcomeJson(o, nullptr);
        EXPECT_NE(line.find("\"image\":\"" + c.quoted + "\""), std::string::npos) << line;
        EXPECT_NE(line.find("\"detail\":\"cannot open " + c.quoted + "\""), std::string::npos);
    }
}

} // namespace
