// Programming run: one image file to one device, in the fixed command order.
#pragma once
#include "engine/serial.h"
#include "image/format.h"
#include "image/plan.h"

#include <cstddef>
#include <cstdint>

// A run's result: its class in bits 16 and up, 0 = success. The front ends show the
// class's text (ResultMessage) and, on the command line, exit with the class.
using ResultCode = uint32_t;

constexpr ResultCode kResultOk = 0x00000;
constexpr ResultCode kResultCantOpenPort = 0x10000;
constexpr ResultCode kResultCantOpenFile = 0x20000;
constexpr ResultCode kResultInvalidFormat = 0x30000;
constexpr ResultCode kResultCommError = 0x40000;
constexpr ResultCode kResultNotPresent = 0x80000;
constexpr ResultCode kResultCantProtect = 0x90000;
constexpr ResultCode kResultCantUnprotect = 0xA0000;
constexpr ResultCode kResultCantErase = 0xB0000;
constexpr ResultCode kResultVerifyFailed = 0xC0000; // command line runs only
// A read-back (command line only) refused by a read-out protected chip: nothing was read.
constexpr ResultCode kResultReadProtected = 0xD0000;

// Looks for an image embedded in the updater at exePath (image/embedded.h); when found,
// reports its description once as ImageInfo through the status callback. true when found.
// The front ends call this in place of the loader itself.
[[nodiscard]] bool LoadUpdaterImage(const char* exePath);

// One pin of the board driven by a modem line: high while the line is asserted, or, when
// inverted, high while it is cleared.
struct PinWiring {
    bool used = false;
    ModemLine line = ModemLine::Rts;
    bool inverted = false;
};

struct BootWiring {
    PinWiring boot0;
    PinWiring reset; // the reset pin is active low: a pulse drives it low, then high
};

// What a front end may choose of a run. The defaults are the window's run.
struct RunOptions {
    LineSettings line;
    bool verify = false; // read every block back before protecting; a difference: class 12
    bool protect = true; // false: write and read-out protection are left off
    bool go = false;     // start the firmware at rawBase (refused under protection)
    // With a pin used: BOOT0 high and a reset pulse before contact, BOOT0 low and a reset
    // pulse after a successful run, so that the new firmware starts.
    BootWiring boot;
    // Every chip of device/chips.h, not only the low-, medium- and high-density ones;
    // never for an updater's embedded image.
    bool anyF10x = false;
    // Where a raw image's first byte goes (word aligned); files with addresses of their own
    // (HEX, S-records, ELF) ignore it. Go starts the firmware here.
    uint32_t rawBase = kFlashBase;
    // Erase only the pages the image touches and keep the rest; no Readout Unprotect.
    bool pageErase = false;
    // A 32-bit little-endian word added to the write plan (a serial number), when used.
    bool serialUsed = false;
    uint32_t serialAddress = 0;
    uint32_t serialNumber = 0;
};

// What a run was asked to do.
enum class RunTask : uint8_t {
    Write, // an image into FLASH (ProgramDevice)
    Read,  // FLASH into a file (ReadDevice)
    Erase, // lift protection and erase, write nothing (EraseDevice)
};

// What a run found out, for ResultDetail.
struct RunReport {
    RunTask task = RunTask::Write;
    PlanSummary plan;              // the image's figures, or why it was refused
    bool noFormat = false;         // the extension names no image format
    int portError = 0;             // the system's error number when the port would not open
    bool modemLines = true;        // false: the modem lines could not be driven
    bool answered = false;         // a bootloader answered
    uint16_t productId = 0;        // as Get ID reported it, accepted or not; 0 when none came
    uint32_t flashMaxSize = 0;     // the largest FLASH of the accepted chip's family
    bool imageTooLarge = false;    // the image ends beyond it: refused before any change
    uint32_t serialAt = 0;         // where the serial number's word was added; 0: none
    uint64_t imageBytes = 0;       // the bytes of the image's write plan
    uint8_t failedCommand = 0;     // the command the chip did not carry out (BlCommand), or 0
    uint32_t failedAddress = 0;    // ... for Write Memory and Read Memory: the block's address
    bool stopped = false;          // the user asked to stop
    uint32_t mismatchAddress = 0;  // verify: the first differing address ...
    uint8_t expected = 0;          // ... what the image holds there ...
    uint8_t found = 0;             // ... and what the chip gave back
    bool changed = false;          // an unprotect, erase or write reached the chip
    int linkError = 0;             // the system's error number when the port or server went
                                   // away during the run; 0 when it did not
    uint16_t flashKib = 0;         // the chip's FLASH size register; 0 when not read
    bool readoutProtected = false; // the chip refused Read Memory: read-out protection is on
    bool uidRead = false;          // the chip's 96-bit unique ID, read after the unprotect
    uint8_t uid[12] = {};
    uint32_t pagesErased = 0;       // page erase: the pages the image touched
    bool pageOutOfReach = false;    // page erase: the image touches a page past the 256th,
    uint32_t pageAddress = 0;       // ... which starts here
    uint32_t readAddress = 0;       // a read: where it starts ...
    uint32_t readLength = 0;        // ... and how many bytes (0 before it is known)
    bool rangeOutsideFlash = false; // the address range lies outside the chip's FLASH
    int outputError = 0;            // a read: the system's error number when FILE failed
};

