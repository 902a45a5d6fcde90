// The programming run: sync, identify, unprotect, erase, send the image's write plan block
// by block, protect. The first failing step decides the result class.
#include "engine/program.h"

#include "device/chips.h"
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

// Inside the engine a stop is an outcome of its own: nothing more is sent after it. The
// front ends see the state it leaves the device in, written in part and unprotected:
// kResultCantProtect. Never returned by the public functions.
constexpr ResultCode kResultStopped = 0xFFFF0000;

constexpr uint32_t kResetPulseMs = 20;
// The bootloader listens about 1.2 ms after reset; boards with a supervisor or a slow
// crystal need longer.
constexpr uint32_t kBootStartMs = 50;

// Nonzero when the user asked to stop. 64-bit, so images of any size give a true figure.
int Report(int kind, uint64_t done, uint64_t total) {
    StatusCallback callback = GetStatusCallback();
    if (callback == nullptr) {
        return 0;
    }
    return callback(kind, static_cast<intptr_t>(done * 100 / total + 1));
}

// A step's outcome; a failed one names its command in the report.
bool Done(bool ok, uint8_t command, RunReport* report) {
    if (!ok) {
        report->failedCommand = command;
    }
    return ok;
}

// The block loop. kResultOk after the last block, kResultStopped when the user asked to
// stop, else the result of a failed write; the device is then left unprotected.
ResultCode WriteImage(RunReport* report) {
    const uint64_t total = report->plan.totalBytes;
    uint64_t done = 0;
    PlanBlock block;
    while (NextPlanBlock(&block)) {
        if (Report(Progress, done, total) != 0) {
            return kResultStopped;
        }
        report->failedAddress = block.address;
        if (!block.erased && !Done(BlWriteMemory(block.address, block.data, block.length),
                                   kCmdWriteMemory, report)) {
            return kResultCommError;
        }
        done += block.length;
    }
    // The last block's answer is read before the next step, whatever came before it.
    if (!Done(BlSettle(), kCmdWriteMemory, report)) {
        return kResultCommError;
    }
    return Report(Progress, done, total) != 0 ? kResultStopped : kResultOk; // 101
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
    const uint64_t total = report->plan.totalBytes;
    uint64_t done = 0;
    uint8_t chip[kRawBlockSize];
    PlanBlock block;
    RewindWritePlan();
    while (NextPlanBlock(&block)) {
        if (Report(Verify, done, total) != 0) {
            return kResultStopped;
        }
        report->failedAddress = block.address;
        if (!Done(BlReadMemory(block.address, chip, block.length), kCmdReadMemory, report)) {
            return kResultCommError;
        }
        if (FirstDifference(block, chip, report)) {
            return kResultVerifyFailed;
        }
        done += block.length;
    }
    return Report(Verify, done, total) != 0 ? kResultStopped : kResultOk; // 101
}

// Drives a pin high or low through its line. false when the line cannot be driven.
bool DrivePin(const PinWiring& pin, bool high) {
    return !pin.used || SetModemLine(pin.line, high != pin.inverted);
}

// BOOT0 to the wanted level, then a reset pulse and the start-up wait. Without pins in
// use nothing happens. false (and noted in the report) when a line cannot be driven.
bool ResetInto(const BootWiring& boot, bool bootloader, RunReport* report) {
    if (!boot.boot0.used && !boot.reset.used) {
        return true;
    }
    report->modemLines = DrivePin(boot.boot0, bootloader) && DrivePin(boot.reset, false);
    if (report->modemLines) {
        PortSleepMs(kResetPulseMs);
        report->modemLines = DrivePin(boot.reset, true);
        PortSleepMs(kBootStartMs);
    }
    return report->modemLines;
}

// Contact and identification, then the image against the chip's FLASH, then unprotect
// and erase: an image the chip cannot hold changes nothing on it.
ResultCode PrepareDevice(const RunOptions& options, RunReport* report) {
    if (!BlSyncOrResume()) {
        return kResultNotPresent;
    }
    report->answered = true;
    // An updater's image is for the chips the window programs, whoever runs it.
    const bool wholeFamily = options.anyF10x && GetEmbeddedImage().imageOffset == 0;
    if (!BlGetId(&report->productId, wholeFamily)) {
        return kResultNotPresent;
    }
    report->flashMaxSize = AcceptedChip(report->productId, wholeFamily)->flashMaxSize;
    if (report->plan.imageEnd > report->flashMaxSize) {
        report->imageTooLarge = true;
        return kResultInvalidFormat;
    }
    report->changed = true; // from here on the chip is not as it was
    if (!Done(BlReadoutUnprotect(), kCmdReadoutUnprotect, report) ||
        !Done(BlWriteUnprotect(), kCmdWriteUnprotect, report)) {
        return kResultCantUnprotect;
    }
    return Done(BlEraseAll(), kCmdErase, report) ? kResultOk : kResultCantErase;
}

