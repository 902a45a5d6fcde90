// ResultDetail: why a run ended as it did and what to try next. The window links this
// too, so it formats with snprintf's %s, %u and %X alone, into the caller's buffer.
#include "device/chips.h"
#include "engine/program.h"
#include "image/embedded.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

struct Out {
    char* text;
    size_t size;
    size_t* needed; // the whole text's length, cut or not
};

void Put(const Out& out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int length = vsnprintf(out.text, out.size, format, args);
    va_end(args);
    *out.needed = length > 0 ? static_cast<size_t>(length) : 0;
}

constexpr char kEllipsis[] = "\xE2\x80\xA6"; // U+2026 in UTF-8
constexpr size_t kShortNameSize = 512;

// name without cut bytes from its middle (at least, and more to fit kShortNameSize), with
// an ellipsis in their place and no UTF-8 character split; name itself when too short.
const char* ShortenMiddle(const char* name, size_t cut, char* out) {
    const size_t length = strlen(name);
    const size_t keep = length > cut ? length - cut : 0;
    if (keep < 16) {
        return name;
    }
    size_t head =
        (keep < kShortNameSize - sizeof kEllipsis ? keep : kShortNameSize - sizeof kEllipsis) / 2;
    size_t tail = length - head;
    while (head > 0 && (static_cast<unsigned char>(name[head]) & 0xC0) == 0x80) {
        --head;
    }
    while ((static_cast<unsigned char>(name[tail]) & 0xC0) == 0x80) {
        ++tail;
    }
    snprintf(out, kShortNameSize, "%.*s%s%s", static_cast<int>(head), name, kEllipsis, name + tail);
    return out;
}

const char* CommandName(uint8_t code) {
    const char* name = code != kSyncByte ? BlCommandName(code) : nullptr;
    return name != nullptr ? name : "its command";
}

unsigned U(uint64_t value) {
    return static_cast<unsigned>(value);
}

void CantOpenPort(const Out& out, const RunReport& report, const char* port) {
    if (!report.modemLines) {
        Put(out,
            "The modem lines of %s cannot drive the board's BOOT0 and reset pins. Use an "
            "adapter with RTS and DTR, or set BOOT0 and reset by hand.",
            port);
        return;
    }
    const bool remote = strstr(port, "://") != nullptr;
    if (report.portError == 0) {
        // A port on a serial port server (rfc2217://, socket://) has no adapter here.
        Put(out, "Cannot open %s. %s", port,
            remote ? "Check that the server is running, that its address and port are right, "
                     "and that this machine can reach it."
                   : "Check that the adapter is plugged in and that no other program uses the "
                     "port.");
        return;
    }
    // One line: the port, the system's reason, and the next step that fits that reason.
    char reason[160] = "";
    char advice[256] = "";
    PortErrorText(report.portError, reason, sizeof reason);
    PortErrorAdvice(report.portError, advice, sizeof advice);
    Put(out,
        report.linkError != 0 ? "The connection to %s failed before a bootloader answered: %s.%s%s"
                              : "Cannot open %s: %s.%s%s",
        port, reason, advice[0] != '\0' ? " " : "", advice);
}

// The port or the server went away during the run: named with its cause, not blamed on
// the chip or the cable.
void LinkLost(const Out& out, ResultCode result, const RunReport& report, const char* port) {
    char reason[160] = "";
    char step[48] = "contact with the bootloader";
    PortErrorText(report.linkError, reason, sizeof reason);
    if (report.failedCommand == kCmdWriteMemory || report.failedCommand == kCmdReadMemory) {
        snprintf(step, sizeof step, "%s 0x%08X",
                 report.failedCommand == kCmdWriteMemory ? "the block at" : "the read-back at",
                 report.failedAddress);
    } else if (report.failedCommand != 0) {
        snprintf(step, sizeof step, "%s", CommandName(report.failedCommand));
    }
    const char* state = !report.changed ? "Nothing was changed on the chip"
                        : result == kResultCantProtect
                            ? "The image is written, but the chip may not be protected"
                            : "The chip may be left erased in part and unprotected";
    Put(out, "The connection to %s was lost during %s: %s. %s; %s, then run again.", port, step,
        reason, state,
        strstr(port, "://") != nullptr ? "check that the server still runs and can be reached"
                                       : "check that the adapter is still plugged in");
}

