// ELF reader: a table of files, each a good one with one thing changed, and its verdict.
#include "image/elf.h"
#include "tests/device/run_files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Seen {
    uint32_t address;
    size_t length;
    bool operator==(const Seen&) const = default;
};

struct Outcome {
    ReadResult result = ReadResult::Ok;
    std::vector<Seen> segments;
    ElfProblem problem;
};

// Reads file from an exact-size heap block, so that AddressSanitizer catches any read past
// its end.
Outcome Read(const std::vector<uint8_t>& file) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[file.size() + 1]);
    std::copy(file.begin(), file.end(), exact.get());
    Outcome out;
    auto visit = [](void* context, const HexRecord& r) {
        static_cast<Outcome*>(context)->segments.push_back({r.address, size_t(r.length)});
        return r.address == 0x0800DEAD ? 7 : 0;
    };
    out.result = ReadElfImage(exact.get(), file.size(), visit, &out, &out.problem);
    return out;
}

void Put(std::vector<uint8_t>* file, size_t at, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        (*file)[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

TEST(ElfImage, EveryFileHasItsVerdict) {
    // Text in FLASH; data that runs in RAM, loaded behind it, with .bss beyond its bytes;
    // a note and an empty segment that load nothing.
    const std::vector<ElfSegment> segments = {
        {1, 0x08000000, PatternBytes(300)},
        {4, 0x08001000, PatternBytes(8)},
        {1, 0x0800012C, PatternBytes(12), 0x100},
        {1, 0x20000100, {}, 0x40},
    };
    const std::vector<uint8_t> good = ElfFile(segments);
    auto with = [&](size_t at, uint32_t value, int bytes) {
        std::vector<uint8_t> file = good;
        Put(&file, at, value, bytes);
        return file;
    };
    const size_t ph2 = 52 + 32 * 2; // the data segment's program header
    const struct {
        const char* name;
        std::vector<uint8_t> file;
        std::vector<Seen> segments; // when read whole
        int segment = -1;           // when refused: the segment ...
        const char* why = nullptr;  // ... and the reason
    } cases[] = {
        {"good", good, {{0x08000000, 300}, {0x0800012C, 12}}},
        {"no program headers", with(44, 0, 2), {}},
        {"empty", {}, {}, -1, "not an ELF file (no ELF header)"},
        {"a HEX file", {':', '0', '0', '0'}, {}, -1, "not an ELF file (no ELF header)"},
        {"cut in the header",
         std::vector<uint8_t>(good.begin(), good.begin() + 51),
         {},
         -1,
         "the file ends inside its ELF header: it is cut short"},
        {"64-bit", with(4, 2, 1), {}, -1, "not a 32-bit ELF file"},
        {"big-endian", with(5, 2, 1), {}, -1, "not a little-endian ELF file"},
        {"x86", with(18, 3, 2), {}, -1, "not an ELF file for ARM"},
        {"object file",
         with(16, 1, 2),
         {},
         -1,
         "not a linked executable (an object file or a library)"},
        {"headers too small", with(42, 31, 2), {}, -1, "program headers smaller than 32 bytes"},
        {"headers past the end",
         with(28, 0xFFFFFFF0, 4),
         {},
         -1,
         "the program headers run past the file's end: it is cut short"},
        {"many headers",
         with(44, 0xFFFF, 2),
         {},
         -1,
         "the program headers run past the file's end: it is cut short"},
        {"segment past the end",
         with(ph2 + 16, 13, 4),
         {{0x08000000, 300}},
         2,
         "the segment runs past the file's end: the file is cut short"},
        {"segment offset wraps",
         with(ph2 + 4, 0xFFFFFFFF, 4),
         {{0x08000000, 300}},
         2,
         "the segment runs past the file's end: the file is cut short"},
        {"cut in a segment",
         std::vector<uint8_t>(good.begin(), good.end() - 1),
         {{0x08000000, 300}},
         2,
         "the segment runs past the file's end: the file is cut short"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome out = Read(c.file);
        EXPECT_EQ(c.segments, out.segments);
        if (c.why == nullptr) {
            EXPECT_EQ(ReadResult::Ok, out.result) << (out.problem.why ? out.problem.why : "");
        } else {
            EXPECT_EQ(ReadResult::Damaged, out.result);
            EXPECT_EQ(c.segment, out.problem.segment);
            EXPECT_STREQ(c.why, out.problem.why);
        }
    }
    // The visitor's stop names the segment and its load address.
    const Outcome stopped = Read(with(ph2 + 12, 0x0800DEAD, 4));
    EXPECT_EQ(ReadResult::Stopped, stopped.result);
    EXPECT_EQ(2, stopped.problem.segment);
    EXPECT_EQ(0x0800DEADu, stopped.problem.address);
}

} // namespace
