// The programming run: sync, identify, unprotect, erase, write the image block by block or
// record by record, protect. The first failing step decides the result class.
#include "engine/program.h"

#include "engine/bootloader.h"
#include "engine/serial.h"
#include "engine/serial_platform.h"
#include "engine/status.h"
#include "image/embedded.h"
#include "image/hex.h"

#include <cstdio>
#include <cstring>

namespace {

// Intel HEX records are accepted by their start address only.
constexpr uint32_t kHexWindowFirst = 0x08000000;
constexpr uint32_t kHexWindowLast = 0x0800FFFF;

// Reported for an image of no bytes, where position / total has no meaning: the run has
// nothing left to write, so it counts as complete (the same figure as a finished image).
constexpr int kEmptyImagePercent = 101;

// One raw block (256 bytes) or one text line (510 characters and a NUL), whose record
// data is decoded in place at its start.
uint8_t blockBuffer[512];

// Whatever a run acquired, released on every way out: the file if it was opened, and the
// port, also when OpenPort failed after creating a handle (ClosePort is safe when closed).
struct RunResources {
    FILE* file = nullptr;
    RunResources() = default;
    RunResources(const RunResources&) = delete;
    RunResources& operator=(const RunResources&) = delete;
    ~RunResources() {
        if (file != nullptr) {
            std::fclose(file);
        }
        ClosePort();
    }
};

// Where the image lies in the file, and the bytes the progress figure counts.
struct ImageExtent {
    long offset; // first image byte: the embedded image's offset, or 0
    long total;  // bytes counted by the progress figure
};

ImageExtent LocateImage(FILE* file) {
    const EmbeddedImage& embedded = GetEmbeddedImage();
    std::fseek(file, 0, SEEK_END);
    ImageExtent extent{0, std::ftell(file)};
    if (embedded.imageOffset != 0) {
        extent = {embedded.imageOffset, embedded.imageLength};
    }
    std::fseek(file, extent.offset, SEEK_SET);
    return extent;
}

// 64-bit, so positions of any size give a correct figure.
int ProgressPercent(FILE* file, const ImageExtent& extent) {
    if (extent.total <= 0) {
        return kEmptyImagePercent;
    }
    long long done = static_cast<long long>(std::ftell(file)) - extent.offset;
    return static_cast<int>(done * 100 / extent.total + 1);
}

// Nonzero when the user asked to stop.
int ReportProgress(FILE* file, const ImageExtent& extent) {
    StatusCallback callback = GetStatusCallback();
    if (callback == nullptr) {
        return 0;
    }
    return callback(Progress, ProgressPercent(file, extent));
}

enum class Unit { Write, Skip, End };

struct Block {
    uint32_t address;
    uint32_t length;
};

// Next raw block; a short read (end of file, or the tail behind an embedded image) ends
// the loop and is not written.
Unit ReadRawBlock(FILE* file, Block* block) {
    if (std::fread(blockBuffer, 1, kRawBlockSize, file) != kRawBlockSize) {
        return Unit::End;
    }
    block->length = kRawBlockSize;
    return Unit::Write;
}

Unit ReadHexLine(FILE* file) {
    return ReadTextLine(file, reinterpret_cast<char*>(blockBuffer), kHexLineLimit) == 1
               ? Unit::Write
               : Unit::End;
}

// Decodes the line in the buffer into a record at its own address.
Unit DecodeHexRecord(Block* block) {
    uint32_t address = 0;
    int length = 0;
    int record =
        ParseHexRecord(reinterpret_cast<const char*>(blockBuffer), blockBuffer, &address, &length);
    if (record == 0) {
        return Unit::End;
    }
    if (record < 0 || address < kHexWindowFirst || address > kHexWindowLast) {
        return Unit::Skip;
    }
    // A record of length 0 goes out as the protocol's 256-byte count and fails there.
    *block = {address, static_cast<uint32_t>(length)};
    return Unit::Write;
}

// The block loop. 0 when it ended (end of image, end record, or abort), else the result
// of a failed write; the device is then left unprotected.
ResultCode WriteImage(FILE* file, ImageFormat format) {
    const ImageExtent extent = LocateImage(file);
    const bool descramble = GetEmbeddedImage().imageOffset != 0;
    Block block{kFlashBase, kRawBlockSize};
    uint8_t chain = 0;
    ResetHexReader();
    for (;;) {
        if (ReportProgress(file, extent) != 0) {
            return kResultOk;
        }
        Unit unit = format == ImageFormat::Binary ? ReadRawBlock(file, &block) : ReadHexLine(file);
        if (unit == Unit::End) {
            return kResultOk;
        }
        if (descramble) {
            DescrambleBlock(blockBuffer, kRawBlockSize, &chain);
        }
        if (format == ImageFormat::IntelHex) {
            unit = DecodeHexRecord(&block);
            if (unit == Unit::End) {
                return kResultOk;
            }
            if (unit == Unit::Skip) {
                continue;
            }
        }
        if (BlWriteMemory(block.address, blockBuffer, block.length) != 0) {
            return kResultCommError;
        }
        if (format == ImageFormat::Binary) {
            block.address += kRawBlockSize;
        }
    }
}

// Contact, unprotect and erase, in this order; the first failure decides the class.
ResultCode PrepareDevice() {
    if (BlSync() != 0 || BlGetId() != 0) {
        return kResultNotPresent;
    }
    if (BlReadoutUnprotect() != 0 || BlWriteUnprotect() != 0) {
        return kResultCantUnprotect;
    }
    if (BlEraseAll() != 0) {
        return kResultCantErase;
    }
    return kResultOk;
}

// Also runs after an abort: the final abort makes the first acknowledgement fail.
ResultCode ProtectDevice() {
    if (BlWriteProtect() != 0 || BlReadoutProtect() != 0) {
        return kResultCantProtect;
    }
    return kResultOk;
}

} // namespace