void CantOpenFile(const Out& out, const RunReport& report, const char* image) {
    const PlanSummary& plan = report.plan;
    if (report.task == RunTask::Read) {
        char reason[160] = "";
        PortErrorText(report.outputError, reason, sizeof reason);
        Put(out,
            "Cannot write %s%s%s. The chip was read, but no file was made; choose a folder "
            "that may be written, then try again.",
            image, report.outputError != 0 ? ": " : "", reason);
        return;
    }
    if (plan.problem == PlanProblem::NotRegular) {
        Put(out, "%s is not a regular file. Choose the image file itself.", image);
        return;
    }
    if (plan.problem == PlanProblem::ReadError) {
        Put(out, "Cannot read %s. Copy the file to a local disk, then try again.", image);
        return;
    }
    char reason[160] = "";
    PortErrorText(plan.systemError, reason, sizeof reason);
    Put(out, "Cannot open %s%s%s. Check the file's name and that it may be read.", image,
        plan.systemError != 0 ? ": " : "", plan.systemError != 0 ? reason : "");
}

void ChipTooSmall(const Out& out, const RunReport& report) {
    const ChipInfo* chip = FindChip(report.productId);
    // Readout Unprotect has erased the chip when its registers could only be read after it.
    const char* outcome = report.changed ? "Lifting its read-out protection erased the chip; "
                                           "nothing was written"
                                         : "Nothing was changed on the chip";
    const uint32_t kib = report.flashKib;
    const uint32_t chipBytes =
        kib != 0 && kib * 1024 < report.flashMaxSize ? kib * 1024 : report.flashMaxSize;
    if (report.serialAt != 0 && report.serialAt - kFlashBase + 4 > chipBytes) {
        Put(out,
            "The serial number's place, 0x%08X (--serial-at), lies past this chip's %u KiB of "
            "FLASH. %s; give --serial-at an address inside it.",
            report.serialAt, chipBytes / 1024, outcome);
        return;
    }
    if (kib != 0 && kib * 1024 < report.flashMaxSize) {
        Put(out,
            "The image takes %u bytes of FLASH from 0x%08X, but this STM32F10x %s (product ID "
            "0x%03X) has %u KiB (%u bytes), as its FLASH size register says. %s; use the "
            "firmware built for it.",
            U(report.plan.imageEnd), kFlashBase, chip != nullptr ? chip->name : "chip",
            report.productId, kib, kib * 1024, outcome);
        return;
    }
    Put(out,
        "The image takes %u bytes of FLASH from 0x%08X, but an STM32F10x %s (product ID "
        "0x%03X) has at most %u. %s; use the firmware built for it.",
        U(report.plan.imageEnd), kFlashBase, chip != nullptr ? chip->name : "chip",
        report.productId, U(report.flashMaxSize), outcome);
}

// A read's range or a page erase that the chip cannot serve.
bool OutOfReach(const Out& out, const RunReport& report) {
    if (report.rangeOutsideFlash) {
        const uint32_t kib = report.flashKib;
        const uint32_t size =
            kib != 0 && kib * 1024 < report.flashMaxSize ? kib * 1024 : report.flashMaxSize;
        Put(out,
            "%u bytes from 0x%08X do not lie within the chip's FLASH (0x%08X to 0x%08X). "
            "Nothing was read; give an --address and --length inside it.",
            U(report.readLength), report.readAddress, kFlashBase, kFlashBase + size - 1);
        return true;
    }
    if (report.pageOutOfReach) {
        Put(out,
            "The image touches the page at 0x%08X, past the 256th page, which the bootloader's "
            "Erase cannot name one by one. Nothing was changed on the chip; program it without "
            "--page-erase.",
            report.pageAddress);
        return true;
    }
    return false;
}

// "line 3" or, for ELF, "segment 1".
const char* Where(const PlanSummary& plan) {
    return plan.format == ImageFormat::Elf ? "segment" : "line";
}

// A file that is not firmware, or an ELF file this reader does not take.
void NotAnImage(const Out& out, const PlanSummary& plan, const char* image) {
    if (plan.problem == PlanProblem::WindowsProgram) {
        Put(out,
            "%s is a Windows program, not a firmware image; nothing was written. To program "
            "the image an updater carries, run the updater itself or give it to zuva-flash "
            "with --embedded.",
            image);
    } else if (plan.problem == PlanProblem::ElfAsRaw) {
        Put(out,
            "%s is an ELF file, not a raw image; nothing was written. Give the ELF file as "
            "the linker made it, with its .elf name: its segments are written where they "
            "belong.",
            image);
    } else if (plan.problem == PlanProblem::ElfDamaged) {
        Put(out, "%s: %s. Nothing was written; give the ELF file the linker made for the chip.",
            image, plan.hexWhy);
    } else {
        Put(out, "%s, segment %u at 0x%08X: %s. Nothing was written; build the firmware again.",
            image, U(plan.hexLine), plan.outsideAddress, plan.hexWhy);
    }
}

