// The programming run: sync, identify, unprotect, erase, send the image's write plan block
// by block, protect. The first failing step decides the result class.
#include "engine/program.h"

#include "engine/bootloader.h"
#include "engine/serial.h"
#include "engine/status.h"

#include <cstring>

namespace {

// Whatever a run acquired, released on every way out: the plan's memory, and the port,
// also when OpenPort failed after creating a handle (ClosePort is safe when closed).
struct RunResources {
    RunResources() = default;
    RunResources(const RunResources&) = delete;
    RunResources& operator=(const RunResources&) = delete;
    ~RunResources() {
        CloseWritePlan();
        ClosePort();
    }
};

// Nonzero when the user asked to stop. 64-bit, so images of any size give a true figure.
int ReportProgress(uint64_t done, uint64_t total) {
    StatusCallback callback = GetStatusCallback();
    if (callback == nullptr) {
        return 0;
    }
    return callback(Progress, static_cast<intptr_t>(done * 100 / total + 1));
}

// The block loop. 0 when it ended (end of the plan, or abort), else the result of a failed
// write; the device is then left unprotected.
ResultCode WriteImage() {
    const uint64_t total = GetPlanSummary().totalBytes;
    uint64_t done = 0;
    PlanBlock block;
    while (NextPlanBlock(&block)) {
        if (ReportProgress(done, total) != 0) {
            return kResultOk;
        }
        if (!block.erased && BlWriteMemory(block.address, block.data, block.length) != 0) {
            return kResultCommError;
        }
        done += block.length;
    }
    ReportProgress(done, total); // 101; an abort answer here reaches the protection step
    return kResultOk;
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
    const PlanResult plan = OpenWritePlan(imagePath, format);
    if (plan != PlanResult::Ok) {
        return plan == PlanResult::CantOpen ? kResultCantOpenFile : kResultInvalidFormat;
    }
    ResultCode result = PrepareDevice();
    if (result == kResultOk) {
        result = WriteImage();
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
