// The write plan of HEX, S-record and ELF files: the exact edges of FLASH, the same plan
// from each format, bytes given twice, and several files planned one after another in one
// process, each from its own bytes only.
#include "image/plan.h"
#include "tests/device/run_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

namespace {

std::string Data(uint16_t address, size_t length, uint8_t value) {
    return HexLine(0, address, std::vector<uint8_t>(length, value)) + "\n";
}

std::string Upper(uint16_t upper) {
    return HexLine(4, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)}) + "\n";
}

struct Block {
    uint32_t address;
    uint32_t length;
    uint8_t first; // the block's first byte
    bool operator==(const Block&) const = default;
};

struct Planned {
    PlanResult result;
    std::vector<Block> blocks;
    PlanSummary summary;
};

std::ostream& operator<<(std::ostream& out, const Block& b) {
    return out << std::hex << "{0x" << b.address << ", " << std::dec << b.length << ", 0x"
               << std::hex << int(b.first) << std::dec << "}";
}

// Plans the text as a file; the plan is left open, as a run that went to its end leaves it.
Planned Plan(const std::string& name, const std::string& text,
             ImageFormat format = ImageFormat::IntelHex, uint32_t rawBase = kFlashBase,
             uint32_t wordAt = 0) {
    Planned p{OpenWritePlan(WriteScratchText(name, text).c_str(), format, rawBase), {}, {}};
    if (p.result == PlanResult::Ok && wordAt != 0) {
        p.result = AddPlanWord(wordAt, 0x04030201);
    }
    PlanBlock block;
    while (NextPlanBlock(&block)) {
        p.blocks.push_back({block.address, block.length, block.data[0]});
    }
    p.summary = GetPlanSummary();
    return p;
}

class WritePlan : public ::testing::Test {
  protected:
    void TearDown() override {
        CloseWritePlan();
        RemoveScratch();
    }
};

const std::string kEnd = ":00000001FF\n";

// Data anywhere in the FLASH of the largest chip is planned, to its last byte; one byte
// outside refuses the file, naming the line and the first address outside.
TEST_F(WritePlan, FlashEdgesAreExact) {
    const std::string inside = Upper(0x0800) + Data(0x0100, 4, 0xAA);
    const struct {
        const char* name;
        std::string text;
        std::vector<Block> blocks; // when planned
        size_t line = 0;           // when refused ...
        uint32_t outside = 0;      // ... and the first address outside FLASH
    } cases[] = {
        {"first byte", Upper(0x0800) + Data(0x0000, 4, 0x11) + kEnd, {{0x08000000, 4, 0x11}}},
        {"past 64 KiB",
         Upper(0x0800) + Data(0xFFFF, 2, 0x22) + Upper(0x0807) + Data(0xFF00, 4, 0x23) + kEnd,
         {{0x0800FFFC, 4, 0xFF}, {0x08010000, 4, 0x22}, {0x0807FF00, 4, 0x23}}},
        {"last byte", Upper(0x080F) + Data(0xFFFC, 4, 0x24) + kEnd, {{0x080FFFFC, 4, 0x24}}},
        {"across the end",
         inside + Upper(0x080F) + Data(0xFFFE, 4, 0x33) + kEnd,
         {},
         4,
         0x08100000},
        {"just below", inside + Upper(0x07FF) + Data(0xFFFF, 1, 0x44) + kEnd, {}, 4, 0x07FFFFFF},
        {"no type 04", Data(0x0000, 4, 0x55) + inside + kEnd, {}, 1, 0x00000000},
        {"RAM", inside + Upper(0x2000) + Data(0x0000, 4, 0x66) + kEnd, {}, 4, 0x20000000},
        {"option bytes", inside + Upper(0x1FFF) + Data(0xF800, 4, 0x77) + kEnd, {}, 4, 0x1FFFF800},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Planned p = Plan("edge.hex", c.text);
        if (c.line == 0) {
            EXPECT_EQ(PlanResult::Ok, p.result);
            EXPECT_EQ(c.blocks, p.blocks);
        } else {
            EXPECT_EQ(PlanResult::Invalid, p.result);
            EXPECT_EQ(PlanProblem::OutsideFlash, p.summary.problem);
            EXPECT_EQ(c.line, p.summary.hexLine);
            EXPECT_EQ(c.outside, p.summary.outsideAddress);
        }
    }
}

