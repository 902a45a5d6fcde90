// Programming run: one image file to one device, in the fixed command order.
#pragma once
#include "engine/serial.h"
#include "image/format.h"
#include "image/plan.h"

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

// Looks for an image embedded in the updater at exePath (image/embedded.h); when found,
// reports its description once as ImageInfo through the status callback. true when found.
// The front ends call this in place of the loader itself.
[[nodiscard]] bool LoadUpdaterImage(const char* exePath);

// Runs one programming run. The image becomes a write plan (image/plan.h) after the port
// is opened and before anything is sent: a file that is not a regular file or cannot be
// read gives kResultCantOpenFile, a damaged HEX record or an image with nothing to write
// kResultInvalidFormat, and neither sends a byte. Progress runs from 1 to 101 over the
// plan's bytes, one report before each block and one after the last; blocks that are all
// 0xFF are counted but not sent, since the device was just erased. After an abort nothing
// more is sent: the device is left unprotected and the result is kResultCantProtect.
// Returns only after the port is closed.
ResultCode ProgramDevice(const char* imagePath, const char* extension, const char* portPath);

// The constant text of a result code's class.
const char* ResultMessage(ResultCode code);

// ---- Runs with options (the command line; the dialog's run above never changes) ----

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

struct RunOptions {
    LineSettings line;
    bool verify = false; // read every block back before protecting; a difference: class 12
    bool protect = true; // false: write and read-out protection are left off
    bool go = false;     // start the firmware at the FLASH base (refused under protection)
    // With a pin used: BOOT0 high and a reset pulse before contact, BOOT0 low and a reset
    // pulse after a successful run, so that the new firmware starts.
    BootWiring boot;
};

// What a run found out, for a front end that explains its result.
struct RunReport {
    int portError = 0;            // the system's error number when the port would not open
    bool modemLines = true;       // false: the modem lines could not be driven
    bool answered = false;        // a bootloader answered
    uint16_t productId = 0;       // as Get ID reported it, accepted or not; 0 when none came
    uint64_t imageBytes = 0;      // the bytes of the image's write plan
    uint32_t mismatchAddress = 0; // verify: the first differing address ...
    uint8_t expected = 0;         // ... what the image holds there ...
    uint8_t found = 0;            // ... and what the chip gave back
};

// A programming run with options. Unlike ProgramDevice it recognises a bootloader that an
// earlier run left synchronised or inside a command. Verify
// reports its progress with the kind Verify. report may be null.
ResultCode ProgramDeviceWith(const char* imagePath, const char* extension, const char* portPath,
                             const RunOptions& options, RunReport* report);
