#include "image/format.h"

#include <cstdio>
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

// Each format once, in the order of kExtensions: its name in a sentence, in the list.
constexpr struct {
    ImageFormat format;
    const char* name;
    const char* listed;
} kFormats[] = {
    {ImageFormat::Binary, "raw", "raw"},
    {ImageFormat::IntelHex, "HEX", "Intel HEX"},
    {ImageFormat::SRecord, "S-record", "S-records"},
    {ImageFormat::Elf, "ELF", "ELF"},
};

// Whether text is the lower-case spelling, or that spelling all in upper case.
bool Spelled(const char* text, const char* lower) {
    bool allLower = true;
    bool allUpper = true;
    for (; *lower != '\0' && *text != '\0'; ++text, ++lower) {
        allLower = allLower && *text == *lower;
        const char upper = *lower >= 'a' && *lower <= 'z' ? *lower - 'a' + 'A' : *lower;
        allUpper = allUpper && *text == upper;
    }
    return *text == '\0' && *lower == '\0' && (allLower || allUpper);
}

void Append(char* list, size_t size, const char* text) {
    const size_t used = strlen(list);
    snprintf(list + used, size - used, "%s", text);
}

// The extensions of one format: "a", "a or b", "a, b or c".
void AppendExtensions(char* list, size_t size, ImageFormat format) {
    int count = 0;
    for (const auto& entry : kExtensions) {
        count += entry.format == format ? 1 : 0;
    }
    int listed = 0;
    for (const auto& entry : kExtensions) {
        if (entry.format == format) {
            ++listed;
            Append(list, size, listed == 1 ? "" : listed == count ? " or " : ", ");
            Append(list, size, entry.spelling);
        }
    }
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

const char* FormatList() {
    static char list[160];
    if (list[0] == '\0') {
        for (const auto& entry : kFormats) {
            Append(list, sizeof list, list[0] == '\0' ? "" : ", ");
            AppendExtensions(list, sizeof list, entry.format);
            Append(list, sizeof list, " (");
            Append(list, sizeof list, entry.listed);
            Append(list, sizeof list, ")");
        }
    }
    return list;
}

const char* FormatName(ImageFormat format) {
    for (const auto& entry : kFormats) {
        if (entry.format == format) {
            return entry.name;
        }
    }
    return "image";
}
