#include "image/elf.h"

#include <cstring>

namespace {

constexpr uint8_t kMagic[] = {0x7F, 'E', 'L', 'F'};
constexpr size_t kHeaderSize = 52;        // Elf32_Ehdr
constexpr size_t kProgramHeaderSize = 32; // Elf32_Phdr
constexpr uint16_t kExecutable = 2;       // ET_EXEC
constexpr uint16_t kArm = 40;             // EM_ARM
constexpr uint32_t kLoad = 1;             // PT_LOAD

uint32_t Le(const uint8_t* bytes, int count) {
    uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i) {
        value = value << 8 | bytes[i];
    }
    return value;
}

// Why the ELF header is not one this reader takes; nullptr when it is.
const char* CheckHeader(const uint8_t* file, size_t size) {
    if (size < sizeof kMagic || memcmp(file, kMagic, sizeof kMagic) != 0) {
        return "not an ELF file (no ELF header)";
    }
    // Class and byte order first: a 64-bit header is longer than the one read here.
    if (size > 4 && file[4] != 1) {
        return "not a 32-bit ELF file";
    }
    if (size > 5 && file[5] != 1) {
        return "not a little-endian ELF file";
    }
    if (size < kHeaderSize) {
        return "the file ends inside its ELF header: it is cut short";
    }
    if (Le(file + 18, 2) != kArm) {
        return "not an ELF file for ARM";
    }
    if (Le(file + 16, 2) != kExecutable) {
        return "not a linked executable (an object file or a library)";
    }
    const uint64_t table = Le(file + 28, 4);
    const uint64_t entrySize = Le(file + 42, 2);
    const uint64_t count = Le(file + 44, 2);
    if (count != 0 && entrySize < kProgramHeaderSize) {
        return "program headers smaller than 32 bytes";
    }
    if (table + entrySize * count > size) {
        return "the program headers run past the file's end: it is cut short";
    }
    return nullptr;
}

} // namespace

ReadResult ReadElfImage(const uint8_t* file, size_t size, HexRecordVisitor visit, void* context,
                        ElfProblem* problem) {
    ElfProblem found;
    ReadResult result = ReadResult::Ok;
    found.why = CheckHeader(file, size);
    const size_t table = found.why == nullptr ? Le(file + 28, 4) : 0;
    const int count = found.why == nullptr ? static_cast<int>(Le(file + 44, 2)) : 0;
    const size_t entrySize = found.why == nullptr ? Le(file + 42, 2) : 0;
    for (int i = 0; i < count && result == ReadResult::Ok; ++i) {
        const uint8_t* entry = file + table + entrySize * static_cast<size_t>(i);
        const uint64_t offset = Le(entry + 4, 4);
        const uint64_t length = Le(entry + 16, 4);
        if (Le(entry, 4) != kLoad || length == 0) {
            continue;
        }
        found.segment = i;
        found.address = Le(entry + 12, 4);
        if (offset + length > size || length > 0x7FFFFFFF) {
            found.why = "the segment runs past the file's end: the file is cut short";
            break;
        }
        const HexRecord segment{found.address, file + offset, static_cast<int>(length)};
        result = visit(context, segment) == 0 ? ReadResult::Ok : ReadResult::Stopped;
    }
    if (found.why != nullptr) {
        result = ReadResult::Damaged;
    }
    if (result != ReadResult::Ok && problem != nullptr) {
        *problem = found;
    }
    return result;
}
