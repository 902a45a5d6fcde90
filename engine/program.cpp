// The programming run: sync, identify, unprotect, erase, send the image's write plan block
// by block, protect. The first failing step decides the result class.
#include "engine/program.h"

#include "engine/bootloader.h"
#include "engine/serial.h"
#include "engine/status.h"
#include "image/embedded.h"

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

int LoadUpdaterImage(const char* exePath) {
    if (LoadEmbeddedImage(exePath) != 0) {
        return 1;
    }
    if (StatusCallback callback = GetStatusCallback()) {
        callback(ImageInfo, reinterpret_cast<intptr_t>(GetEmbeddedImage().description));
    }
    return 0;
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
    PortSleepMs(kResetPulseMs);
    if (DrivePin(boot.reset, true) != 0) {
        return 1;
    }
    PortSleepMs(kBootStartMs);
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

// Nonzero when the user asked to stop.
int ReportVerify(uint64_t done, uint64_t total) {
    StatusCallback callback = GetStatusCallback();
    if (callback == nullptr) {
        return 0;
    }
    return callback(Verify, static_cast<intptr_t>(done * 100 / total + 1));
}

// The first byte where a block read back differs from the plan; false when none does.
bool FirstDifference(const PlanBlock& block, const uint8_t* chip, RunReport* report) {
    for (uint32_t i = 0; i < block.length; ++i) {
        if (chip[i] != block.data[i]) {
            report->mismatchAddress = block.address + i;
            report->expected = block.data[i];
            report->found = chip[i];
            return true;
        }
    }
    return false;
}

// Reads every block of the plan back, blank ones too: a chip may acknowledge a write and
// program nothing. kResultOk also when stopped (the caller asks).
ResultCode VerifyImage(RunReport* report) {
    const uint64_t total = GetPlanSummary().totalBytes;
    uint64_t done = 0;
    uint8_t chip[kRawBlockSize];
    PlanBlock block;
    RewindWritePlan();
    while (NextPlanBlock(&block)) {
        if (ReportVerify(done, total) != 0) {
            return kResultOk;
        }
        if (BlReadMemory(block.address, chip, block.length) != 0) {
            return kResultCommError;
        }
        if (FirstDifference(block, chip, report)) {
            return kResultVerifyFailed;
        }
        done += block.length;
    }
    ReportVerify(done, total);
    return kResultOk;
}

// Everything after the writes: verify, protect or start, and the board's restart.
// After a stop nothing more is sent, and the device stays unprotected.
ResultCode FinishRun(const RunOptions& options, RunReport* report) {
    ResultCode verified = options.verify && !StopRequested() ? VerifyImage(report) : kResultOk;
    if (verified != kResultOk) {
        return verified; // unprotected, so that a second run can mend it
    }
    if (StopRequested()) {
        return kResultCantProtect;
    }
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
    LineSettings line = options.line;
    line.noXonXoff = true; // Read Memory brings any byte
    if (OpenPort(portPath, line) != 0) {
        report->portError = PortOpenError();
        return kResultCantOpenPort;
    }
    const PlanResult plan = OpenWritePlan(imagePath, format);
    if (plan != PlanResult::Ok) {
        return plan == PlanResult::CantOpen ? kResultCantOpenFile : kResultInvalidFormat;
    }
    report->imageBytes = GetPlanSummary().totalBytes;
    if (BootPinsUsed(options.boot) && ResetInto(options.boot, true) != 0) {
        report->modemLines = false;
        return kResultCantOpenPort;
    }
    ResultCode result = PrepareReported(report);
    if (result == kResultOk) {
        result = WriteImage();
    }
    return result == kResultOk ? FinishRun(options, report) : result;
}