// Turns the image into its write plan (image/plan.h) as a run does, touching no port:
// kResultOk, kResultCantOpenFile or kResultInvalidFormat, with the plan's figures in
// report->plan. The plan stays open for the caller to go through and close. A raw image
// starts at rawBase.
ResultCode PlanImage(const char* imagePath, const char* extension, RunReport* report,
                     uint32_t rawBase = kFlashBase);

// Runs one programming run: sync, identify, read the FLASH size register and unique ID,
// unprotect, erase, send the image's write plan block by block, protect; the first
// failing step decides the class. The image becomes its plan after the port is opened and
// before anything is sent: a file that cannot be read gives kResultCantOpenFile, one that
// is not a whole valid image kResultInvalidFormat, and neither sends a byte. An image that
// ends beyond the chip's FLASH (its size register's figure, else its family's largest) is
// refused (kResultInvalidFormat) before anything changes on the chip; a read-out
// protected chip shows its size register only after Readout Unprotect (which erases it),
// and then the image is refused before any erase or write. With pageErase only the pages
// the image touches are erased and no Readout Unprotect is sent: a read-out protected
// chip gives kResultReadProtected, an image past the 256th page kResultInvalidFormat,
// both before anything changes. A bootloader that an earlier run left synchronised
// or inside a command is recognised. Progress runs from 1 to 101 over the plan's bytes,
// one report before each block and one after the last (a read-back reports as Verify);
// blocks that are all 0xFF are counted but not sent, since the device was just erased.
// After an abort nothing more is sent: the device is left unprotected and the result is
// kResultCantProtect. report may be null. Returns only after the port is closed.
ResultCode ProgramDevice(const char* imagePath, const char* extension, const char* portPath,
                         const RunOptions& options = RunOptions(), RunReport* report = nullptr);

// Where a read's bytes go once every one of them is in: length bytes that lie at address.
// true when kept; false, with the system's error number in *error, when not.
using ReadSink = bool (*)(const void* context, uint32_t address, const uint8_t* bytes,
                          uint32_t length, int* error);

// Reads the chip's FLASH: length bytes from address, or with length 0 everything from
// address to the end of FLASH (the size register's figure, else the family's largest),
// and hands them to sink (a file: image/image_out.h). Nothing is unprotected, erased or
// written. A read-out protected chip refuses: kResultReadProtected. The sink is called
// only once every byte is in, so that a failed or stopped read leaves nothing behind; a
// sink that fails gives kResultCantOpenFile with its error in report->outputError.
// Progress as for a write; report may be null.
ResultCode ReadDevice(const char* portPath, uint32_t address, uint32_t length, ReadSink sink,
                      const void* context, const RunOptions& options = RunOptions(),
                      RunReport* report = nullptr);

// The bytes the read in progress fetches, for a progress display; 0 before it knows.
uint64_t ReadTotalBytes();

// Lifts read-out and write protection and erases all of FLASH; writes nothing and sets no
// protection. report may be null.
ResultCode EraseDevice(const char* portPath, const RunOptions& options = RunOptions(),
                       RunReport* report = nullptr);

// The constant text of a result code's class.
const char* ResultMessage(ResultCode code);

// Why a run ended as it did and what to try next, as one or two sentences for the user,
// e.g. "No answer from a bootloader on COM3. Set BOOT0 high and reset the board, then try
// again." port and image name the port and the file as the user knows them. Written into
// out, always terminated, cut to outSize. Nothing is printed.
void ResultDetail(ResultCode result, const RunReport& report, const char* port, const char* image,
                  char* out, size_t outSize);
