// Small helpers shared by the run tests: image files in a scratch folder, and a check
// that a run left no file open behind it.
#pragma once
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

// A scratch folder of its own for one test executable, removed by RemoveScratch.
std::filesystem::path ScratchDir();
void RemoveScratch();

// Writes bytes to ScratchDir()/name and returns the path as text.
std::string WriteScratchFile(const std::string& name, const std::vector<uint8_t>& bytes);
std::string WriteScratchText(const std::string& name, const std::string& text);

// The lowest file descriptor the C library hands out next: a FILE that a run left open
// shows up as a higher number afterwards.
int LowestFreeFd();

// n bytes of a pattern that differs from block to block and from erased FLASH.
std::vector<uint8_t> PatternBytes(size_t n, uint8_t seed = 0x11);

// One Intel HEX record line, without its line end: type, 16-bit address, data, checksum.
std::string HexLine(uint8_t type, uint16_t address, const uint8_t* data, size_t n);
inline std::string HexLine(uint8_t type, uint16_t address, const std::vector<uint8_t>& data) {
    return HexLine(type, address, data.data(), data.size());
}

// One S-record line without its line end: the type digit, the address as wide as the type
// takes, data and checksum.
std::string SRecordLine(int type, uint32_t address, const std::vector<uint8_t>& data);

// A linked 32-bit little-endian ARM ELF file: one program header per segment, then each
// segment's file bytes, in order. memorySize 0: as many as the file bytes.
struct ElfSegment {
    uint32_t type; // 1: PT_LOAD
    uint32_t loadAddress;
    std::vector<uint8_t> bytes;
    uint32_t memorySize = 0;
};
std::vector<uint8_t> ElfFile(const std::vector<ElfSegment>& segments);

// Paths that name no regular file and must be refused at once: the scratch folder, and
// the platform's special files (a FIFO without a writer and /dev/zero; the NUL device).
std::vector<std::string> SpecialFiles();
