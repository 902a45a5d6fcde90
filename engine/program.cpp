// The programming run: sync, identify, unprotect, erase, send the image's write plan block
// by block, protect. The first failing step decides the result class.
#include "engine/program.h"

#include "engine/bootloader.h"
#include "engine/serial.h"
#include "engine/status.h"
#include "image/embedded.h"

#include <iterator>

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

// Inside the engine a stop is an outcome of its own: nothing more is sent after it. The
// front ends see the state it leaves the device in, written in part and unprotected:
// kResultCantProtect. Never returned by the public functions.
constexpr ResultCode kResultStopped = 0xFFFF0000;

// What a stop leaves the device in, as the front ends show it.
ResultCode Shown(ResultCode result) {
    return result == kResultStopped ? kResultCantProtect : result;
}

// The block loop. kResultOk after the last block, kResultStopped when the user asked to
// stop, else the result of a failed write; the device is then left unprotected.
ResultCode WriteImage() {
    const uint64_t total = GetPlanSummary().totalBytes;
    uint64_t done = 0;
    PlanBlock block;
    while (NextPlanBlock(&block)) {
        if (ReportProgress(done, total) != 0) {
            return kResultStopped;
        }
        if (!block.erased && !BlWriteMemory(block.address, block.data, block.length)) {
            return kResultCommError;
        }
        done += block.length;
    }
    return ReportProgress(done, total) != 0 ? kResultStopped : kResultOk; // 101
}

// Contact, unprotect and erase, in this order; the first failure decides the class.
ResultCode PrepareDevice() {
    if (!BlSync() || !BlGetId()) {
        return kResultNotPresent;
    }
    if (!BlReadoutUnprotect() || !BlWriteUnprotect()) {
        return kResultCantUnprotect;
    }
    if (!BlEraseAll()) {
        return kResultCantErase;
    }
    return kResultOk;
}

ResultCode ProtectDevice() {
    if (!BlWriteProtect() || !BlReadoutProtect()) {
        return kResultCantProtect;
    }
    return kResultOk;
}

} // namespace

bool LoadUpdaterImage(const char* exePath) {
    if (LoadEmbeddedImage(exePath) != 0) {
        return false;
    }
    if (StatusCallback callback = GetStatusCallback()) {
        callback(ImageInfo, reinterpret_cast<intptr_t>(GetEmbeddedImage().description));
    }
    return true;
}

ResultCode ProgramDevice(const char* imagePath, const char* extension, const char* portPath) {
    const ImageFormat format = FormatFromExtension(extension);
    if (format == ImageFormat::None) {
        return kResultInvalidFormat;
    }
    RunResources run;
    if (!OpenPort(portPath)) {
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
    return Shown(result);
}

const char* ResultMessage(ResultCode code) {
    static constexpr const char* kMessages[] = {
        "Finished OK",
        "Can't open port",
        "Can't open file",
        "Invalid file format",
        "Communication error",
        nullptr,
        nullptr,
        nullptr,
        "Zuva not present",
        "Can't protect device",
        "Can't unprotect device",
        "Can't erase device",
        "Verify failed",
    };
    const ResultCode resultClass = code >> 16;
    const char* text = resultClass < std::size(kMessages) ? kMessages[resultClass] : nullptr;
    return text != nullptr ? text : "Unknown error";
}

// ---- Runs with options ----

namespace {

constexpr uint32_t kResetPulseMs = 20;
// The bootloader listens about 1.2 ms after reset; boards with a supervisor or a slow
// crystal need longer.
constexpr uint32_t kBootStartMs = 50;

// Drives a pin high or low through its line. false when the line cannot be driven.
bool DrivePin(const PinWiring& pin, bool high) {
    return !pin.used || SetModemLine(pin.line, high != pin.inverted);
}

// BOOT0 to the wanted level, then a reset pulse and the start-up wait.
bool ResetInto(const BootWiring& boot, bool bootloader) {
    if (!DrivePin(boot.boot0, bootloader) || !DrivePin(boot.reset, false)) {
        return false;
    }
    PortSleepMs(kResetPulseMs);
    if (!DrivePin(boot.reset, true)) {
        return false;
    }
    PortSleepMs(kBootStartMs);
    return true;
}

bool BootPinsUsed(const BootWiring& boot) {
    return boot.boot0.used || boot.reset.used;
}

// Contact, unprotect and erase, as PrepareDevice, with what the front end may explain.
ResultCode PrepareReported(RunReport* report) {
    if (!BlSyncOrResume()) {
        return kResultNotPresent;
    }
    report->answered = true;
    if (!BlGetId(&report->productId)) {
        return kResultNotPresent;
    }
    if (!BlReadoutUnprotect() || !BlWriteUnprotect()) {
        return kResultCantUnprotect;
    }
    return BlEraseAll() ? kResultOk : kResultCantErase;
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
// program nothing. kResultStopped when the user asked to stop.
ResultCode VerifyImage(RunReport* report) {
    const uint64_t total = GetPlanSummary().totalBytes;
    uint64_t done = 0;
    uint8_t chip[kRawBlockSize];
    PlanBlock block;
    RewindWritePlan();
    while (NextPlanBlock(&block)) {
        if (ReportVerify(done, total) != 0) {
            return kResultStopped;
        }
        if (!BlReadMemory(block.address, chip, block.length)) {
            return kResultCommError;
        }
        if (FirstDifference(block, chip, report)) {
            return kResultVerifyFailed;
        }
        done += block.length;
    }
    return ReportVerify(done, total) != 0 ? kResultStopped : kResultOk; // 101
}

// Everything after the writes: verify, protect or start, and the board's restart.
// After a stop nothing more is sent, and the device stays unprotected.
ResultCode FinishRun(const RunOptions& options, RunReport* report) {
    ResultCode verified = options.verify ? VerifyImage(report) : kResultOk;
    if (verified != kResultOk) {
        return verified; // unprotected, so that a second run can mend it
    }
    if (options.protect && ProtectDevice() != kResultOk) {
        return kResultCantProtect;
    }
    if (options.go && !options.protect && !BlGo(kFlashBase)) {
        return kResultCommError;
    }
    if (BootPinsUsed(options.boot) && !ResetInto(options.boot, false)) {
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
    if (!OpenPort(portPath, line)) {
        report->portError = PortOpenError();
        return kResultCantOpenPort;
    }
    const PlanResult plan = OpenWritePlan(imagePath, format);
    if (plan != PlanResult::Ok) {
        return plan == PlanResult::CantOpen ? kResultCantOpenFile : kResultInvalidFormat;
    }
    report->imageBytes = GetPlanSummary().totalBytes;
    if (BootPinsUsed(options.boot) && !ResetInto(options.boot, true)) {
        report->modemLines = false;
        return kResultCantOpenPort;
    }
    ResultCode result = PrepareReported(report);
    if (result == kResultOk) {
        result = WriteImage();
    }
    return Shown(result == kResultOk ? FinishRun(options, report) : result);
}