std::string Text(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

std::string ElfText(const std::vector<ElfSegment>& segments) {
    const std::vector<uint8_t> file = ElfFile(segments);
    return std::string(file.begin(), file.end());
}

// Text in FLASH, data loaded behind it and .bss beyond: one plan from each format.
TEST_F(WritePlan, EveryFormatGivesTheSamePlan) {
    const std::vector<uint8_t> text = PatternBytes(300, 1);
    const std::vector<uint8_t> data = PatternBytes(12, 2);
    const std::string hex = Upper(0x0800) + HexLine(0, 0, text.data(), 255) + "\n" +
                            HexLine(0, 255, text.data() + 255, 45) + "\n" +
                            HexLine(0, 0x200, data) + "\n" + kEnd;
    const std::vector<uint8_t> head(text.begin(), text.begin() + 250);
    const std::vector<uint8_t> tail(text.begin() + 250, text.end());
    const std::string srec =
        Text({SRecordLine(0, 0, {'f', 'w'}), SRecordLine(3, 0x08000000, head),
              SRecordLine(3, 0x080000FA, tail), SRecordLine(3, 0x08000200, data),
              SRecordLine(5, 3, {}), SRecordLine(7, 0x08000000, {})});
    const std::string elf = ElfText({{1, 0x08000000, text},
                                     {1, 0x08000200, data, 0x80},
                                     {1, 0x20000000, {}, 0x400},
                                     {4, 0x20001000, PatternBytes(8)}});
    const std::vector<Block> expected = {
        {0x08000000, 256, text[0]}, {0x08000100, 44, text[256]}, {0x08000200, 12, data[0]}};
    for (const auto& [name, format, file] : {std::tuple{"fw.hex", ImageFormat::IntelHex, hex},
                                             {"fw.srec", ImageFormat::SRecord, srec},
                                             {"fw.elf", ImageFormat::Elf, elf}}) {
        SCOPED_TRACE(name);
        const Planned p = Plan(name, file, format);
        EXPECT_EQ(PlanResult::Ok, p.result);
        EXPECT_EQ(expected, p.blocks);
        EXPECT_EQ(format, p.summary.format);
    }
}

// Two records (or segments) may give a byte twice only with the same value; otherwise
// both are named, the earlier first, with the first byte they disagree on.
TEST_F(WritePlan, BytesGivenTwiceMustAgree) {
    const std::vector<uint8_t> a = PatternBytes(8, 1);
    std::vector<uint8_t> b(a.begin() + 4, a.end());
    b.push_back(0x99);
    std::vector<uint8_t> c = b;
    c[1] ^= 0xFF;
    const struct {
        const char* name;
        ImageFormat format;
        std::string text;
        size_t first = 0; // refused: the earlier line or segment ...
        size_t later = 0; // ... the later one ...
        uint32_t at = 0;  // ... and the first byte they differ on
    } cases[] = {
        {"same.hex", ImageFormat::IntelHex,
         Upper(0x0800) + Text({HexLine(0, 0, a), HexLine(0, 4, b)}) + kEnd},
        {"other.hex", ImageFormat::IntelHex,
         Upper(0x0800) + Text({HexLine(0, 0, a), HexLine(0, 4, b), HexLine(0, 4, c)}) + kEnd, 2, 4,
         0x08000005},
        {"other.srec", ImageFormat::SRecord,
         Text({SRecordLine(3, 0x08000004, b), SRecordLine(3, 0x08000000, a),
               SRecordLine(3, 0x08000004, c), SRecordLine(7, 0, {})}),
         1, 3, 0x08000005},
        {"same.elf", ImageFormat::Elf, ElfText({{1, 0x08000000, a}, {1, 0x08000004, b}})},
        {"other.elf", ImageFormat::Elf, ElfText({{1, 0x08000000, a}, {1, 0x08000004, c}}), 0, 1,
         0x08000005},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Planned p = Plan(c.name, c.text, c.format);
        if (c.at == 0) {
            EXPECT_EQ(PlanResult::Ok, p.result);
            EXPECT_EQ((std::vector<Block>{{0x08000000, 12, a[0]}}), p.blocks);
        } else {
            EXPECT_EQ(PlanResult::Invalid, p.result);
            EXPECT_EQ(PlanProblem::Overlap, p.summary.problem);
            EXPECT_EQ(c.first, p.summary.otherLine);
            EXPECT_EQ(c.later, p.summary.hexLine);
            EXPECT_EQ(c.at, p.summary.outsideAddress);
        }
    }
}

// An ELF file's refusals name the segment and its load address.
TEST_F(WritePlan, ElfSegmentsOutsideFlashOrTheFileAreRefused) {
    const Planned ram = Plan(
        "ram.elf", ElfText({{1, 0x08000000, PatternBytes(8)}, {1, 0x20000000, PatternBytes(8)}}),
        ImageFormat::Elf);
    EXPECT_EQ(PlanProblem::OutsideFlash, ram.summary.problem);
    EXPECT_EQ(1u, ram.summary.hexLine);
    EXPECT_EQ(0x20000000u, ram.summary.outsideAddress);
    std::string cut = ElfText({{1, 0x08000000, PatternBytes(8)}, {1, 0x08000100, PatternBytes(8)}});
    cut.pop_back();
    const Planned short_ = Plan("cut.elf", cut, ImageFormat::Elf);
    EXPECT_EQ(PlanProblem::ElfSegment, short_.summary.problem);
    EXPECT_EQ(1u, short_.summary.hexLine);
    EXPECT_EQ(0x08000100u, short_.summary.outsideAddress);
    const Planned x86 = Plan("x86.elf",
                             "\x7F"
                             "ELF\x01\x02",
                             ImageFormat::Elf);
    EXPECT_EQ(PlanProblem::ElfDamaged, x86.summary.problem);
}

// Nothing of one file reaches the next: not its bytes, not its figures, not its upper
// address (the second file's first record, before any type 04, lies at 0x00000200 and is
// refused) and not its problem.
TEST_F(WritePlan, EachFileIsPlannedOnItsOwn) {
    const Planned a = Plan("a.hex", Upper(0x0801) + Data(0x0000, 4, 0x01) + Upper(0x0800) +
                                        Data(0x0000, 16, 0x02) + kEnd);
    const Planned b = Plan("b.hex", Data(0x0200, 4, 0x03) + Upper(0x0800) + kEnd);
    const Planned c = Plan("c.bin", std::string(300, 'x'), ImageFormat::Binary);
    EXPECT_EQ(PlanResult::Ok, a.result);
    EXPECT_EQ((std::vector<Block>{{0x08000000, 16, 0x02}, {0x08010000, 4, 0x01}}), a.blocks);
    EXPECT_EQ(0x10004u, a.summary.imageEnd);
    EXPECT_EQ(PlanResult::Invalid, b.result);
    EXPECT_EQ(0x200u, b.summary.outsideAddress);
    EXPECT_EQ(PlanResult::Ok, c.result);
    EXPECT_EQ((std::vector<Block>{{0x08000000, 256, 'x'}, {0x08000100, 44, 'x'}}), c.blocks);
    EXPECT_EQ(PlanProblem::None, c.summary.problem);
    EXPECT_EQ(300u, c.summary.imageEnd);
}

// A raw image at an address of its own, and a word (a serial number) added beside an image:
// where the blocks go, and what is refused with the plan left as the image made it.
TEST_F(WritePlan, RawBaseAndAddedWord) {
    constexpr ImageFormat kBin = ImageFormat::Binary;
    constexpr ImageFormat kHex = ImageFormat::IntelHex;
    using P = PlanProblem;
    const std::vector<Block> app = {{0x08004000, 256, 'a'}, {0x08004100, 44, 'a'}};
    const Block base0{0x08000000, 256, 'a'};
    const Block base1{0x08000100, 44, 'a'};
    const std::vector<Block> eight = {{0x08000000, 8, 0x02}};
    const struct {
        const char* name;
        ImageFormat format;
        uint32_t rawBase;
        uint32_t wordAt;
        PlanProblem problem; // None: planned
        std::vector<Block> blocks;
    } kCases[] = {
        {"at.bin", kBin, 0x08004000, 0, P::None, app},
        {"odd.bin", kBin, 0x08004002, 0, P::BadAddress, {}},
        {"below.bin", kBin, 0x07FFFF00, 0, P::BadAddress, {}},
        {"past.bin", kBin, kFlashBase + kImageSpan - 256, 0, P::TooLarge, {}},
        {"word.bin", kBin, 0x08004000, 0x08004130, P::None, {app[0], {0x08004100, 52, 'a'}}},
        {"far.bin", kBin, kFlashBase, 0x0801F000, P::None, {base0, base1, {0x0801F000, 4, 0x01}}},
        {"taken.bin", kBin, 0x08004000, 0x08004128, P::WordTaken, app},
        {"word.hex", kHex, kFlashBase, 0x08000008, P::None, {{0x08000000, 12, 0x02}}},
        {"taken.hex", kHex, kFlashBase, 0x08000004, P::WordTaken, eight},
        {"odd.hex", kHex, kFlashBase, 0x0800000A, P::BadAddress, eight},
    };
    const std::string hex = Upper(0x0800) + Data(0x0000, 8, 0x02) + kEnd;
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const std::string text = c.format == kBin ? std::string(300, 'a') : hex;
        const Planned p = Plan(c.name, text, c.format, c.rawBase, c.wordAt);
        EXPECT_EQ(c.problem == P::None ? PlanResult::Ok : PlanResult::Invalid, p.result);
        EXPECT_EQ(c.problem, p.summary.problem);
        EXPECT_EQ(c.blocks, p.blocks);
    }
}

} // namespace
