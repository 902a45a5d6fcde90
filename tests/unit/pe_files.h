// Executables as signing leaves them, for the loader's and the packer's tests: PE headers
// with a security directory, and a certificate table appended the way signing tools do.
#pragma once
#include <cstdint>
#include <vector>

namespace pe_files {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kHeaders = 0x40;   // where the MZ header puts the PE headers
constexpr uint32_t kTableSize = 1480; // as osslsigncode wrote it for ZuvaFlash.exe
constexpr uint16_t kPe32 = 0x10B;
constexpr uint16_t kPe32Plus = 0x20B;

inline void Put(Bytes* b, size_t at, uint32_t value, int width = 4) {
    for (int i = 0; i < width; ++i) {
        (*b)[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

inline uint32_t Get(const Bytes& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// Where the security directory entry stands in a file made by Exe.
inline size_t SecurityEntry(const Bytes& b) {
    return kHeaders + 24 + (b[kHeaders + 25] == kPe32 >> 8 ? 96 : 112) + 4 * 8;
}

inline size_t Checksum() {
    return kHeaders + 24 + 64;
}

// size bytes of unsigned program: MZ and PE headers with 16 data directories.
inline Bytes Exe(uint32_t size, uint16_t magic = kPe32, uint32_t directories = 16) {
    Bytes exe(size, 0x5A);
    exe[0] = 'M';
    exe[1] = 'Z';
    Put(&exe, 0x3C, kHeaders);
    Put(&exe, kHeaders, 0x00004550); // "PE\0\0"
    const uint32_t first = magic == kPe32 ? 96 : 112;
    Put(&exe, kHeaders + 20, first + 16 * 8, 2); // SizeOfOptionalHeader
    Put(&exe, kHeaders + 24, magic, 2);
    Put(&exe, kHeaders + 24 + first - 4, directories);
    Put(&exe, SecurityEntry(exe), 0);
    Put(&exe, SecurityEntry(exe) + 4, 0);
    return exe;
}

// What signing makes of file: zero padding to 8 bytes (and extra zeros more), the table,
// the security entry pointing at it and a CheckSum.
inline Bytes Signed(Bytes file, size_t extra = 0) {
    while (file.size() % 8 != 0) {
        file.push_back(0);
    }
    file.insert(file.end(), extra, 0);
    const auto table = static_cast<uint32_t>(file.size());
    file.insert(file.end(), kTableSize, 0x30);
    Put(&file, SecurityEntry(file), table);
    Put(&file, SecurityEntry(file) + 4, kTableSize);
    Put(&file, Checksum(), 0x1234);
    return file;
}

// file with the 32-bit value at at replaced.
inline Bytes With(Bytes file, size_t at, uint32_t value) {
    Put(&file, at, value);
    return file;
}

} // namespace pe_files
