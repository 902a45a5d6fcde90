// Embedded image: a scrambled firmware image appended to the tool's own executable.
//
// File layout: [executable][scrambled image][description][NUL][ImageTrailer: 12 bytes,
// little-endian imageOffset, imageLength, infoOffset = imageOffset + imageLength].
#pragma once
#include <cstdint>

// The scramble constant, shared by the programmer and the packer.
constexpr uint8_t kScrambleKey = 0xA5;

constexpr int kDescriptionSize = 256;      // 255 characters and a NUL
constexpr int kMaxDescriptionLength = 242; // tail (text, NUL, trailer) under one block
constexpr int kTrailerSize = 12;

struct EmbeddedImage {
    int32_t imageOffset; // 0 means no image
    int32_t imageLength;
    char description[kDescriptionSize];
};

// The state that LoadEmbeddedImage found; read-only for everyone else.
const EmbeddedImage& GetEmbeddedImage();

// Examines exePath for a valid trailer and description. 0 when found (the description is
// then in GetEmbeddedImage()), 1 otherwise (offset and length then 0).
int LoadEmbeddedImage(const char* exePath);

// Descrambles block in place; chain carries the last stored byte from block to block
// and starts at 0 for each run.
void DescrambleBlock(uint8_t* block, uint32_t blockLength, uint8_t* chain);

// The packer's inverse of DescrambleBlock, with the same chaining.
void ScrambleBlock(uint8_t* block, uint32_t blockLength, uint8_t* chain);
