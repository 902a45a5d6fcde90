// Embedded image: a scrambled firmware image appended to the tool's own executable.
//
// File layout: [executable][scrambled image][description][NUL][ImageTrailer: 12 bytes,
// little-endian imageOffset, imageLength, infoOffset = imageOffset + imageLength]. A signed
// updater then carries [zero padding to 8 bytes][certificate table]: signing appends the
// table behind the trailer and names it in the PE security directory.
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

// What LoadEmbeddedImage found: 0 and 1, as the window's run has always taken them.
enum EmbeddedResult : int { EmbeddedFound = 0, EmbeddedNone = 1 };

// Examines exePath for a valid trailer and description. EmbeddedFound when found (the
// description is then in GetEmbeddedImage()), EmbeddedNone otherwise (offset and length
// then 0). The trailer stands
// at the very end of the file, or just before a certificate table that the PE security
// directory names and that ends the file, with only zero padding between the two. It must
// describe a positive whole number of 256-byte blocks, followed by the description, whose
// NUL is the last byte before the trailer and its only NUL. The description kept is its
// first line (up to and including an LF), at most 255 bytes.
EmbeddedResult LoadEmbeddedImage(const char* exePath);

// Back to no image, as if LoadEmbeddedImage had found none (zuva-pack, between an
// updater it read and an image it reads next).
void ForgetEmbeddedImage();

// PE header facts that signing touches. The security directory entry holds the
// certificate table's file offset and size; the optional header's CheckSum sits at
// kPeChecksumAt from the "PE\0\0" signature, which the MZ header names at kPeHeadersAt.
constexpr int kPeHeadersAt = 0x3C;
constexpr int kPeChecksumAt = 24 + 64;
constexpr int kPeHeadersRead = 24 + 112 + 5 * 8; // up to PE32+'s security entry

// Where the security directory entry (8 bytes) stands in the PE headers, counted from the
// signature; 0 when headers (length bytes read at the signature) are no PE32 or PE32+
// headers that hold one.
int PeSecurityEntryAt(const uint8_t* headers, int length);

// Descrambles block in place; chain carries the last stored byte from block to block
// and starts at 0 for each run.
void DescrambleBlock(uint8_t* block, uint32_t blockLength, uint8_t* chain);

// The packer's inverse of DescrambleBlock, with the same chaining.
void ScrambleBlock(uint8_t* block, uint32_t blockLength, uint8_t* chain);
