#include "image/format.h"

#include <cstring>

namespace {

constexpr struct {
    const char* spelling; // lower case
    ImageFormat format;
} kExtensions[] = {
    {"bin", ImageFormat::Binary},
    {"exe", ImageFormat::Binary},
    {"hex", ImageFormat::IntelHex},
};

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Compares text with a lower-case spelling; as: 'l' lower, 'u' upper, 'a' any case.
bool SpelledAs(const char* text, const char* lower, char as) {
    for (; *lower != '\0'; ++text, ++lower) {
        const bool same = as == 'l'   ? *text == *lower
                          : as == 'u' ? *text == Upper(*lower)
                                      : Upper(*text) == Upper(*lower);
        if (!same) {
            return false;
        }
    }
    return *text == '\0';
}

} // namespace

ImageFormat FormatFromExtension(const char* extension, ExtensionCase match) {
    if (extension == nullptr) {
        return ImageFormat::None;
    }
    for (const auto& entry : kExtensions) {
        const bool found = match == ExtensionCase::Any
                               ? SpelledAs(extension, entry.spelling, 'a')
                               : SpelledAs(extension, entry.spelling, 'l') ||
                                     SpelledAs(extension, entry.spelling, 'u');
        if (found) {
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
