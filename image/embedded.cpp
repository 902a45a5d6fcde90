#include "image/embedded.h"

#include "image/input.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

EmbeddedImage embeddedImage = {0, 0, ""};

using File = std::unique_ptr<FILE, decltype(&fclose)>;

struct Trailer {
    int32_t imageOffset;
    int32_t imageLength;
    int32_t infoOffset;
};

int32_t LittleEndian32(const uint8_t* bytes) {
    return static_cast<int32_t>(
        static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
        static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24);
}

// Reads the last 12 bytes of the file; size receives the file's length. 0 on success.
int ReadTrailer(FILE* file, long* size, Trailer* trailer) {
    if (fseek(file, 0, SEEK_END) != 0) {
        return 1;
    }
    *size = ftell(file);
    if (*size < kTrailerSize || fseek(file, -kTrailerSize, SEEK_END) != 0) {
        return 1;
    }
    uint8_t bytes[kTrailerSize];
    if (fread(bytes, 1, kTrailerSize, file) != kTrailerSize) {
        return 1;
    }
    trailer->imageOffset = LittleEndian32(bytes);
    trailer->imageLength = LittleEndian32(bytes + 4);
    trailer->infoOffset = LittleEndian32(bytes + 8);
    return 0;
}

// The trailer tests, in order. Sizes are compared in 64 bits so that a file beyond 2 GiB
// cannot wrap a test into passing. The last test is ours: a trailer of zero (or negative)
// length would otherwise pass and leave the run dividing by zero for its progress figure.
bool TrailerIsValid(const Trailer& t, long size) {
    const int64_t s = size;
    return t.imageOffset != 0 &&
           static_cast<uint32_t>(t.infoOffset) - static_cast<uint32_t>(t.imageOffset) ==
               static_cast<uint32_t>(t.imageLength) &&
           t.infoOffset <= s - 13 && t.imageOffset < s - 8 && t.imageOffset > 0 &&
           t.imageLength > 0;
}

// Reads the description line at infoOffset: at most 255 bytes, up to and including the
// first LF. 0 when at least one byte was read.
int ReadDescription(FILE* file, int32_t infoOffset, char* text) {
    if (fseek(file, infoOffset, SEEK_SET) != 0) {
        return 1;
    }
    return fgets(text, kDescriptionSize, file) != nullptr ? 0 : 1;
}

} // namespace

const EmbeddedImage& GetEmbeddedImage() {
    return embeddedImage;
}

int LoadEmbeddedImage(const char* exePath) {
    embeddedImage.imageOffset = 0;
    embeddedImage.imageLength = 0;

    FILE* opened = nullptr;
    if (OpenInputFile(exePath, &opened) != InputOk) {
        return 1;
    }
    File file(opened, &fclose);
    long size = 0;
    Trailer trailer{};
    char text[kDescriptionSize] = "";
    if (ReadTrailer(file.get(), &size, &trailer) != 0 || !TrailerIsValid(trailer, size) ||
        ReadDescription(file.get(), trailer.infoOffset, text) != 0) {
        return 1;
    }

    embeddedImage.imageOffset = trailer.imageOffset;
    embeddedImage.imageLength = trailer.imageLength;
    memcpy(embeddedImage.description, text, sizeof text);
    return 0;
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
