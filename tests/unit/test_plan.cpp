// The write plan of HEX files: the exact edges of the window, and several files planned one
// after another in one process, each from its own bytes only.
#include "image/plan.h"
#include "tests/device/run_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
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
    uint32_t recordsOutside;
};

std::ostream& operator<<(std::ostream& out, const Block& b) {
    return out << std::hex << "{0x" << b.address << ", " << std::dec << b.length << ", 0x"
               << std::hex << int(b.first) << std::dec << "}";
}

// Plans the text as a file; the plan is left open, as a run that went to its end leaves it.
Planned Plan(const std::string& name, const std::string& text,
             ImageFormat format = ImageFormat::IntelHex) {
    Planned p{OpenWritePlan(WriteScratchText(name, text).c_str(), format), {}, 0};
    PlanBlock block;
    while (NextPlanBlock(&block)) {
        p.blocks.push_back({block.address, block.length, block.data[0]});
    }
    p.recordsOutside = GetPlanSummary().recordsOutside;
    return p;
}

class WritePlan : public ::testing::Test {
  protected:
    void TearDown() override {
        CloseWritePlan();
        RemoveScratch();
    }
};

// A record is taken by its start address: 0x08000000 and 0x0800FFFF are inside (the
// latter's second byte lands beyond), 0x07FFFFFF and 0x08010000 are not.
TEST_F(WritePlan, WindowEdgesAreExact) {
    const std::string inside = Upper(0x0800) + Data(0x0100, 4, 0xAA);
    const struct {
        const char* name;
        std::string text;
        std::vector<Block> blocks;
        uint32_t outside;
    } cases[] = {
        {"first byte", Upper(0x0800) + Data(0x0000, 4, 0x11), {{0x08000000, 4, 0x11}}, 0},
        {"last byte",
         Upper(0x0800) + Data(0xFFFF, 2, 0x22),
         {{0x0800FFFC, 4, 0xFF}, {0x08010000, 4, 0x22}},
         0},
        {"just below", Upper(0x07FF) + Data(0xFFFF, 1, 0x33) + inside, {{0x08000100, 4, 0xAA}}, 1},
        {"just above", Upper(0x0801) + Data(0x0000, 4, 0x44) + inside, {{0x08000100, 4, 0xAA}}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Planned p = Plan("edge.hex", c.text);
        EXPECT_EQ(PlanResult::Ok, p.result);
        EXPECT_EQ(c.blocks, p.blocks);
        EXPECT_EQ(c.outside, p.recordsOutside);
    }
}

// Nothing of one file reaches the next: not its bytes, not its figures, not its upper
// address (the second file's first record, before any type 04, lies at 0x00000200) and not
// its end record.
TEST_F(WritePlan, EachFileIsPlannedOnItsOwn) {
    const Planned a = Plan("a.hex", Upper(0x0801) + Data(0x0000, 4, 0x01) + Upper(0x0800) +
                                        Data(0x0000, 16, 0x02) + ":00000001FF\n");
    const Planned b = Plan("b.hex", Data(0x0200, 4, 0x03) + Upper(0x0800) + Data(0x0100, 4, 0x04));
    const Planned c = Plan("c.bin", std::string(300, 'x'), ImageFormat::Binary);
    EXPECT_EQ(PlanResult::Ok, a.result);
    EXPECT_EQ((std::vector<Block>{{0x08000000, 16, 0x02}}), a.blocks);
    EXPECT_EQ(1u, a.recordsOutside);
    EXPECT_EQ(PlanResult::Ok, b.result);
    EXPECT_EQ((std::vector<Block>{{0x08000100, 4, 0x04}}), b.blocks);
    EXPECT_EQ(1u, b.recordsOutside);
    EXPECT_EQ(PlanResult::Ok, c.result);
    EXPECT_EQ((std::vector<Block>{{0x08000000, 256, 'x'}, {0x08000100, 44, 'x'}}), c.blocks);
    EXPECT_EQ(0u, c.recordsOutside);
}

} // namespace
