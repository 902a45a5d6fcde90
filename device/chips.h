// The chips this programmer knows: one row per product ID that Get ID reports. The engine
// accepts these IDs, the command line names them, zuva-pack sizes images by them and
// zuva-devsim models them. A new family is one row here.
#pragma once
#include <cstdint>

constexpr uint32_t kFlashBase = 0x08000000; // FLASH as the bootloader addresses it

// In system memory on every F10x, read with Read Memory unless read-out protected: the
// FLASH size in KiB (16 bits, little-endian) and, eight bytes on, the 96-bit unique ID.
constexpr uint32_t kFlashSizeRegister = 0x1FFFF7E0;
constexpr uint32_t kUniqueIdAddress = 0x1FFFF7E8;
constexpr uint32_t kUniqueIdSize = 12;

struct ChipInfo {
    uint16_t productId;
    const char* name;       // "medium-density", as messages name it
    uint32_t flashMinSize;  // the smallest part of the family, in bytes ...
    uint32_t flashMaxSize;  // ... and the largest
    uint32_t pageSize;      // the erase unit
    uint32_t wrpSectorSize; // the FLASH one write-protection bit covers
    uint32_t ramSize;       // of the largest part
    // Accepted only when a run asks for the whole F10x family; the window and updaters
    // take the low-, medium- and high-density chips alone.
    bool wholeFamilyOnly;
};

// Low, medium and high density first, in that order; then the rest of the F10x family.
inline constexpr ChipInfo kChips[] = {
    {0x412, "low-density", 16 * 1024, 32 * 1024, 1024, 4096, 10 * 1024, false},
    {0x410, "medium-density", 64 * 1024, 128 * 1024, 1024, 4096, 20 * 1024, false},
    {0x414, "high-density", 256 * 1024, 512 * 1024, 2048, 4096, 64 * 1024, false},
    {0x418, "connectivity line", 64 * 1024, 256 * 1024, 2048, 4096, 64 * 1024, true},
    {0x420, "value line", 16 * 1024, 128 * 1024, 1024, 4096, 8 * 1024, true},
    {0x428, "high-density value line", 256 * 1024, 512 * 1024, 2048, 4096, 32 * 1024, true},
    {0x430, "XL-density", 768 * 1024, 1024 * 1024, 2048, 4096, 96 * 1024, true},
};

// The row of a product ID, or nullptr for a chip not listed.
constexpr const ChipInfo* FindChip(uint16_t productId) {
    for (const ChipInfo& chip : kChips) {
        if (chip.productId == productId) {
            return &chip;
        }
    }
    return nullptr;
}

// The row of a product ID that a run accepts, or nullptr: the whole family only when
// wholeFamily is set.
constexpr const ChipInfo* AcceptedChip(uint16_t productId, bool wholeFamily) {
    const ChipInfo* chip = FindChip(productId);
    return chip != nullptr && (wholeFamily || !chip->wholeFamilyOnly) ? chip : nullptr;
}

// The largest FLASH of the chips accepted with or without the whole family: the bound
// for an image.
constexpr uint32_t MaxFlashSize(bool wholeFamily = true) {
    uint32_t largest = 0;
    for (const ChipInfo& chip : kChips) {
        if (wholeFamily || !chip.wholeFamilyOnly) {
            largest = chip.flashMaxSize > largest ? chip.flashMaxSize : largest;
        }
    }
    return largest;
}