void InvalidFormat(const Out& out, const RunReport& report, const char* image) {
    const PlanSummary& plan = report.plan;
    if (OutOfReach(out, report)) {
        return;
    }
    const char* kind = FormatName(plan.format);
    if (report.imageTooLarge) {
        ChipTooSmall(out, report);
    } else if (report.noFormat) {
        Put(out,
            "%s: the extension names no image format. Use %s, all in lower or all in upper case.",
            image, FormatList());
    } else if (plan.problem == PlanProblem::HexDamaged) {
        Put(out, "%s, line %u: %s. Nothing was written; mend or rebuild the %s file.", image,
            U(plan.hexLine), plan.hexWhy, kind);
    } else if (plan.problem == PlanProblem::OutsideFlash) {
        const bool elf = plan.format == ImageFormat::Elf;
        Put(out,
            "%s, %s %u: data at 0x%08X lies outside FLASH (0x%08X to 0x%08X). Nothing was "
            "written; link the firmware for FLASH, %s.",
            image, Where(plan), U(plan.hexLine), plan.outsideAddress, kFlashBase,
            kFlashBase + kImageSpan - 1,
            elf ? "with initialised data loaded into FLASH (AT> FLASH in the linker script)"
                : "or leave RAM and option bytes out of the file");
    } else if (plan.problem == PlanProblem::Overlap) {
        Put(out,
            "%s, %ss %u and %u: both give 0x%08X, with different values. Nothing was written; "
            "rebuild the %s file so that each byte is given once.",
            image, Where(plan), U(plan.otherLine), U(plan.hexLine), plan.outsideAddress, kind);
    } else if (plan.problem == PlanProblem::TooLarge) {
        Put(out, "%s is larger than any STM32F10x FLASH (%u bytes). Choose the firmware image.",
            image, U(kImageSpan));
    } else if (plan.problem == PlanProblem::NoData) {
        Put(out, "%s holds no data to write. Choose the firmware image.", image);
    } else {
        NotAnImage(out, plan, image);
    }
}

void CommError(const Out& out, const RunReport& report) {
    if (report.failedCommand == kCmdWriteMemory) {
        Put(out,
            "The chip did not take the block at 0x%08X. It is left erased in part and "
            "unprotected; check the cable and the board's supply, then try again.",
            report.failedAddress);
    } else if (report.failedCommand == kCmdReadMemory && report.task == RunTask::Read) {
        Put(out,
            "The chip stopped answering while being read, at 0x%08X. No file was made; check "
            "the cable, then try again.",
            report.failedAddress);
    } else if (report.failedCommand == kCmdReadMemory &&
               report.failedAddress == kFlashSizeRegister) {
        Put(out,
            "The chip did not give its FLASH size register (0x%08X). Nothing was written; reset "
            "the board into its bootloader and try again.",
            report.failedAddress);
    } else if (report.failedCommand == kCmdReadMemory) {
        Put(out,
            "The chip did not give back the block at 0x%08X. It is left unprotected; check "
            "the cable, then try again.",
            report.failedAddress);
    } else {
        Put(out, "The chip did not carry out %s. Reset the board to start the firmware.",
            CommandName(report.failedCommand));
    }
}

void NotPresent(const Out& out, const RunReport& report, const char* port) {
    const ChipInfo* chip = FindChip(report.productId);
    if (!report.answered) {
        Put(out,
            "No answer from a bootloader on %s. Set BOOT0 high and reset the board, then try "
            "again.",
            port);
    } else if (report.productId == 0) {
        Put(out, "The bootloader on %s gave no product ID. Reset the board, then try again.", port);
    } else if (chip != nullptr && GetEmbeddedImage().imageOffset != 0) {
        // An updater programs these chips alone, whatever options its run was given.
        Put(out,
            "Product ID 0x%03X is an STM32F10x %s. An updater programs only low-, medium- and "
            "high-density chips; check that the right board is connected.",
            report.productId, chip->name);
    } else if (chip != nullptr) {
        Put(out,
            "Product ID 0x%03X is an STM32F10x %s. Only low-, medium- and high-density chips "
            "are programmed, unless zuva-flash is given --any-f10x.",
            report.productId, chip->name);
    } else {
        Put(out,
            "Product ID 0x%03X is not an STM32F10x chip. Check that the right board is "
            "connected.",
            report.productId);
    }
}

