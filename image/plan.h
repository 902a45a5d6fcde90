// Write plan: an image file turned into the blocks a programming run sends, before the
// device is touched. Blocks come in ascending address order; each is at most 256 bytes,
// word aligned in address and length (the F10x bootloader programs nothing else safely),
// padded with 0xFF where the file gives no byte, and no FLASH word is in two blocks.
//
// Raw images go in 256-byte blocks from the FLASH base; the last one is cut to the file's
// end rounded up to a word. An updater's embedded image (when LoadEmbeddedImage found
// one) is raw whatever the file's name, descrambled, and ends where the image ends.
// A raw image that begins as a Windows program ("MZ") or an ELF file does is refused: it is
// no firmware image, and written into FLASH it would never run.
// The data records of Intel HEX and S-record files, and the loadable segments of ELF
// files, may lie anywhere in the FLASH of the largest chip in the table; a byte outside it
// refuses the file, since a chip could never hold it. Two records (or segments) may give
// the same byte only with the same value; different values refuse the file, since either
// one would be lost.
//
// One plan per process; core code: nothing is printed.
#pragma once
#include "device/chips.h"
#include "image/format.h"

#include <cstddef>
#include <cstdint>

constexpr uint32_t kRawBlockSize = 256;
// Where an image may lie, from kFlashBase: the FLASH of the largest chip in the table.
constexpr uint32_t kImageSpan = MaxFlashSize(true);
constexpr size_t kMaxRawImageSize = kImageSpan;
// Larger than any HEX or S-record text that describes such an image.
constexpr size_t kMaxHexFileSize = 16 * 1024 * 1024;
// Room for an ELF file's symbols and debugging sections beside the image.
constexpr size_t kMaxElfFileSize = 64 * 1024 * 1024;

enum class PlanResult {
    Ok,
    CantOpen, // not a regular file, cannot be opened, or a read failed
    Invalid,  // a damaged file, data outside FLASH, overlaps, nothing to write, too large,
              // or a program rather than a raw image
};

// Why a plan was refused, for the explanation of a run's result.
enum class PlanProblem {
    None,
    CantOpen,       // systemError tells why
    NotRegular,     // a directory, device, FIFO or socket
    ReadError,      // the read failed, or memory ran short
    TooLarge,       // a raw image larger than kImageSpan
    HexDamaged,     // a HEX or S-record file: hexLine and hexWhy tell where and why
    OutsideFlash,   // hexLine (for ELF the segment) and outsideAddress: a byte outside FLASH
    NoData,         // nothing to write
    Overlap,        // hexLine and otherLine (segments for ELF) give different bytes at
                    // outsideAddress
    ElfDamaged,     // hexWhy: an ELF header this reader does not take
    ElfSegment,     // segment hexLine at load address outsideAddress: hexWhy
    WindowsProgram, // a raw image that is a Windows program (an updater, say)
    ElfAsRaw,       // a raw image that is an ELF file
    BadAddress,     // outsideAddress: a raw image's start or a plan word that is not word
                    // aligned, or lies outside FLASH
    WordTaken,      // outsideAddress: a plan word where the image already gives bytes
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
    uint32_t imageEnd = 0; // where the last block ends, counted from kFlashBase
    PlanProblem problem = PlanProblem::None;
    int systemError = 0;                    // CantOpen: the system's error number, or 0
    ImageFormat format = ImageFormat::None; // as the file was read (an updater's: Binary)
    size_t hexLine = 0;           // the 1-based line; for ELF the segment (program header)
    size_t otherLine = 0;         // Overlap: the earlier line or segment
    const char* hexWhy = nullptr; // HexDamaged, ElfDamaged, ElfSegment: what is wrong
    uint32_t outsideAddress = 0;  // OutsideFlash: the first byte outside; Overlap: the
                                  // first byte given twice; ElfSegment: the load address
};

// Reads path and builds its plan. format is any but None; it is ignored when an embedded image is
// present. A raw image's first byte goes to rawBase (word aligned, inside FLASH); it must end
// inside FLASH too. Files that carry addresses of their own ignore rawBase.
PlanResult OpenWritePlan(const char* path, ImageFormat format, uint32_t rawBase = kFlashBase);

// Adds a 32-bit little-endian word at address to the open plan (a serial number). The
// address must be word aligned, inside FLASH and outside the bytes the image gives;
// otherwise the plan is unchanged and Invalid comes back with the problem in the summary.
// Call before going through the blocks; the summary's figures include the word.
PlanResult AddPlanWord(uint32_t address, uint32_t value);

// The next block in address order; false after the last.
bool NextPlanBlock(PlanBlock* block);

// The figures of the last plan opened; kept after CloseWritePlan.
const PlanSummary& GetPlanSummary();

// Back to the first block, to go through the plan again (a read-back after the writes).
void RewindWritePlan();

// Frees the plan's memory.
void CloseWritePlan();
