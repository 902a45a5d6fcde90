// The programming run: sync, identify, unprotect, erase, send the image's write plan block
// by block, protect. The first failing step decides the result class.
#include "engine/program.h"

#include "device/chips.h"
#include "engine/bootloader.h"
#include "engine/serial.h"
#include "engine/status.h"
#include "image/embedded.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
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

// The chip's own figures: the FLASH size register and the unique ID, in one Read Memory.
enum class Registers { Read, Refused, Failed };

Registers ReadRegisters(RunReport* report) {
    uint8_t info[kUniqueIdAddress - kFlashSizeRegister + kUniqueIdSize];
    bool refused = false;
    if (!BlReadMemory(kFlashSizeRegister, info, sizeof info, &refused)) {
        report->failedAddress = kFlashSizeRegister;
        return refused ? Registers::Refused : Registers::Failed;
    }
    report->flashKib = static_cast<uint16_t>(info[0] | info[1] << 8);
    std::memcpy(report->uid, info + (kUniqueIdAddress - kFlashSizeRegister), kUniqueIdSize);
    report->uidRead = true;
    return Registers::Read;
}

// The chip's FLASH in bytes: the size register's figure when it is one the family can
// have, else the family's largest.
uint32_t ChipFlashSize(const RunReport& report) {
    const uint32_t bytes = uint32_t{report.flashKib} * 1024;
    return bytes != 0 && bytes < report.flashMaxSize ? bytes : report.flashMaxSize;
}

// The image against the chip's FLASH; false (and noted) when it does not fit.
bool ImageFits(RunReport* report) {
    report->imageTooLarge = report->plan.imageEnd > ChipFlashSize(*report);
    return !report->imageTooLarge;
}

// Contact and identification, then the registers while read-out protection lets them be
// read. kResultOk, or the run's end; report->readoutProtected tells the registers' fate.
ResultCode Identify(const RunOptions& options, RunReport* report) {
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
    const Registers read = ReadRegisters(report);
    report->readoutProtected = read == Registers::Refused;
    return Done(read != Registers::Failed, kCmdReadMemory, report) ? kResultOk : kResultCommError;
}

// The pages the plan touches, in order, into pages (up to 256); false when one lies past
// the 256th, which the Erase frame cannot name (noted in the report).
bool PagesOfImage(uint32_t pageSize, uint8_t pages[256], uint32_t* count, RunReport* report) {
    *count = 0;
    PlanBlock block;
    RewindWritePlan();
    while (NextPlanBlock(&block)) {
        const uint32_t offset = block.address - kFlashBase;
        for (uint32_t page = offset / pageSize; page <= (offset + block.length - 1) / pageSize;
             ++page) {
            if (page > 255) {
                report->pageOutOfReach = true;
                report->pageAddress = kFlashBase + page * pageSize;
                RewindWritePlan();
                return false;
            }
            if (*count == 0 || pages[*count - 1] != page) {
                pages[(*count)++] = static_cast<uint8_t>(page);
            }
        }
    }
    RewindWritePlan();
    return true;
}

// --page-erase: write protection lifted, then only the image's pages erased, at most 255
// a command. Read-out protection stays where it is: lifting it would erase everything.
ResultCode ErasePagesOfImage(RunReport* report) {
    uint8_t pages[256];
    uint32_t count = 0;
    const ChipInfo* chip = FindChip(report->productId);
    if (report->readoutProtected) {
        return kResultReadProtected;
    }
    if (!PagesOfImage(chip->pageSize, pages, &count, report)) {
        return kResultInvalidFormat;
    }
    report->changed = true;
    if (!Done(BlWriteUnprotect(), kCmdWriteUnprotect, report)) {
        return kResultCantUnprotect;
    }
    for (uint32_t at = 0; at < count; at += 255) {
        const uint32_t n = count - at < 255 ? count - at : 255;
        if (!Done(BlErasePages(pages + at, n), kCmdErase, report)) {
            return kResultCantErase;
        }
        report->pagesErased += n;
    }
    return kResultOk;
}

// Read-out and write protection lifted (the first erases all of FLASH). A chip that was
// read-out protected gives its registers now, and the image is held against them before
// any erase or write.
ResultCode Unprotect(RunReport* report, bool checkImage) {
    report->changed = true; // from here on the chip is not as it was
    if (!Done(BlReadoutUnprotect(), kCmdReadoutUnprotect, report)) {
        return kResultCantUnprotect;
    }
    // A chip that still keeps its registers to itself is bounded by its family, as before.
    if (report->readoutProtected) {
        if (ReadRegisters(report) == Registers::Failed) {
            report->failedCommand = kCmdReadMemory;
            return kResultCommError;
        }
        if (checkImage && !ImageFits(report)) {
            return kResultInvalidFormat;
        }
    }
    return Done(BlWriteUnprotect(), kCmdWriteUnprotect, report) ? kResultOk : kResultCantUnprotect;
}