// Everything after the writes: verify, protect or start, and the board's restart.
// After a stop nothing more is sent, and the device stays unprotected.
ResultCode FinishRun(const RunOptions& options, RunReport* report) {
    ResultCode verified = options.verify ? VerifyImage(report) : kResultOk;
    if (verified != kResultOk) {
        return verified; // unprotected, so that a second run can mend it
    }
    if (options.protect && (!Done(BlWriteProtect(), kCmdWriteProtect, report) ||
                            !Done(BlReadoutProtect(), kCmdReadoutProtect, report))) {
        return kResultCantProtect;
    }
    if (options.go && !options.protect && !Done(BlGo(kFlashBase), kCmdGo, report)) {
        return kResultCommError;
    }
    return ResetInto(options.boot, false, report) ? kResultOk : kResultCantOpenPort;
}

// The run once the plan is made and the port is open.
ResultCode RunOnDevice(const RunOptions& options, RunReport* report) {
    if (!ResetInto(options.boot, true, report)) {
        return kResultCantOpenPort;
    }
    ResultCode result = PrepareDevice(options, report);
    if (result == kResultOk) {
        result = WriteImage(report);
    }
    if (result == kResultOk) {
        result = FinishRun(options, report);
    }
    report->stopped = result == kResultStopped;
    // A port or server that went away is named with its cause; before any bootloader
    // answered, the port is what failed.
    report->linkError = PortLinkError();
    if (report->linkError != 0 && !report->answered && !report->stopped) {
        report->portError = report->linkError;
        return kResultCantOpenPort;
    }
    return report->stopped ? kResultCantProtect : result;
}

// The board's serial number joins the plan as one more word: written, verified and
// bounded by the chip's FLASH as the image's own bytes are.
ResultCode AddSerialNumber(const RunOptions& options, RunReport* report) {
    const PlanResult added = AddPlanWord(options.serialAddress, options.serialNumber);
    report->plan = GetPlanSummary();
    report->imageBytes = report->plan.totalBytes;
    return added == PlanResult::Ok         ? kResultOk
           : added == PlanResult::CantOpen ? kResultCantOpenFile
                                           : kResultInvalidFormat;
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

ResultCode PlanImage(const char* imagePath, const char* extension, RunReport* report,
                     uint32_t rawBase) {
    const ImageFormat format = FormatFromExtension(extension);
    report->noFormat = format == ImageFormat::None;
    if (report->noFormat) {
        return kResultInvalidFormat;
    }
    const PlanResult plan = OpenWritePlan(imagePath, format, rawBase);
    report->plan = GetPlanSummary();
    report->imageBytes = report->plan.totalBytes;
    return plan == PlanResult::Ok         ? kResultOk
           : plan == PlanResult::CantOpen ? kResultCantOpenFile
                                          : kResultInvalidFormat;
}

ResultCode ProgramDevice(const char* imagePath, const char* extension, const char* portPath,
                         const RunOptions& options, RunReport* report) {
    RunReport ignored;
    report = report != nullptr ? report : &ignored;
    *report = RunReport{};
    if (FormatFromExtension(extension) == ImageFormat::None) {
        report->noFormat = true;
        return kResultInvalidFormat;
    }
    RunResources run;
    if (!OpenPort(portPath, options.line)) {
        report->portError = PortOpenError();
        return kResultCantOpenPort;
    }
    ResultCode planned = PlanImage(imagePath, extension, report, options.rawBase);
    if (planned == kResultOk && options.serialUsed) {
        planned = AddSerialNumber(options, report);
    }
    return planned != kResultOk ? planned : RunOnDevice(options, report);
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
        "Read-out protected",
    };
    const ResultCode resultClass = code >> 16;
    const char* text = resultClass < std::size(kMessages) ? kMessages[resultClass] : nullptr;
    return text != nullptr ? text : "Unknown error";
}
