#include "tools/pack/pack.h"

#include "image/description.h"
#include "image/embedded.h"
#include "image/hex.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

using File = std::unique_ptr<FILE, decltype(&fclose)>;

// Longer than any record (11 + 2 * 255 characters), so that no valid record is cut.
constexpr int kHexLineCapacity = 600;

PackResult Fail(std::string* message, PackResult result, const std::string& text) {
    if (message != nullptr) {
        *message = text;
    }
    return result;
}

std::string Hex32(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

// The record as the user wrote it, shortened for a message.
std::string Quote(const char* line) {
    const size_t shown = strnlen(line, 48);
    return "\"" + std::string(line, shown) + (line[shown] != '\0' ? "...\"" : "\"");
}

bool HasHexExtension(const char* path) {
    const char* dot = strrchr(path, '.');
    return dot != nullptr && strlen(dot) == 4 && (dot[1] | 0x20) == 'h' && (dot[2] | 0x20) == 'e' &&
           (dot[3] | 0x20) == 'x';
}

// The reader skips damaged records silently, as the programmer must; the packer checks
// each skipped ":" line itself, so that a damaged file is refused instead of becoming an
// image with holes.
bool IsIntactRecord(const char* line) {
    const size_t available = strnlen(line, kHexLineCapacity);
    if (line[0] != ':' || available < 11) {
        return false;
    }
    const int count = HexByte(line + 1);
    if (available < static_cast<size_t>(11 + 2 * count)) {
        return false;
    }
    uint8_t sum = 0;
    for (int i = 0; i < 5 + count; ++i) {
        sum = static_cast<uint8_t>(sum + HexByte(line + 1 + 2 * i));
    }
    return sum == 0;
}

// A ":" line that the reader skipped: acceptable only if it is an intact record of a
// type that places no data (02 with segment 0, 03, 05 and the like).
PackResult CheckSkippedRecord(const char* line, std::string* message) {
    if (!IsIntactRecord(line)) {
        return Fail(message, PackRefused,
                    "damaged HEX record (checksum or length): " + Quote(line));
    }
    const int count = HexByte(line + 1);
    const uint8_t type = HexByte(line + 7);
    if (type == 0x04 && count < 2) {
        return Fail(message, PackRefused,
                    "extended address record without its address: " + Quote(line));
    }
    if (type == 0x02 && (count < 2 || HexByte(line + 9) != 0 || HexByte(line + 11) != 0)) {
        return Fail(message, PackRefused,
                    "segment addressing (type 02) is not supported; use linear addresses (type "
                    "04): " +
                        Quote(line));
    }
    return PackOk;
}

PackResult PlaceRecord(uint32_t address, const uint8_t* data, int length, Bytes* image,
                       std::string* message) {
    if (address < kFlashBase || address - kFlashBase + length > kFlashMaxSize) {
        return Fail(message, PackRefused,
                    "HEX data at " + Hex32(address) + " (" + std::to_string(length) +
                        " bytes) lies outside FLASH (" + Hex32(kFlashBase) + " to " +
                        Hex32(kFlashBase + kFlashMaxSize - 1) + ")");
    }
    const size_t end = address - kFlashBase + static_cast<size_t>(length);
    if (image->size() < end) {
        image->resize(end, 0xFF);
    }
    memcpy(image->data() + (address - kFlashBase), data, length);
    return PackOk;
}

PackResult ReadHexRecords(FILE* file, Bytes* image, std::string* message) {
    char line[kHexLineCapacity];
    uint8_t data[256];
    ResetHexReader();
    while (ReadTextLine(file, line, kHexLineCapacity) == 1) {
        uint32_t address = 0;
        int length = 0;
        const int result = ParseHexRecord(line, data, &address, &length);
        if (result == 0) {
            return PackOk;
        }
        PackResult placed = PackOk;
        if (result == 1) {
            placed = PlaceRecord(address, data, length, image, message);
        } else if (line[0] == ':') {
            placed = CheckSkippedRecord(line, message);
        }
        if (placed != PackOk) {
            return placed;
        }
    }
    if (ferror(file)) {
        return Fail(message, PackIoError, "read error");
    }
    return Fail(message, PackRefused,
                "HEX file ends without its end-of-file record (:00000001FF); is it truncated?");
}

void ToLittleEndian(uint32_t value, uint8_t* bytes) {
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

} // namespace

PackResult CheckDescription(const std::string& description, std::string* message) {
    if (description.size() > static_cast<size_t>(kMaxDescriptionLength)) {
        return Fail(message, PackRefused,
                    "description is " + std::to_string(description.size()) +
                        " bytes long; at most " + std::to_string(kMaxDescriptionLength) +
                        " are allowed");
    }
    for (const char c : description) {
        const auto code = static_cast<unsigned char>(c);
        if (IsDescriptionControl(code)) {
            return Fail(message, PackRefused,
                        "description must be one line without control characters (found "
                        "character code " +
                            std::to_string(code) + ")");
        }
    }
    return PackOk;
}

PackResult ReadWholeFile(const char* path, Bytes* bytes, std::string* message) {
    File file(fopen(path, "rb"), &fclose);
    if (!file) {
        return Fail(message, PackIoError, std::string("cannot open ") + path);
    }
    bytes->clear();
    uint8_t chunk[65536];
    size_t got = 0;
    while ((got = fread(chunk, 1, sizeof chunk, file.get())) > 0) {
        bytes->insert(bytes->end(), chunk, chunk + got);
    }
    if (ferror(file.get())) {
        return Fail(message, PackIoError, std::string("cannot read ") + path);
    }
    return PackOk;
}

PackResult LoadHexImage(const char* path, Bytes* image, std::string* message) {
    File file(fopen(path, "rb"), &fclose);
    if (!file) {
        return Fail(message, PackIoError, std::string("cannot open ") + path);
    }
    image->clear();
    std::string reason;
    const PackResult result = ReadHexRecords(file.get(), image, &reason);
    if (result != PackOk) {
        return Fail(message, result, std::string(path) + ": " + reason);
    }
    return PackOk;
}

void PadToBlocks(Bytes* image) {
    const size_t remainder = image->size() % kImageBlock;
    if (remainder != 0) {
        image->resize(image->size() + kImageBlock - remainder, 0xFF);
    }
}

PackResult LoadImage(const char* path, Bytes* image, std::string* message) {
    const PackResult result = HasHexExtension(path) ? LoadHexImage(path, image, message)
                                                    : ReadWholeFile(path, image, message);
    if (result != PackOk) {
        return result;
    }
    if (image->empty()) {
        return Fail(message, PackRefused, std::string(path) + ": the image holds no data");
    }
    if (image->size() > kFlashMaxSize) {
        return Fail(message, PackRefused,
                    std::string(path) + ": the image (" + std::to_string(image->size()) +
                        " bytes) is larger than FLASH (" + std::to_string(kFlashMaxSize) +
                        " bytes)");
    }
    PadToBlocks(image);
    return PackOk;
}

PackResult BuildUpdater(const Bytes& exe, const Bytes& image, const std::string& description,
                        Bytes* updater, std::string* message) {
    const PackResult checked = CheckDescription(description, message);
    if (checked != PackOk) {
        return checked;
    }
    if (image.empty() || image.size() % kImageBlock != 0 || image.size() > kFlashMaxSize) {
        return Fail(message, PackRefused, "the image must be a whole number of 256-byte blocks");
    }
    if (exe.size() < 2 || exe[0] != 'M' || exe[1] != 'Z') {
        return Fail(message, PackRefused, "the executable is not a Windows program (no MZ header)");
    }
    // Trailer values are signed 32-bit file positions for the programmer.
    if (exe.size() > 0x7FFFFFFFu - kFlashMaxSize - kDescriptionSize) {
        return Fail(message, PackRefused, "the executable is too large");
    }
    const auto imageOffset = static_cast<uint32_t>(exe.size());
    const auto imageLength = static_cast<uint32_t>(image.size());

    *updater = exe;
    updater->insert(updater->end(), image.begin(), image.end());
    uint8_t chain = 0;
    ScrambleBlock(updater->data() + imageOffset, imageLength, &chain);
    updater->insert(updater->end(), description.begin(), description.end());
    updater->push_back(0);

    uint8_t trailer[kTrailerSize];
    ToLittleEndian(imageOffset, trailer);
    ToLittleEndian(imageLength, trailer + 4);
    ToLittleEndian(imageOffset + imageLength, trailer + 8);
    updater->insert(updater->end(), trailer, trailer + kTrailerSize);
    return PackOk;
}

PackResult EncodeDescription(const std::string& utf8, std::string* stored, std::string* message) {
    uint32_t refused = 0;
    if (DescriptionFromUtf8(utf8, stored, &refused) != 0) {
        char code[16];
        snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(refused));
        return Fail(message, PackRefused,
                    refused == 0xFFFFFFFF
                        ? std::string("description is not UTF-8 text")
                        : "description holds " + std::string(code) +
                              ", which the window's code page (Windows-1252) cannot show");
    }
    return CheckDescription(*stored, message);
}

