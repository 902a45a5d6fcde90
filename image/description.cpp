#include "image/description.h"

#include <cstdio>

namespace {

constexpr uint32_t kMalformed = 0xFFFFFFFF;

// Code points of Windows-1252 bytes 0x80 to 0x9F; 0 where the code page defines none.
constexpr uint16_t kHighControls[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

uint32_t CodePointOf(uint8_t byte) {
    return byte >= 0x80 && byte < 0xA0 ? kHighControls[byte - 0x80] : byte;
}

// The byte for a code point, or -1 when Windows-1252 has none. U+0080 to U+009F (C1
// controls) have none: those bytes stand for other characters there.
int ByteOf(uint32_t codePoint) {
    if (codePoint < 0x80 || (codePoint >= 0xA0 && codePoint <= 0xFF)) {
        return static_cast<int>(codePoint);
    }
    for (int i = 0; i < 32; ++i) {
        if (kHighControls[i] != 0 && kHighControls[i] == codePoint) {
            return 0x80 + i;
        }
    }
    return -1;
}

// Decodes one UTF-8 sequence at text[*at], advancing *at; kMalformed for a bad, overlong
// or surrogate sequence.
uint32_t NextCodePoint(const std::string& text, size_t* at) {
    const auto lead = static_cast<uint8_t>(text[(*at)++]);
    if (lead < 0x80) {
        return lead;
    }
    const int extra = lead >= 0xF0 && lead < 0xF5 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 ? 1 : -1;
    if (extra < 0 || lead >= 0xF5 || *at + extra > text.size()) {
        return kMalformed;
    }
    uint32_t code = lead & (0x3F >> extra);
    for (int i = 0; i < extra; ++i) {
        const auto next = static_cast<uint8_t>(text[(*at)++]);
        if ((next & 0xC0) != 0x80) {
            return kMalformed;
        }
        code = code << 6 | (next & 0x3F);
    }
    const uint32_t least[] = {0, 0x80, 0x800, 0x10000};
    if (code < least[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return kMalformed;
    }
    return code;
}

void AppendUtf8(uint32_t code, std::string* out) {
    if (code < 0x80) {
        out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out->push_back(static_cast<char>(0xC0 | code >> 6));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xE0 | code >> 12));
        out->push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

} // namespace

DescriptionResult DescriptionFromUtf8(const std::string& utf8, std::string* cp1252,
                                      uint32_t* refused) {
    cp1252->clear();
    for (size_t at = 0; at < utf8.size();) {
        const uint32_t code = NextCodePoint(utf8, &at);
        const int byte = code == kMalformed ? -1 : ByteOf(code);
        if (byte < 0) {
            *refused = code;
            return DescriptionRefused;
        }
        cp1252->push_back(static_cast<char>(byte));
    }
    return DescriptionOk;
}

bool IsDescriptionControl(uint8_t byte) {
    return byte < 0x20 || byte == 0x7F || CodePointOf(byte) == 0;
}

std::string DescriptionForTerminal(const char* cp1252) {
    std::string shown;
    for (const char* p = cp1252; *p != '\0'; ++p) {
        const auto byte = static_cast<uint8_t>(*p);
        if (IsDescriptionControl(byte)) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            shown += escaped;
        } else {
            AppendUtf8(CodePointOf(byte), &shown);
        }
    }
    return shown;
}
