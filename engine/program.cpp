// The programming run: sync, identify, unprotect, erase, write the image block by block or
// record by record, protect. The first failing step decides the result class.
#include "engine/program.h"

#include "engine/bootloader.h"
#include "engine/serial.h"
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
    default:
        return "Unknown error";
    }
}