PackResult ReadUpdaterInfo(const char* path, UpdaterInfo* info, std::string* message) {
    if (File probe(fopen(path, "rb"), &fclose); !probe) {
        return Fail(message, PackIoError, std::string("cannot open ") + path);
    }
    if (LoadEmbeddedImage(path) != 0) {
        return Fail(message, PackRefused, std::string(path) + " carries no firmware image");
    }
    const EmbeddedImage& found = GetEmbeddedImage();
    info->imageOffset = static_cast<uint32_t>(found.imageOffset);
    info->imageLength = static_cast<uint32_t>(found.imageLength);
    info->description = found.description;
    return PackOk;
}

PackResult ExtractImage(const char* path, Bytes* image, std::string* message) {
    UpdaterInfo info;
    const PackResult found = ReadUpdaterInfo(path, &info, message);
    if (found != PackOk) {
        return found;
    }
    File file(fopen(path, "rb"), &fclose);
    image->assign(info.imageLength, 0);
    if (!file || fseek(file.get(), static_cast<long>(info.imageOffset), SEEK_SET) != 0 ||
        fread(image->data(), 1, image->size(), file.get()) != image->size()) {
        return Fail(message, PackIoError, std::string("cannot read the image from ") + path);
    }
    uint8_t chain = 0;
    for (size_t at = 0; at < image->size(); at += kImageBlock) {
        const size_t block = std::min<size_t>(kImageBlock, image->size() - at);
        DescrambleBlock(image->data() + at, static_cast<uint32_t>(block), &chain);
    }
    return PackOk;
}

PackResult PackUpdater(const char* exePath, const char* imagePath,
                       const std::string& utf8Description, const char* outputPath,
                       std::string* message) {
    std::string description;
    PackResult result = EncodeDescription(utf8Description, &description, message);
    Bytes exe;
    if (result == PackOk) {
        result = ReadWholeFile(exePath, &exe, message);
    }
    UpdaterInfo existing;
    if (result == PackOk && ReadUpdaterInfo(exePath, &existing, nullptr) == PackOk) {
        // Refused rather than replaced: stacking or swapping images is easy to do by
        // mistake, and the plain ZuvaFlash.exe is what every updater should start from.
        return Fail(message, PackRefused,
                    std::string(exePath) + " already carries an image (\"" +
                        DescriptionForTerminal(existing.description.c_str()) +
                        "\"); pack from the plain ZuvaFlash.exe");
    }
    Bytes image;
    if (result == PackOk) {
        result = LoadImage(imagePath, &image, message);
    }
    Bytes updater;
    if (result == PackOk) {
        result = BuildUpdater(exe, image, description, &updater, message);
    }
    if (result == PackOk) {
        result = WriteFileAtomically(outputPath, updater, message);
    }
    return result;
}