ImageFormat FormatFromExtension(const char* extension) {
    static constexpr struct {
        const char* spelling;
        ImageFormat format;
    } kFormats[] = {
        {"bin", ImageFormat::Binary},   {"BIN", ImageFormat::Binary},
        {"exe", ImageFormat::Binary},   {"EXE", ImageFormat::Binary},
        {"hex", ImageFormat::IntelHex}, {"HEX", ImageFormat::IntelHex},
    };
    if (extension == nullptr) {
        return ImageFormat::None;
    }
    for (const auto& entry : kFormats) {
        if (std::strcmp(extension, entry.spelling) == 0) {
            return entry.format;
        }
    }
    return ImageFormat::None;
}

const char* PathExtension(const char* path) {
    if (path == nullptr) {
        return "";
    }
    const char* dot = std::strrchr(path, '.');
    return dot != nullptr ? dot + 1 : path + std::strlen(path);
}

ResultCode ProgramDevice(const char* imagePath, const char* extension, const char* portPath) {
    const ImageFormat format = FormatFromExtension(extension);
    if (format == ImageFormat::None) {
        return kResultInvalidFormat;
    }
    RunResources run;
    if (OpenPort(portPath) != 0) {
        return kResultCantOpenPort;
    }
    run.file = std::fopen(imagePath, "rb");
    if (run.file == nullptr) {
        return kResultCantOpenFile;
    }
    ResultCode result = PrepareDevice();
    if (result == kResultOk) {
        result = WriteImage(run.file, format);
    }
    if (result == kResultOk) {
        result = ProtectDevice();
    }
    return result;
}

const char* ResultMessage(ResultCode code) {
    switch (code >> 16) {
    case 0:
        return "Finished OK";
    case 1:
        return "Can't open port";
    case 2:
        return "Can't open file";
    case 3:
        return "Invalid file format";
    case 4:
        return "Communication error";
    case 8:
        return "Zuva not present";
    case 9:
        return "Can't protect device";
    case 10:
        return "Can't unprotect device";
    case 11:
        return "Can't erase device";
    case 12:
        return "Verify failed";
    default:
        return "Unknown error";
    }
}

