// Write plan: an image file turned into the blocks a programming run sends, before the
// device is touched. Blocks come in ascending address order; each is at most 256 bytes,
// word aligned in address and length (the F10x bootloader programs nothing else safely),
// padded with 0xFF where the file gives no byte, and no FLASH word is in two blocks.
//
// Raw images go in 256-byte blocks from the FLASH base; the last one is cut to the file's
// end rounded up to a word. An updater's embedded image (when LoadEmbeddedImage found
// one) is raw whatever the file's name, descrambled, and ends where the image ends.
// Intel HEX data records are taken by their start address within the first 64 KiB of
// FLASH (a record that starts inside runs whole); where two records give the same byte,
// the later one wins.
//
// One plan per process; core code: nothing is printed.
#pragma once
#include "device/chips.h"
#include "image/format.h"

#include <cstddef>
#include <cstdint>

constexpr uint32_t kRawBlockSize = 256;
constexpr uint32_t kHexWindowFirst = kFlashBase;
constexpr uint32_t kHexWindowLast = kFlashBase + 0xFFFF;
// Larger than any F10x FLASH, and than any HEX text that describes one.
constexpr size_t kMaxRawImageSize = 1024 * 1024;
constexpr size_t kMaxHexFileSize = 16 * 1024 * 1024;

enum class PlanResult {
    Ok,
    CantOpen, // not a regular file, cannot be opened, or a read failed
    Invalid,  // a damaged HEX record, nothing to write, or larger than any F10x FLASH
};

struct PlanBlock {
    uint32_t address;
    uint32_t length;
    const uint8_t* data; // valid until the plan is closed or opened again
    bool erased;         // all 0xFF: nothing to send after an erase
};

struct PlanSummary {
    uint64_t totalBytes = 0; // the sum of the block lengths: what progress counts
    uint32_t blocks = 0;
    uint32_t erasedBlocks = 0;
    uint32_t recordsOutside = 0;   // HEX data records that start outside the window
    size_t damagedLine = 0;        // HEX: 1-based line of a damaged record, or 0
    const char* problem = nullptr; // ... and what is wrong with it
};

// Reads path and builds its plan. format is Binary or IntelHex; it is ignored when an
// embedded image is present.
PlanResult OpenWritePlan(const char* path, ImageFormat format);

// The next block in address order; false after the last.
bool NextPlanBlock(PlanBlock* block);

// The figures of the last plan opened; kept after CloseWritePlan.
const PlanSummary& GetPlanSummary();

// Back to the first block, to go through the plan again (a read-back after the writes).
void RewindWritePlan();

// Frees the plan's memory.
void CloseWritePlan();