void DeviceStep(const Out& out, ResultCode result, const RunReport& report) {
    const char* command = CommandName(report.failedCommand);
    if (result == kResultCantProtect && report.stopped && !report.changed) {
        Put(out, "The run was stopped before anything on the chip was changed.");
    } else if (result == kResultCantProtect && report.stopped) {
        Put(out, "The run was stopped: the chip is written in part and left unprotected. "
                 "Run it again to program the whole image.");
    } else if (result == kResultCantProtect) {
        Put(out,
            "The chip did not carry out %s: the image is written, but the chip is not fully "
            "protected. Reset the board into its bootloader and try again.",
            command);
    } else if (result == kResultCantUnprotect) {
        Put(out,
            "The chip did not carry out %s; its old firmware may still be there. Reset the "
            "board into its bootloader, or switch its power off and on, then try again.",
            command);
    } else {
        Put(out, "The chip did not erase its FLASH; parts of the old firmware may remain, "
                 "unprotected. Reset the board into its bootloader and try again.");
    }
}

void Finished(const Out& out, const RunReport& report, const char* image) {
    const ChipInfo* chip = FindChip(report.productId);
    const char* name = chip != nullptr ? chip->name : "chip";
    if (report.task == RunTask::Read) {
        Put(out, "STM32F10x %s (product ID 0x%03X): %u bytes read from 0x%08X into %s.", name,
            report.productId, U(report.readLength), report.readAddress, image);
    } else if (report.task == RunTask::Erase) {
        Put(out, "STM32F10x %s (product ID 0x%03X): protection lifted and FLASH erased.", name,
            report.productId);
    } else if (report.pagesErased != 0) {
        Put(out,
            "STM32F10x %s (product ID 0x%03X): %u bytes written; %u pages erased, the rest of "
            "FLASH kept.",
            name, report.productId, U(report.imageBytes), U(report.pagesErased));
    } else {
        Put(out, "STM32F10x %s (product ID 0x%03X): %u bytes written.", name, report.productId,
            U(report.imageBytes));
    }
}

void ReadProtected(const Out& out, const RunReport& report) {
    if (report.task == RunTask::Read) {
        Put(out, "The chip is read-out protected and refuses to be read. Lifting read-out "
                 "protection erases all of its FLASH (zuva-flash --erase), so what it holds "
                 "cannot be read back. Nothing was changed and no file was made.");
    } else {
        Put(out, "The chip is read-out protected, so --page-erase cannot keep anything: lifting "
                 "read-out protection erases all of FLASH. Nothing was changed; unlock the chip "
                 "with zuva-flash --erase (this erases it), then run again.");
    }
}

void Compose(ResultCode result, const RunReport& report, const char* port, const char* image,
             const Out& out) {
    if (report.linkError != 0 && result >= kResultCommError && !report.stopped) {
        return LinkLost(out, result, report, port);
    }
    switch (result >> 16) {
    case kResultOk >> 16:
        return Finished(out, report, image);
    case kResultReadProtected >> 16:
        return ReadProtected(out, report);
    case kResultCantOpenPort >> 16:
        return CantOpenPort(out, report, port);
    case kResultCantOpenFile >> 16:
        return CantOpenFile(out, report, image);
    case kResultInvalidFormat >> 16:
        return InvalidFormat(out, report, image);
    case kResultCommError >> 16:
        return CommError(out, report);
    case kResultNotPresent >> 16:
        return NotPresent(out, report, port);
    case kResultCantProtect >> 16:
    case kResultCantUnprotect >> 16:
    case kResultCantErase >> 16:
        return DeviceStep(out, result, report);
    case kResultVerifyFailed >> 16:
        Put(out,
            "Verify failed at 0x%08X: the image holds 0x%02X, the chip 0x%02X. The chip is "
            "left unprotected for a second run.",
            report.mismatchAddress, report.expected, report.found);
        return;
    default:
        Put(out, "The run ended with the unknown result 0x%X.", result);
        return;
    }
}

} // namespace

void ResultDetail(ResultCode result, const RunReport& report, const char* port, const char* image,
                  char* text, size_t size) {
    size_t needed = 0;
    const Out out{text, size, &needed};
    if (size == 0) {
        return;
    }
    text[0] = '\0';
    Compose(result, report, port, image, out);
    if (needed < size) {
        return;
    }
    // The reason and the advice stand after the names: a name gives way in its middle.
    const size_t cut = needed - (size - 1) + sizeof kEllipsis;
    char shortPort[kShortNameSize];
    char shortImage[kShortNameSize];
    Compose(result, report, port != nullptr ? ShortenMiddle(port, cut, shortPort) : port,
            image != nullptr ? ShortenMiddle(image, cut, shortImage) : image, out);
}