// ---- Runs with options ----

namespace {

constexpr uint32_t kResetPulseMs = 20;
// The bootloader listens about 1.2 ms after reset; boards with a supervisor or a slow
// crystal need longer.
constexpr uint32_t kBootStartMs = 50;
constexpr uint32_t kVerifyBlock = 256;

// Drives a pin high or low through its line. 0, or 1 when the line cannot be driven.
int DrivePin(const PinWiring& pin, bool high) {
    if (!pin.used) {
        return 0;
    }
    return SetModemLine(pin.line, high != pin.inverted);
}

// BOOT0 to the wanted level, then a reset pulse and the start-up wait.
int ResetInto(const BootWiring& boot, bool bootloader) {
    if (DrivePin(boot.boot0, bootloader) != 0 || DrivePin(boot.reset, false) != 0) {
        return 1;
    }
    SysSleepMs(kResetPulseMs);
    if (DrivePin(boot.reset, true) != 0) {
        return 1;
    }
    SysSleepMs(kBootStartMs);
    return 0;
}

bool BootPinsUsed(const BootWiring& boot) {
    return boot.boot0.used || boot.reset.used;
}

// The abort answer is final, so asking again tells whether the block loop was stopped.
bool StopRequested() {
    StatusCallback callback = GetStatusCallback();
    return callback != nullptr && callback(Poll, 0) != 0;
}

// Contact, unprotect and erase, as PrepareDevice, with what the front end may explain.
ResultCode PrepareReported(RunReport* report) {
    if (BlSyncOrResume() != 0) {
        return kResultNotPresent;
    }
    report->answered = true;
    if (BlGetId(&report->productId) != 0) {
        return kResultNotPresent;
    }
    if (BlReadoutUnprotect() != 0 || BlWriteUnprotect() != 0) {
        return kResultCantUnprotect;
    }
    return BlEraseAll() != 0 ? kResultCantErase : kResultOk;
}

// Everything after the writes: verify, protect or start, and the board's restart.
ResultCode FinishRun(const RunOptions& options, RunReport* report) {
    if (StopRequested()) {
        return kResultCantProtect; // nothing more is sent; the device stays unprotected
    }
    (void)report;
    if (options.protect && ProtectDevice() != kResultOk) {
        return kResultCantProtect;
    }
    if (options.go && !options.protect && BlGo(kFlashBase) != 0) {
        return kResultCommError;
    }
    if (BootPinsUsed(options.boot) && ResetInto(options.boot, false) != 0) {
        report->modemLines = false;
        return kResultCantOpenPort;
    }
    return kResultOk;
}

} // namespace

ResultCode ProgramDeviceWith(const char* imagePath, const char* extension, const char* portPath,
                             const RunOptions& options, RunReport* report) {
    RunReport ignored;
    report = report != nullptr ? report : &ignored;
    *report = RunReport{};
    const ImageFormat format = FormatFromExtension(extension);
    if (format == ImageFormat::None) {
        return kResultInvalidFormat;
    }
    RunResources run;
    if (OpenPort(portPath, options.line) != 0) {
        report->portError = PortOpenError();
        return kResultCantOpenPort;
    }
    run.file = std::fopen(imagePath, "rb");
    if (run.file == nullptr) {
        return kResultCantOpenFile;
    }
    if (BootPinsUsed(options.boot) && ResetInto(options.boot, true) != 0) {
        report->modemLines = false;
        return kResultCantOpenPort;
    }
    ResultCode result = PrepareReported(report);
    if (result == kResultOk) {
        result = WriteImage(run.file, format);
    }
    return result == kResultOk ? FinishRun(options, report) : result;
}
