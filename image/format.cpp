#include "image/format.h"

#include <cstring>

namespace {

constexpr struct {
    const char* spelling; // lower-case letters
    ImageFormat format;
} kExtensions[] = {
    {"bin", ImageFormat::Binary},
    {"exe", ImageFormat::Binary},
    {"hex", ImageFormat::IntelHex},
};

// How text matches a lower-case spelling: bit 0 all lower case, bit 1 all upper case,
// bit 2 in any case; 0 when it is another word.
unsigned Spelling(const char* text, const char* lower) {
    unsigned ways = 7;
    for (; *lower != '\0' && *text != '\0'; ++text, ++lower) {
        const char upper = static_cast<char>(*lower - 'a' + 'A');
        ways &= (*text == *lower ? 1u : 0u) | (*text == upper ? 2u : 0u) |
                (*text == *lower || *text == upper ? 4u : 0u);
    }
    return *text == '\0' && *lower == '\0' ? ways : 0;
}

} // namespace

ImageFormat FormatFromExtension(const char* extension, ExtensionCase match) {
    if (extension == nullptr) {
        return ImageFormat::None;
    }
    for (const auto& entry : kExtensions) {
        const unsigned ways = Spelling(extension, entry.spelling);
        if ((ways & (match == ExtensionCase::Any ? 4u : 3u)) != 0) {
            return entry.format;
        }
    }
    return ImageFormat::None;
}

const char* PathExtension(const char* path) {
    if (path == nullptr) {
        return "";
    }
    const char* dot = std::strrchr(path, '.');
    return dot != nullptr ? dot + 1 : path + std::strlen(path);
}
