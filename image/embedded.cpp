#include "image/embedded.h"

#include "image/input.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

EmbeddedImage embeddedImage = {0, 0, ""};

using File = std::unique_ptr<FILE, decltype(&fclose)>;

uint32_t LittleEndian32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

uint32_t LittleEndian16(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8;
}

bool ReadAt(FILE* file, int64_t position, void* bytes, size_t count) {
    return position >= 0 && position <= LONG_MAX &&
           fseek(file, static_cast<long>(position), SEEK_SET) == 0 &&
           fread(bytes, 1, count, file) == count;
}

// Reads the description that runs from infoOffset up to its NUL at nulAt, and keeps its
// first line, at most 255 bytes, in text. False when the file holds a NUL before nulAt.
bool ReadDescription(FILE* file, int64_t infoOffset, int64_t nulAt, char* text) {
    char chunk[kDescriptionSize];
    for (int64_t at = infoOffset; at <= nulAt;) {
        const auto count = static_cast<size_t>(
            nulAt + 1 - at < kDescriptionSize ? nulAt + 1 - at : kDescriptionSize);
        if (!ReadAt(file, at, chunk, count)) {
            return false;
        }
        if (at == infoOffset) {
            const size_t kept = count < kDescriptionSize - 1 ? count : kDescriptionSize - 1;
            memcpy(text, chunk, kept);
            text[kept] = '\0';
            if (char* lf = static_cast<char*>(memchr(text, '\n', kept))) {
                lf[1] = '\0';
            }
        }
        if (const void* nul = memchr(chunk, 0, count)) {
            return at + (static_cast<const char*>(nul) - chunk) == nulAt;
        }
        at += static_cast<int64_t>(count);
    }
    return false;
}

// Whether a valid trailer ends at end; fills found when it does. Positions are compared in
// 64 bits, so that no field can wrap a test into passing.
bool ImageEndsAt(FILE* file, int64_t end, EmbeddedImage* found) {
    uint8_t bytes[kTrailerSize];
    if (!ReadAt(file, end - kTrailerSize, bytes, kTrailerSize)) {
        return false;
    }
    const int64_t imageOffset = static_cast<int32_t>(LittleEndian32(bytes));
    const int64_t imageLength = static_cast<int32_t>(LittleEndian32(bytes + 4));
    const int64_t infoOffset = static_cast<int32_t>(LittleEndian32(bytes + 8));
    // A partial block would reach the chip as a padded one, and a zero length would leave
    // the run dividing by zero for its progress figure.
    if (imageOffset <= 0 || imageLength <= 0 || imageLength % 256 != 0 ||
        infoOffset != imageOffset + imageLength || infoOffset > end - kTrailerSize - 1 ||
        !ReadDescription(file, infoOffset, end - kTrailerSize - 1, found->description)) {
        return false;
    }
    found->imageOffset = static_cast<int32_t>(imageOffset);
    found->imageLength = static_cast<int32_t>(imageLength);
    return true;
}

// The start of the certificate table that the PE security directory names, when that
// table ends exactly at size; 0 otherwise.
int64_t CertificateTableAt(FILE* file, int64_t size) {
    uint8_t headers[kPeHeadersRead];
    if (!ReadAt(file, 0, headers, 2) || headers[0] != 'M' || headers[1] != 'Z' ||
        !ReadAt(file, kPeHeadersAt, headers, 4) ||
        !ReadAt(file, LittleEndian32(headers), headers, sizeof headers)) {
        return 0;
    }
    const int entry = PeSecurityEntryAt(headers, sizeof headers);
    if (entry == 0) {
        return 0;
    }
    const int64_t start = LittleEndian32(headers + entry);
    const int64_t length = LittleEndian32(headers + entry + 4);
    return length > 0 && start + length == size ? start : 0;
}

// A trailer before the certificate table. The padding between them is up to 7 zero bytes,
// and a trailer may itself end in zero bytes, so each end within the zeros is tried.
bool ImageEndsBefore(FILE* file, int64_t table, EmbeddedImage* found) {
    uint8_t before[8];
    if (!ReadAt(file, table - 8, before, sizeof before)) {
        return false;
    }
    for (int padding = 0; padding < 8; ++padding) {
        if (ImageEndsAt(file, table - padding, found)) {
            return true;
        }
        if (before[7 - padding] != 0) {
            return false;
        }
    }
    return false;
}

} // namespace

const EmbeddedImage& GetEmbeddedImage() {
    return embeddedImage;
}

int PeSecurityEntryAt(const uint8_t* headers, int length) {
    if (length < kPeHeadersRead || memcmp(headers, "PE\0\0", 4) != 0) {
        return 0;
    }
    const uint32_t optionalSize = LittleEndian16(headers + 20);
    const uint32_t magic = LittleEndian16(headers + 24);
    const int directories = magic == 0x10B ? 96 : magic == 0x20B ? 112 : 0;
    constexpr int kSecurity = 4;
    if (directories == 0 || optionalSize < directories + 8u * (kSecurity + 1) ||
        LittleEndian32(headers + 24 + directories - 4) <= kSecurity) {
        return 0;
    }
    return 24 + directories + 8 * kSecurity;
}

void ForgetEmbeddedImage() {
    embeddedImage.imageOffset = 0;
    embeddedImage.imageLength = 0;
}

EmbeddedResult LoadEmbeddedImage(const char* exePath) {
    ForgetEmbeddedImage();

    FILE* opened = nullptr;
    if (OpenInputFile(exePath, &opened) != InputOk) {
        return EmbeddedNone;
    }
    File file(opened, &fclose);
    if (fseek(file.get(), 0, SEEK_END) != 0) {
        return EmbeddedNone;
    }
    const int64_t size = ftell(file.get());
    EmbeddedImage found{};
    bool ok = ImageEndsAt(file.get(), size, &found);
    if (!ok) {
        const int64_t table = CertificateTableAt(file.get(), size);
        ok = table != 0 && ImageEndsBefore(file.get(), table, &found);
    }
    if (!ok) {
        return EmbeddedNone;
    }
    embeddedImage = found;
    return EmbeddedFound;
}

void DescrambleBlock(uint8_t* block, uint32_t blockLength, uint8_t* chain) {
    uint8_t previous = *chain;
    for (uint32_t i = 0; i < blockLength; ++i) {
        const uint8_t stored = block[i];
        block[i] = static_cast<uint8_t>((kScrambleKey - stored) ^ previous);
        previous = stored;
    }
    *chain = previous;
}

void ScrambleBlock(uint8_t* block, uint32_t blockLength, uint8_t* chain) {
    uint8_t previous = *chain;
    for (uint32_t i = 0; i < blockLength; ++i) {
        const uint8_t stored = static_cast<uint8_t>(kScrambleKey - (block[i] ^ previous));
        block[i] = stored;
        previous = stored;
    }
    *chain = previous;
}
