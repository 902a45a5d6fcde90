#include "image/image_out.h"

#include "image/output_platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

char* CopyOutputName(const char* text, const char* suffix) {
    const size_t n = std::strlen(text);
    auto* copy = static_cast<char*>(std::malloc(n + std::strlen(suffix) + 1));
    if (copy != nullptr) {
        std::memcpy(copy, text, n);
        std::strcpy(copy + n, suffix);
    }
    return copy;
}

void FreeOutputNames(OutputTemp* temp) {
    std::free(temp->name);
    std::free(temp->target);
    temp->name = nullptr;
    temp->target = nullptr;
}

namespace {

constexpr uint32_t kRecordBytes = 16; // data bytes per HEX or S-record line

// "bin" only of the raw spellings: an .exe written from a chip would look like a program.
bool NamesRawFile(const char* extension) {
    return std::strcmp(extension, "bin") == 0 || std::strcmp(extension, "BIN") == 0;
}

// One record line: the prefix (":" or "S3"), then the bytes in hex, the checksum last.
bool PutRecord(FILE* file, const char* prefix, const uint8_t* bytes, size_t n) {
    char line[2 + 2 * 64 + 2];
    size_t at = std::strlen(prefix);
    std::memcpy(line, prefix, at);
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(line + at, 3, "%02X", bytes[i]);
        at += 2;
    }
    line[at++] = '\n';
    return std::fwrite(line, 1, at, file) == at;
}

// Intel HEX: the checksum makes the sum of all bytes zero.
bool PutHex(FILE* file, uint8_t type, uint16_t offset, const uint8_t* data, uint32_t n) {
    uint8_t record[5 + 255] = {static_cast<uint8_t>(n), static_cast<uint8_t>(offset >> 8),
                               static_cast<uint8_t>(offset), type};
    if (n != 0) { // the end record has no data
        std::memcpy(record + 4, data, n);
    }
    uint8_t sum = 0;
    for (uint32_t i = 0; i < 4 + n; ++i) {
        sum = static_cast<uint8_t>(sum + record[i]);
    }
    record[4 + n] = static_cast<uint8_t>(-sum);
    return PutRecord(file, ":", record, 5 + n);
}

bool WriteHex(FILE* file, uint32_t address, const uint8_t* data, size_t n) {
    int64_t upper = -1;
    for (size_t at = 0; at < n;) {
        const uint32_t a = address + static_cast<uint32_t>(at);
        if ((a >> 16) != upper) {
            upper = a >> 16;
            const uint8_t ela[2] = {static_cast<uint8_t>(a >> 24), static_cast<uint8_t>(a >> 16)};
            if (!PutHex(file, 4, 0, ela, 2)) {
                return false;
            }
        }
        // A record never crosses into the next 64 KiB.
        uint32_t length = kRecordBytes - a % kRecordBytes;
        length = n - at < length ? static_cast<uint32_t>(n - at) : length;
        if (!PutHex(file, 0, static_cast<uint16_t>(a), data + at, length)) {
            return false;
        }
        at += length;
    }
    return PutHex(file, 1, 0, nullptr, 0);
}

// S-records: count, address, data; the checksum is the ones' complement of their sum.
bool PutS(FILE* file, const char* type, uint32_t address, const uint8_t* data, uint32_t n) {
    uint8_t record[1 + 4 + 255 + 1] = {
        static_cast<uint8_t>(4 + n + 1), static_cast<uint8_t>(address >> 24),
        static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
        static_cast<uint8_t>(address)};
    if (n != 0) {
        std::memcpy(record + 5, data, n);
    }
    uint8_t sum = 0;
    for (uint32_t i = 0; i < 5 + n; ++i) {
        sum = static_cast<uint8_t>(sum + record[i]);
    }
    record[5 + n] = static_cast<uint8_t>(~sum);
    return PutRecord(file, type, record, 6 + n);
}

bool WriteSRecords(FILE* file, uint32_t address, const uint8_t* data, size_t n) {
    for (size_t at = 0; at < n;) {
        const uint32_t a = address + static_cast<uint32_t>(at);
        uint32_t length = kRecordBytes - a % kRecordBytes; // records on 16-byte lines, as HEX
        length = n - at < length ? static_cast<uint32_t>(n - at) : length;
        if (!PutS(file, "S3", a, data + at, length)) {
            return false;
        }
        at += length;
    }
    return PutS(file, "S7", address, nullptr, 0); // the start: where the image begins
}

} // namespace

ImageFormat OutputFormatForPath(const char* path) {
    const char* extension = PathExtension(path);
    const ImageFormat format = FormatFromExtension(extension);
    if (format == ImageFormat::Binary) {
        return NamesRawFile(extension) ? format : ImageFormat::None;
    }
    return format == ImageFormat::IntelHex || format == ImageFormat::SRecord ? format
                                                                             : ImageFormat::None;
}

OutputResult CheckOutputPath(const char* path, int* systemError) {
    *systemError = 0;
    return CheckOutputTarget(path, systemError);
}

OutputResult WriteImageFile(const char* path, ImageFormat format, uint32_t address,
                            const uint8_t* data, size_t n, int* systemError) {
    *systemError = 0;
    const OutputResult target = CheckOutputTarget(path, systemError);
    OutputTemp temp;
    if (target != OutputOk || !CreateOutputTemp(path, &temp, systemError)) {
        return target != OutputOk ? target : OutputCantWrite;
    }
    bool written = format == ImageFormat::IntelHex  ? WriteHex(temp.file, address, data, n)
                   : format == ImageFormat::SRecord ? WriteSRecords(temp.file, address, data, n)
                                                    : std::fwrite(data, 1, n, temp.file) == n;
    if (!written) {
        *systemError = LastOutputError();
        DiscardOutputTemp(&temp);
        return OutputCantWrite;
    }
    return CommitOutputTemp(&temp, systemError) ? OutputOk : OutputCantWrite;
}