// Contact and identification, then the image against the chip's FLASH, then unprotect
// and erase: an image the chip cannot hold changes nothing on it, wherever the size
// register can be read first.
ResultCode PrepareDevice(const RunOptions& options, RunReport* report) {
    ResultCode result = Identify(options, report);
    if (result != kResultOk) {
        return result;
    }
    if (!ImageFits(report)) {
        return kResultInvalidFormat;
    }
    if (options.pageErase) {
        return ErasePagesOfImage(report);
    }
    result = Unprotect(report, true);
    if (result != kResultOk) {
        return result;
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
    if (options.go && !options.protect && !Done(BlGo(options.rawBase), kCmdGo, report)) {
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
    report->serialAt = options.serialAddress;
    report->plan = GetPlanSummary();
    report->imageBytes = report->plan.totalBytes;
    return added == PlanResult::Ok         ? kResultOk
           : added == PlanResult::CantOpen ? kResultCantOpenFile
                                           : kResultInvalidFormat;
}

uint64_t readTotal = 0;

// length bytes of FLASH from address into buffer, a block a command.
ResultCode ReadFlash(uint32_t address, uint32_t length, uint8_t* buffer, RunReport* report) {
    for (uint32_t done = 0; done < length;) {
        if (Report(Progress, done, length) != 0) {
            return kResultStopped;
        }
        const uint32_t n = length - done < kRawBlockSize ? length - done : kRawBlockSize;
        report->failedAddress = address + done;
        if (!Done(BlReadMemory(address + done, buffer + done, n), kCmdReadMemory, report)) {
            return kResultCommError;
        }
        done += n;
    }
    return Report(Progress, length, length) != 0 ? kResultStopped : kResultOk; // 101
}

// A read's range within the chip's FLASH (length 0: to its end); false (and noted) when
// any of it lies outside.
bool ReadRange(uint32_t address, uint32_t length, RunReport* report) {
    const uint64_t end = uint64_t{kFlashBase} + ChipFlashSize(*report);
    report->readAddress = address;
    report->readLength = length != 0     ? length
                         : address < end ? static_cast<uint32_t>(end - address)
                                         : 0;
    report->rangeOutsideFlash = address < kFlashBase || report->readLength == 0 ||
                                uint64_t{address} + report->readLength > end;
    return !report->rangeOutsideFlash;
}

struct Buffer {
    uint8_t* bytes;
    explicit Buffer(size_t n) : bytes(static_cast<uint8_t*>(std::malloc(n))) {}
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { std::free(bytes); }
};

// The bytes a read goes to.
struct Sink {
    ReadSink keep;
    const void* context;
};

// The read once the port is open: nothing but Get ID and Read Memory reaches the chip.
ResultCode ReadOnDevice(uint32_t address, uint32_t length, const Sink& sink,
                        const RunOptions& options, RunReport* report) {
    if (!ResetInto(options.boot, true, report)) {
        return kResultCantOpenPort;
    }
    ResultCode result = Identify(options, report);
    if (result != kResultOk || report->readoutProtected) {
        return result != kResultOk ? result : kResultReadProtected;
    }
    if (!ReadRange(address, length, report)) {
        return kResultInvalidFormat;
    }
    readTotal = report->readLength;
    Buffer buffer(report->readLength);
    if (buffer.bytes == nullptr) {
        report->outputError = ENOMEM;
        return kResultCantOpenFile;
    }
    result = ReadFlash(report->readAddress, report->readLength, buffer.bytes, report);
    if (result != kResultOk) {
        return result;
    }
    if (!sink.keep(sink.context, report->readAddress, buffer.bytes, report->readLength,
                   &report->outputError)) {
        return kResultCantOpenFile;
    }
    return ResetInto(options.boot, false, report) ? kResultOk : kResultCantOpenPort;
}

// Protection lifted and FLASH erased, nothing written.
ResultCode EraseOnDevice(const RunOptions& options, RunReport* report) {
    if (!ResetInto(options.boot, true, report)) {
        return kResultCantOpenPort;
    }
    ResultCode result = Identify(options, report);
    if (result == kResultOk) {
        result = Unprotect(report, false);
    }
    if (result == kResultOk && !Done(BlEraseAll(), kCmdErase, report)) {
        result = kResultCantErase;
    }
    if (result == kResultOk && !ResetInto(options.boot, false, report)) {
        result = kResultCantOpenPort;
    }
    return result;
}

// A fresh report for a run of this task, or the caller's null replaced by a local one.
RunReport* StartReport(RunReport* report, RunReport* ignored, RunTask task) {
    report = report != nullptr ? report : ignored;
    *report = RunReport{};
    report->task = task;
    return report;
}

} // namespace

bool LoadUpdaterImage(const char* exePath) {
    if (LoadEmbeddedImage(exePath) != EmbeddedFound) {
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
    report = StartReport(report, &ignored, RunTask::Write);
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

ResultCode ReadDevice(const char* portPath, uint32_t address, uint32_t length, ReadSink sink,
                      const void* context, const RunOptions& options, RunReport* report) {
    RunReport ignored;
    report = StartReport(report, &ignored, RunTask::Read);
    readTotal = 0;
    RunResources run;
    if (!OpenPort(portPath, options.line)) {
        report->portError = PortOpenError();
        return kResultCantOpenPort;
    }
    const ResultCode result = ReadOnDevice(address, length, Sink{sink, context}, options, report);
    report->stopped = result == kResultStopped;
    return report->stopped ? kResultCommError : result; // stopped: no file either way
}

uint64_t ReadTotalBytes() {
    return readTotal;
}

ResultCode EraseDevice(const char* portPath, const RunOptions& options, RunReport* report) {
    RunReport ignored;
    report = StartReport(report, &ignored, RunTask::Erase);
    RunResources run;
    if (!OpenPort(portPath, options.line)) {
        report->portError = PortOpenError();
        return kResultCantOpenPort;
    }
    return EraseOnDevice(options, report);
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
