#include "image/format.h"

#include <cstring>

namespace {

constexpr struct {
    const char* spelling; // lower-case letters
    ImageFormat format;
} kExtensions[] = {
    {"bin", ImageFormat::Binary},   {"exe", ImageFormat::Binary},  {"hex", ImageFormat::IntelHex},
    {"srec", ImageFormat::SRecord}, {"s19", ImageFormat::SRecord}, {"s28", ImageFormat::SRecord},
    {"s37", ImageFormat::SRecord},  {"mot", ImageFormat::SRecord}, {"elf", ImageFormat::Elf},
    {"axf", ImageFormat::Elf},
};

// Whether text is the lower-case spelling, or that spelling all in upper case.
bool Spelled(const char* text, const char* lower) {
    bool allLower = true;
    bool allUpper = true;
    for (; *lower != '\0' && *text != '\0'; ++text, ++lower) {
        allLower = allLower && *text == *lower;
        allUpper = allUpper && *text == *lower - 'a' + 'A';
    }
    return *text == '\0' && *lower == '\0' && (allLower || allUpper);
}

} // namespace

ImageFormat FormatFromExtension(const char* extension) {
    if (extension == nullptr) {
        return ImageFormat::None;
    }
    for (const auto& entry : kExtensions) {
        if (Spelled(extension, entry.spelling)) {
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
