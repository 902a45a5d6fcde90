// Descriptions: UTF-8 in, Windows-1252 stored, safe text out to a terminal.
#include "image/description.h"

#include <gtest/gtest.h>

namespace {

TEST(Description, StoredInWindows1252) {
    const struct {
        const char* utf8;
        const char* stored;
    } cases[] = {
        {"", ""},
        {"Release 2.4", "Release 2.4"},
        {"Steuerger\xC3\xA4t \xE2\x82\xAC 5 \xC5\xBD", "Steuerger\xE4t \x80 5 \x8E"},
        {"\xE2\x80\x9Equoted\xE2\x80\x9C \xC3\xBF \xC5\xB8", "\x84quoted\x93 \xFF \x9F"},
        {"\x1B[2J", "\x1B[2J"}, // controls pass here; the packer refuses them
    };
    for (const auto& c : cases) {
        std::string stored;
        uint32_t refused = 0;
        EXPECT_EQ(DescriptionFromUtf8(c.utf8, &stored, &refused), DescriptionOk) << c.utf8;
        EXPECT_EQ(stored, c.stored) << c.utf8;
    }
}

TEST(Description, CharactersTheCodePageLacksAreRefused) {
    const struct {
        const char* utf8;
        uint32_t refused;
    } cases[] = {
        {"fw \xE6\x97\xA5\xE6\x9C\xAC", 0x65E5}, // CJK
        {"a\xC2\x81", 0x81},                     // a C1 control: 0x81 is no character here
        {"\xF0\x9F\x98\x80", 0x1F600},           // outside the BMP
        {"\xC3", 0xFFFFFFFF},                    // cut short
        {"\xE9t\xE9", 0xFFFFFFFF},               // Latin-1, not UTF-8
        {"\xC0\xAF", 0xFFFFFFFF},                // overlong
        {"\xED\xA0\x80", 0xFFFFFFFF},            // a surrogate
    };
    for (const auto& c : cases) {
        std::string stored;
        uint32_t refused = 0;
        EXPECT_EQ(DescriptionFromUtf8(c.utf8, &stored, &refused), DescriptionRefused) << c.utf8;
        EXPECT_EQ(refused, c.refused) << c.utf8;
    }
}

TEST(Description, TerminalSeesNoControlByte) {
    EXPECT_EQ(DescriptionForTerminal("\x1B]0;x\x07\x1B[2J\rFinished OK\x7F\x81\x9D"),
              "\\x1b]0;x\\x07\\x1b[2J\\x0dFinished OK\\x7f\\x81\\x9d");
    // Every printable stored byte comes back as the UTF-8 it was packed from.
    std::string all;
    for (int b = 0x20; b <= 0xFF; ++b) {
        if (!IsDescriptionControl(static_cast<uint8_t>(b))) {
            all.push_back(static_cast<char>(b));
        }
    }
    EXPECT_EQ(all.size(), 0xE0u - 1 - 5);
    std::string shown = DescriptionForTerminal(all.c_str());
    std::string back;
    uint32_t refused = 0;
    ASSERT_EQ(DescriptionFromUtf8(shown, &back, &refused), DescriptionOk) << refused;
    EXPECT_EQ(back, all);
}

} // namespace
