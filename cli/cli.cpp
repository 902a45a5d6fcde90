// zuva-flash: arguments, port choice, progress bar and result for one programming run.
#include "cli/cli.h"

#include "cli/counter.h"
#include "cli/gang.h"
#include "cli/loop.h"
#include "cli/port_hint.h"
#include "cli/signals.h"
#include "console/console.h"
#include "device/chips.h"
#include "device/protocol.h"
#include "engine/serial_net.h"
#include "engine/status.h"
#include "image/description.h"
#include "image/embedded.h"
#include "image/image_out.h"
#include "image/input.h"
#include "ports/port_names.h"
#include "ports/ports.h"
#include "version.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// What a usage error shows; --help shows kUsage, kHelp, the formats and kHelpOptions.
constexpr const char* kUsageLine = "usage: zuva-flash [--port PORT]... [OPTION]... IMAGE";

constexpr const char* kUsage =
    "usage: zuva-flash [--port PORT] [RUN OPTIONS] IMAGE\n"
    "       zuva-flash (--port A --port B ... | --all-ports) [--json] [--log FILE]\n"
    "                  [RUN OPTIONS] IMAGE\n"
    "       zuva-flash [--port PORT] [RUN OPTIONS] --embedded UPDATER.exe\n"
    "       zuva-flash --dry-run [--json] IMAGE\n"
    "       zuva-flash [--port PORT] --read FILE [--address A] [--length N]\n"
    "       zuva-flash [--port PORT] --erase\n"
    "       zuva-flash --list-ports | --help | --version\n";

constexpr const char* kHelp =
    "\n"
    "Programs IMAGE into an STM32F10x through its USART bootloader, then write-protects\n"
    "sectors 0 to 15 and sets read-out protection. The extension picks the format, all in\n"
    "lower or all in upper case (raw images go from 0x08000000, the others where their\n"
    "addresses say):\n";

constexpr const char* kHelpOptions =
    "\n"
    "  --port PORT      COM7, \\\\.\\COM7 or a device path such as /dev/ttyUSB0;\n"
    "                   rfc2217://HOST:PORT or socket://HOST:PORT for a port on a serial\n"
    "                   port server (socket:// keeps the server's line settings);\n"
    "                   may be left out when exactly one serial port is found\n"
    "  --embedded FILE  program the image carried by an updater made by zuva-pack\n"
    "  --list-ports     list serial ports: name, description, enumerator and, where\n"
    "                   there is one, the stable name; with --json one object a port\n"
    "  --dry-run        check IMAGE and print what would be written; opens no port\n"
    "  -q, --quiet      print only the result line (and why, when it failed)\n"
    "  -v, --verbose    print each protocol step with its time on stderr\n"
    "  -V, --version    print the version\n"
    "  -h, --help       this text\n"
    "\n"
    "Several devices at once, one process per port:\n"
    "  --port PORT ...  each port given (--port once per port)\n"
    "  --all-ports      every serial port found\n"
    "  --json           stdout: one JSON object per port (port, result, message, detail,\n"
    "                   chip, bytes, seconds, image, image_size, image_crc32,\n"
    "                   flash_kib, uid)\n"
    "  --log FILE       append the same objects, each with its time, to FILE; a log\n"
    "                   that cannot be written ends with status 74\n"
    "\n"
    "A production line:\n"
    "  --loop           board after board on each port: once a board's result is out\n"
    "                   and it has been taken out (no answer for a second), the next\n"
    "                   board that answers is programmed; Ctrl-C while waiting ends\n"
    "                   the loop with a summary line (with --json, a summary object)\n"
    "  --count N        end the loop after N boards on each port\n"
    "  --serial FILE    FILE holds the next serial number (decimal); each board takes\n"
    "                   one under a lock, shared by every process that uses FILE\n"
    "  --serial-at ADDR where the number goes: a 32-bit little-endian word at ADDR in\n"
    "                   FLASH, outside the image (e.g. 0x0801FFF0)\n"
    "\n"
    "Run options:\n"
    "  --verify         read every block back before protecting; a difference ends\n"
    "                   the run with \"Verify failed\" (12), the chip unprotected\n"
    "  --no-protect     leave write and read-out protection off (for a debugger)\n"
    "  --go             start the new firmware at 0x08000000 (needs --no-protect,\n"
    "                   or --boot with a reset pin, whose reset starts it)\n"
    "  --any-f10x       also accept the rest of the F10x family: connectivity line,\n"
    "                   value line and XL density (without it: low, medium, high)\n"
    "  --address ADDR   where a raw image (.bin, .exe) goes, word aligned (default\n"
    "                   0x08000000); --go then starts it there. HEX, S-record and ELF\n"
    "                   files carry their own addresses and take none\n"
    "  --page-erase     erase only the pages the image touches and keep the rest of\n"
    "                   FLASH; refused on a read-out protected chip (see --erase)\n";

// The help goes on after the --baud lines, which PrintHelp makes from kBaudRates.
constexpr const char* kHelpAfterRates =
    "  --boot SPEC      drive BOOT0 and reset from the port's modem lines: PIN=LINE\n"
    "                   or PIN=!LINE (the pin high while the line is cleared), PIN\n"
    "                   boot0 or reset, LINE rts or dtr\n"
    "\n"
    "At the bench (no IMAGE):\n"
    "  --read FILE      read the chip's FLASH into FILE: .bin raw, .hex Intel HEX,\n"
    "                   .srec S-records; nothing is erased or written. A read-out\n"
    "                   protected chip refuses: \"Read-out protected\" (13)\n"
    "  --address A      with --read: start there (default 0x08000000)\n"
    "  --length N       with --read: read N bytes (default: to the end of FLASH)\n"
    "  --erase          lift read-out and write protection and erase all of FLASH;\n"
    "                   nothing is written and no protection set\n"
    "\n"
    "Examples:\n"
    "  zuva-flash --port /dev/ttyUSB0 --verify firmware.hex\n"
    "  zuva-flash --port COM3 --no-protect --go firmware.bin\n"
    "  zuva-flash --port /dev/ttyUSB0 --baud 57600 firmware.bin\n"
    "  zuva-flash --port /dev/ttyUSB0 --boot boot0=rts,reset=!dtr firmware.hex\n"
    "  zuva-flash --dry-run firmware.hex\n"
    "  zuva-flash --port COM3 --port COM4 --loop --serial next.txt --serial-at 0x0801FFF0\n"
    "             --log line.log firmware.hex\n"
    "  zuva-flash --port /dev/ttyUSB0 --read backup.hex\n"
    "  zuva-flash --port COM3 --page-erase --address 0x08004000 --no-protect --go app.bin\n"
    "\n"
    "Options take their value as --name VALUE or --name=VALUE, each once (--port may be\n"
    "repeated); a value that starts with - is given as --name=VALUE, and an IMAGE whose\n"
    "name starts with - as ./-name or after --.\n"
    "\n"
    "The result is the last line on stdout (with --json, the last JSON object; after\n"
    "--dry-run, \"Image OK: ...\"). When stdout goes away during a run (a closed\n"
    "pipe), the run stops as after Ctrl-C, leaving the device unprotected.\n"
    "\n"
    "Exit status: 0 done; 1 port, 2 file, 3 format, 4 communication, 8 no device,\n"
    "9 protect, 10 unprotect, 11 erase, 12 verify, 13 read-out protected; 64 usage; 71 a\n"
    "process for a port could not be started; 74 stdout or the log could not take the\n"
    "result; 130 interrupted by Ctrl-C, SIGTERM or SIGHUP. Several ports: 0 when every\n"
    "device finished OK, else the status of the first failed port in the order given.\n";

constexpr int kBarCells = 30;
constexpr double kRedrawSeconds = 0.25;
constexpr double kStdoutCheckSeconds = 0.1;

using Clock = std::chrono::steady_clock;

// The progress bar of the run in hand.
struct ProgressBar {
    bool enabled = false; // stderr is a terminal
    bool started = false; // a report has come
    bool drawn = false;   // a line stands on the terminal
    int lastPercent = 0;
    int kind = Progress; // the phase drawn: the writes, or the read-back
    Clock::time_point start;
    Clock::time_point lastDraw;
} bar;

void DrawProgress(int percent) {
    Clock::time_point now = Clock::now();
    if (!bar.started) {
        bar.started = true;
        bar.start = now;
    } else if (percent == bar.lastPercent &&
               std::chrono::duration<double>(now - bar.lastDraw).count() < kRedrawSeconds) {
        return;
    }
    double elapsed = std::chrono::duration<double>(now - bar.start).count();
    const uint64_t total = ReadTotalBytes() != 0 ? ReadTotalBytes() : GetPlanSummary().totalBytes;
    std::string line = FormatProgressLine(percent, total, elapsed);
    std::fprintf(stderr, "\r%s%s", bar.kind == Verify ? "verify " : "", line.c_str());
    std::fflush(stderr);
    bar.drawn = true;
    bar.lastPercent = percent;
    bar.lastDraw = now;
}

void EndProgress() {
    if (bar.drawn) {
        std::fputc('\n', stderr);
        bar.drawn = false;
    }
}

// The read-back gets a bar of its own, under the one of the writes.
void DrawPhase(int kind, int percent) {
    if (kind != bar.kind) {
        EndProgress();
        bar.started = false;
        bar.drawn = false;
        bar.kind = kind;
    }
    DrawProgress(percent);
}

// This process serves one port of a gang run (--member).
bool memberOfGang = false;

// The last message told on stderr, without "zuva-flash: ": the detail of a --json line.
std::string lastMessage;

// One message on stderr, "zuva-flash: " in front, kept as lastMessage.
// Sized to the text: a long path never cuts off the reason and the advice behind it.
[[gnu::format(gnu_printf, 1, 2)]] void Say(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    va_list again;
    va_copy(again, arguments);
    const int size = std::vsnprintf(nullptr, 0, format, arguments);
    va_end(arguments);
    std::string text(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    lastMessage = text;
    std::fprintf(stderr, "zuva-flash: %s\n", text.c_str());
}

// -q: nothing on stdout but the result line, nothing on stderr but failures.
bool quiet = false;

// -v: each protocol step is printed once the next one starts (or the run ends), with the
// time it began from the first step and how long it took.
struct StepLog {
    bool pending = false;
    uint8_t code = 0;
    Clock::time_point first;
    Clock::time_point start;
} steps;

const char* StepName(uint8_t code) {
    const char* name = BlCommandName(code);
    return name != nullptr ? name : "command";
}

void EndStep(Clock::time_point now) {
    if (steps.pending) {
        std::fprintf(stderr, "zuva-flash: step %9.3f s  %-17s (0x%02X) %8.1f ms\n",
                     std::chrono::duration<double>(steps.start - steps.first).count(),
                     StepName(steps.code), steps.code,
                     std::chrono::duration<double, std::milli>(now - steps.start).count());
        steps.pending = false;
    }
}

void OnStep(uint8_t code, const uint8_t* discarded, uint32_t n) {
    Clock::time_point now = Clock::now();
    EndStep(now);
    if (n > 0) {
        std::string bytes;
        for (uint32_t i = 0; i < std::min(n, kStepKeptBytes); ++i) {
            char hex[4];
            std::snprintf(hex, sizeof hex, " %02X", discarded[i]);
            bytes += hex;
        }
        std::fprintf(stderr, "zuva-flash: %u byte%s nobody asked for, discarded:%s%s\n", n,
                     n == 1 ? "" : "s", bytes.c_str(), n > kStepKeptBytes ? " ..." : "");
    }
    steps.first = steps.first == Clock::time_point{} ? now : steps.first;
    steps = {true, code, steps.first, now};
}

// Whether the run reached the chip with an unprotect, erase or write.
bool chipChanged = false;

// The result line once printed: repeated on stderr if stdout does not take it.
const char* resultLine = nullptr;

// Whether stdout went away during the run; looked at every kStdoutCheckSeconds at most,
// since the callback comes several times per HEX record. Stays true.
struct OutputWatch {
    bool lost = false;
    std::string why = "it was closed"; // or the failed write's reason
    Clock::time_point lastCheck;
} output;

bool OutputLost() {
    Clock::time_point now = Clock::now();
    if (!output.lost &&
        std::chrono::duration<double>(now - output.lastCheck).count() >= kStdoutCheckSeconds) {
        output.lastCheck = now;
        output.lost = StdoutGone();
    }
    return output.lost;
}

// The engine's one callback: the description of an updater's image, progress, and the
// abort answer, which stays nonzero once Ctrl-C was pressed or stdout went away: the
// device must not end up protected with nobody told.
int OnStatus(int kind, intptr_t value) {
    if (kind == ImageInfo && !quiet) {
        const char* text = reinterpret_cast<const char*>(value);
        std::printf("Image: %s\n", DescriptionForTerminal(text != nullptr ? text : "").c_str());
        errno = 0;
        if (!output.lost && (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)) {
            output.lost = true;
            output.why = errno != 0 ? std::strerror(errno) : "a write error";
        }
        return 0;
    }
    if ((kind == Progress || kind == Verify) && memberOfGang) {
        output.lost = !MemberProgress(kind, static_cast<int>(value)) || output.lost;
    } else if ((kind == Progress || kind == Verify) && bar.enabled) {
        DrawPhase(kind, static_cast<int>(value));
    }
    return InterruptRequested() || OutputLost() ? 1 : 0;
}

// The port list: tab-separated columns, or a JSON object per line.
struct PortListing {
    bool json = false;
    int count = 0;
};

int PrintPort(intptr_t userValue, const PortEntry* entry) {
    auto* listing = reinterpret_cast<PortListing*>(userValue);
    ++listing->count;
    if (listing->json) {
        std::printf("%s\n", PortEntryJson(*entry).c_str());
    } else {
        std::printf("%s\t%s\t%s%s%s\n", entry->portName, entry->displayName, entry->enumeratorName,
                    entry->stableName[0] != '\0' ? "\t" : "", entry->stableName);
    }
    return 1;
}

int ListPorts(bool json) {
    PortListing listing;
    listing.json = json;
    if (EnumSerialPorts(PrintPort, reinterpret_cast<intptr_t>(&listing)) == 0) {
        std::fprintf(stderr, "zuva-flash: the serial ports cannot be listed\n");
        return static_cast<int>(kResultCantOpenPort >> 16);
    }
    if (listing.count == 0) {
        std::fprintf(stderr, "zuva-flash: no serial ports found\n");
    }
    return 0;
}

struct FoundPort {
    std::string name;
    std::string shownAs;
};

int CollectPort(intptr_t userValue, const PortEntry* entry) {
    reinterpret_cast<std::vector<FoundPort>*>(userValue)->push_back(
        {entry->portName, PortShownAs(entry->portName, entry->displayName)});
    return 1;
}

// The port to open: the one given, or the only one there is. 0, or 1 after telling why.
int ChoosePort(const char* given, std::string* portPath) {
    if (given != nullptr) {
        *portPath = PortPathForName(given);
        return 0;
    }
    std::vector<FoundPort> names;
    if (EnumSerialPorts(CollectPort, reinterpret_cast<intptr_t>(&names)) != 0 &&
        names.size() == 1) {
        *portPath = PortPathForName(names[0].name.c_str());
        if (!quiet) {
            std::fprintf(stderr, "zuva-flash: using %s (%s)\n", names[0].name.c_str(),
                         names[0].shownAs.c_str());
        }
        return 0;
    }
    std::fprintf(stderr, "zuva-flash: no --port given and %zu serial ports found%s\n", names.size(),
                 names.empty() ? "" : " (see --list-ports)");
    return 1;
}

// The image file (or updater), checked before a port is chosen or opened, so that a wrong
// name costs no contact with the bootloader and is told with the system's reason.
// kResultOk, or the class to end with after telling why.
ResultCode CheckImageFile(const char* path, bool updater) {
    FILE* file = nullptr;
    errno = 0;
    const InputResult opened = OpenInputFile(path, &file);
    const int error = errno;
    if (opened == InputNotRegular) {
        Say("%s is not a regular file (a directory or a device); give the image file itself", path);
        return kResultCantOpenFile;
    }
    if (opened != InputOk) {
        Say("cannot open %s: %s%s", path,
            error != 0 ? std::strerror(error) : "the name cannot be used",
            error == ENOENT ? "; check the name and the folder" : "");
        return kResultCantOpenFile;
    }
    std::fclose(file);
    if (!updater && FormatFromExtension(PathExtension(path)) == ImageFormat::None) {
        Say("%s: the extension names no image format; zuva-flash reads %s, all lower or all "
            "upper case",
            path, FormatList());
        return kResultInvalidFormat;
    }
    return kResultOk;
}

// The file a read goes into, checked before a port is chosen or opened: a regular file or
// a new name in a folder that may be written. kResultOk, or kResultCantOpenFile after
// telling why.
ResultCode CheckReadFile(const char* path) {
    int error = 0;
    const OutputResult checked = CheckOutputPath(path, &error);
    if (checked == OutputOk) {
        return kResultOk;
    }
    char reason[160] = "";
    PortErrorText(error, reason, sizeof reason);
    if (checked == OutputNotRegular) {
        Say("cannot write %s: %s; --read writes a file, give a file name", path,
            error != 0 ? reason : "not a regular file (a device, a FIFO or a socket)");
    } else {
        Say("cannot write %s: %s; choose a folder that may be written", path, reason);
    }
    return kResultCantOpenFile;
}

// Loads the updater's image (its description is printed through the callback).
// kResultOk, or the class to end with after telling why.
ResultCode LoadUpdater(const char* path) {
    if (!LoadUpdaterImage(path)) {
        Say("%s carries no image; --embedded takes an updater made by zuva-pack", path);
        return kResultCantOpenFile;
    }
    return kResultOk;
}

// "1200, 2400, ..., 115200": the rates a run accepts.
std::string RateList() {
    std::string list;
    for (uint32_t rate : kBaudRates) {
        list += (list.empty() ? "" : ", ") + std::to_string(rate);
    }
    return list;
}

// Why a run ended as it did, on stderr, as its last line (a gang run takes that line as
// the port's JSON detail); the result text itself goes to stdout.
void ExplainResult(ResultCode result, const RunReport& report, const std::string& port,
                   const char* imagePath, double seconds) {
    if (result == kResultOk && report.productId != 0 &&
        (report.task != RunTask::Write || report.pagesErased != 0)) {
        char done[512];
        ResultDetail(result, report, port.c_str(), imagePath, done, sizeof done);
        done[std::strlen(done) - 1] = '\0'; // its full stop, which the time takes
        std::fprintf(stderr, "zuva-flash: %s, in %.1f s\n", done, seconds);
        return;
    }
    if (result == kResultOk && report.productId != 0) {
        std::fprintf(stderr,
                     "zuva-flash: STM32F10x %s (product ID 0x%03X): %llu bytes written in %.1f "
                     "s%s%s\n",
                     DensityName(report.productId), report.productId,
                     static_cast<unsigned long long>(report.imageBytes), seconds,
                     report.uidRead ? "; unique ID " : "",
                     report.uidRead ? UidText(report).c_str() : "");
        return;
    }
    char detail[1024]; // a longer path is shortened in its middle
    ResultDetail(result, report, port.c_str(), imagePath, detail, sizeof detail);
    Say("%s", detail); // last, so that it is the JSON detail
}

// The serial number's file and place, checked before any port is opened: the file can
// be read, holds a number and can be written back; the word lies where the image gives no
// byte. An image that cannot be planned is left for the run to refuse. kResultOk, or the
// class after telling why.
ResultCode CheckSerialSetup(const CliOptions& options, const char* imagePath) {
    uint32_t next = 0;
    std::string error;
    if (!PeekSerial(options.serialFile, &next, &error)) {
        Say("cannot use the serial number file %s: %s", options.serialFile, error.c_str());
        return kResultCantOpenFile;
    }
    const uint32_t address = options.run.serialAddress;
    RunReport report;
    bool taken =
        PlanImage(imagePath, PathExtension(imagePath), &report, options.run.rawBase) == kResultOk &&
        AddPlanWord(address, next) != PlanResult::Ok;
    CloseWritePlan();
    if (taken) {
        Say("--serial-at 0x%08X lies inside the image, which gives bytes there; give an "
            "address in FLASH that the image leaves free",
            static_cast<unsigned>(address));
        return kResultInvalidFormat;
    }
    return kResultOk;
}

// The image checked as a run would check it; no port is opened. On success *line is the
// result line: "Image OK: 65536 bytes in 256 blocks, 0x08000000..0x0800FFFF".
ResultCode DryRun(const char* imagePath, uint32_t rawBase, std::string* line) {
    RunReport report;
    const ResultCode result = PlanImage(imagePath, PathExtension(imagePath), &report, rawBase);
    PlanBlock block;
    uint32_t first = 0;
    uint32_t last = 0;
    for (bool any = false; result == kResultOk && NextPlanBlock(&block); any = true) {
        first = any ? first : block.address;
        last = block.address + block.length - 1;
    }
    CloseWritePlan();
    if (result != kResultOk) {
        ExplainResult(result, report, "", imagePath, 0);
        return result;
    }
    const PlanSummary& summary = report.plan;
    if (summary.erasedBlocks != 0 && !quiet) {
        std::fprintf(stderr, "zuva-flash: %u blocks are blank (all 0xFF) and are not sent\n",
                     static_cast<unsigned>(summary.erasedBlocks));
    }
    char text[96];
    std::snprintf(text, sizeof text, "Image OK: %llu bytes in %u blocks, 0x%08X..0x%08X",
                  static_cast<unsigned long long>(summary.totalBytes),
                  static_cast<unsigned>(summary.blocks), static_cast<unsigned>(first),
                  static_cast<unsigned>(last));
    *line = text;
    return result;
}

// The image's write plan made and dropped before a port is chosen, so that a file that is
// no image (a Windows program, a damaged HEX file) costs no contact with the bootloader.
ResultCode CheckPlan(const char* imagePath, const RunOptions& run) {
    RunReport report;
    const ResultCode result = PlanImage(imagePath, PathExtension(imagePath), &report, run.rawBase);
    CloseWritePlan();
    if (result != kResultOk) {
        ExplainResult(result, report, "", imagePath, 0);
    }
    return result;
}

// A read's bytes into the file named by context, in the format its extension picks.
bool SaveRead(const void* context, uint32_t address, const uint8_t* bytes, uint32_t length,
              int* error) {
    const char* path = static_cast<const char*>(context);
    return WriteImageFile(path, OutputFormatForPath(path), address, bytes, length, error) ==
           OutputOk;
}

// "COM7 (/dev/ttyS6)", "COM7", or the path as given.
std::string PortForMessages(const std::string& portPath) {
    int number = ComNumberFromName(portPath.c_str());
    if (number == 0) {
        return portPath;
    }
    char text[16] = "";
    ComPortName(number, text, sizeof text);
    const std::string name = text;
    std::string shown = PortShownAs(name.c_str(), name.c_str());
    return shown == name ? name : name + " (" + shown + ")";
}

ResultCode RunWithOptions(const CliOptions& options, const RunOptions& run, const char* imagePath,
                          const std::string& portPath) {
    RunReport report;
    Clock::time_point start = Clock::now();
    bar.started = false; // a bar per board
    bar.kind = Progress;
    ResultCode result = options.read != nullptr
                            ? ReadDevice(portPath.c_str(), options.readAddress, options.readLength,
                                         SaveRead, const_cast<char*>(options.read), run, &report)
                        : options.erase ? EraseDevice(portPath.c_str(), run, &report)
                                        : ProgramDevice(imagePath, PathExtension(imagePath),
                                                        portPath.c_str(), run, &report);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EndStep(Clock::now());
    EndProgress();
    bar.drawn = false;
    chipChanged = report.changed;
    if (memberOfGang) {
        MemberReport(result, report);
    }
    // After a stop the engine's failure is the stop's doing, not the chip's: Finish says why.
    const bool stopped = InterruptRequested() || (output.lost && result != kResultOk);
    if (!stopped && !(quiet && result == kResultOk)) {
        ExplainResult(result, report, PortForMessages(portPath), imagePath, seconds);
    }
    return result;
}

// The result line and the exit status. okLine, when given, is the line of a success.
int Finish(ResultCode result, const char* okLine = nullptr) {
    EndProgress();
    const char* left =
        chipChanged ? "the device is left unprotected" : "nothing on the device was changed";
    if (output.lost && result != kResultOk) {
        std::fprintf(stderr,
                     "zuva-flash: stdout cannot take the result (%s); the run was "
                     "stopped and %s\n",
                     output.why.c_str(), left);
        return kExitOutputLost;
    }
    bool interrupted = InterruptRequested();
    int status = ExitStatusFor(result, interrupted);
    static std::string line;
    line = status == kExitInterrupted                 ? "Interrupted"
           : result == kResultOk && okLine != nullptr ? okLine
                                                      : ResultMessage(result);
    if (status == kExitInterrupted) {
        std::fprintf(stderr, "zuva-flash: interrupted; %s\n", left);
    }
    std::printf("%s\n", line.c_str());
    resultLine = line.c_str();
    return status;
}

// The board in hand: what RunBoard runs.
struct BoardContext {
    const CliOptions* options = nullptr;
    const char* imagePath = nullptr;
    std::string portPath;
} board;

// One board: its serial number taken (the counter file rewritten before the number goes
// into the plan), then the run and its result line. The exit status of the run; *endLine
// when no number could be taken (nothing was run).
int RunBoard(bool* endLine) {
    lastMessage.clear();
    RunOptions run = board.options->run;
    const char* serialFile = board.options->serialFile;
    if (serialFile != nullptr) {
        std::string error;
        if (!TakeSerial(serialFile, &run.serialNumber, &error)) {
            Say("cannot take a serial number from %s: %s", serialFile, error.c_str());
            *endLine = true;
            return static_cast<int>(kResultCantOpenFile >> 16);
        }
        run.serialUsed = true;
        if (memberOfGang) {
            std::printf("@serial %u\n", static_cast<unsigned>(run.serialNumber));
        } else if (!quiet) {
            std::fprintf(stderr, "zuva-flash: serial number %u\n",
                         static_cast<unsigned>(run.serialNumber));
        }
    }
    const int status = Finish(RunWithOptions(*board.options, run, board.imagePath, board.portPath));
    if (memberOfGang && board.options->loop) {
        std::printf("@detail %s\n", status != 0 ? lastMessage.c_str() : "");
    }
    return status;
}

// --baud N: one of the rates the bootloader detects.
bool TakeBaud(const char* value, CliOptions* options, std::string* error) {
    char* end = nullptr;
    unsigned long rate = std::strtoul(value, &end, 10);
    bool standard = *end == '\0' && value[0] >= '0' && value[0] <= '9' && rate <= UINT32_MAX &&
                    BaudRateSupported(static_cast<uint32_t>(rate));
    options->run.line.baudRate = static_cast<uint32_t>(rate);
    options->baudGiven = true;
    if (!standard) {
        *error = std::string("--baud ") + value + ": not a rate the bootloader detects (" +
                 RateList() + ")";
    }
    return standard;
}

// A number as C writes it: decimal, or hexadecimal after 0x. false when it is none.
bool ParseUnsigned(const char* text, uint32_t* value) {
    char* end = nullptr;
    errno = 0;
    unsigned long long number = std::strtoull(text, &end, 0);
    if (text[0] < '0' || text[0] > '9' || *end != '\0' || errno != 0 || number > UINT32_MAX) {
        return false;
    }
    *value = static_cast<uint32_t>(number);
    return true;
}

// --count N: boards per port, 1 or more.
bool TakeCount(const char* value, CliOptions* options, std::string* error) {
    options->countGiven = true;
    if (!ParseUnsigned(value, &options->count) || options->count == 0) {
        *error = std::string("--count ") + value + ": give the number of boards, 1 or more";
        return false;
    }
    return true;
}

// --serial-at ADDR: a word in FLASH.
bool TakeSerialAt(const char* value, CliOptions* options, std::string* error) {
    options->serialAtGiven = true;
    RunOptions& run = options->run;
    bool number = ParseUnsigned(value, &run.serialAddress);
    if (!number || run.serialAddress % 4 != 0 || run.serialAddress < kFlashBase ||
        run.serialAddress - kFlashBase > kImageSpan - 4) {
        *error = std::string("--serial-at ") + value +
                 (number ? ": give a word-aligned address in FLASH (0x08000000 and up)"
                         : ": not an address (e.g. 0x0801FFF0)");
        return false;
    }
    return true;
}

// Every option of zuva-flash, one line each (console.h's rules).
std::vector<OptionRule> CliRules(CliOptions* o) {
    OptionRule member = FlagOption("--member", &o->member);
    member.hidden = true; // one port of a gang run, started by the gang itself
    return {
        TextsOption("--port", &o->ports),
        FlagOption("--all-ports", &o->allPorts),
        FlagOption("--json", &o->json),
        TextOption("--log", &o->log),
        TextOption("--embedded", &o->embedded),
        FlagOption("--list-ports", &o->listPorts),
        FlagOption("--dry-run", &o->dryRun),
        FlagOption("--quiet", "-q", &o->quiet),
        FlagOption("--verbose", "-v", &o->verbose),
        FlagOption("--help", "-h", &o->help),
        FlagOption("--version", "-V", &o->version),
        FlagOption("--verify", &o->run.verify),
        FlagOption("--no-protect", &o->run.protect, false),
        FlagOption("--go", &o->run.go),
        FlagOption("--any-f10x", &o->run.anyF10x),
        FlagOption("--page-erase", &o->run.pageErase),
        FlagOption("--erase", &o->erase),
        TextOption("--read", &o->read),
        TextOption("--address", &o->address),
        TextOption("--length", &o->length),
        ValueOption("--baud", [o](const char* v, std::string* e) { return TakeBaud(v, o, e); }),
        ValueOption(
            "--boot",
            [o](const char* v, std::string* e) { return ParseBootSpec(v, &o->run.boot, e) == 0; }),
        FlagOption("--loop", &o->loop),
        ValueOption("--count", [o](const char* v, std::string* e) { return TakeCount(v, o, e); }),
        TextOption("--serial", &o->serialFile),
        ValueOption("--serial-at",
                    [o](const char* v, std::string* e) { return TakeSerialAt(v, o, e); }),
        member,
    };
}

// A production line's options that make no sense alone.
int CheckLineOptions(const CliOptions& options, std::string* error) {
    if ((options.serialFile != nullptr) != options.serialAtGiven) {
        *error = "--serial FILE and --serial-at ADDR go together: the file gives the number, "
                 "ADDR where it is written";
        return 1;
    }
    if (options.countGiven && !options.loop) {
        *error = "--count needs --loop: it ends the loop after that many boards";
        return 1;
    }
    if (options.serialFile != nullptr && (options.read != nullptr || options.erase)) {
        *error = "--serial puts a number into the image it writes: it takes no --read or --erase";
        return 1;
    }
    if (options.loop && options.read != nullptr) {
        *error = "--loop reads no boards: every board would overwrite the --read file; read "
                 "one chip at a time";
        return 1;
    }
    if (options.dryRun && (options.loop || options.serialFile != nullptr)) {
        *error = "--dry-run only checks the image: it takes no --loop or --serial";
        return 1;
    }
    return 0;
}

// Combinations that cannot work, found before anything is opened.
int CheckRunOptions(const CliOptions& options, std::string* error) {
    const RunOptions& run = options.run;
    bool boot = run.boot.boot0.used || run.boot.reset.used;
    if (run.go && run.protect && !run.boot.reset.used) {
        *error = "--go needs --no-protect or a reset pin: the bootloader refuses Go under "
                 "read-out protection (or give --boot with reset=LINE, whose reset starts the "
                 "firmware)";
        return 1;
    }
    for (const char* port : options.ports) {
        if (NetPortScheme(port) == NetScheme::Socket && (options.baudGiven || boot)) {
            *error = std::string(port) + ": a socket:// port keeps the server's line settings; "
                                         "--baud and --boot need a local or rfc2217:// port";
            return 1;
        }
    }
    bool gang = options.allPorts || options.log != nullptr;
    if (options.dryRun && (options.port != nullptr || gang || boot || run.go || run.verify)) {
        *error = "--dry-run only checks the image: it takes no port and no run options";
        return 1;
    }
    if (options.quiet && options.verbose) {
        *error = "give either --quiet or --verbose, not both";
        return 1;
    }
    return CheckLineOptions(options, error);
}

// A number as C writes it (0x08004000, 16384); false when text is none.
bool ParseNumber(const char* text, uint32_t* value) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long number = std::strtoull(text, &end, 0);
    *value = static_cast<uint32_t>(number);
    return text[0] >= '0' && text[0] <= '9' && *end == '\0' && errno == 0 && number <= UINT32_MAX;
}

// --address and --length: numbers, and an address inside the FLASH of the largest chip;
// a raw image's address word aligned. 0, or 1 with the reason in *error.
int CheckAddress(CliOptions* options, std::string* error) {
    if (options->length != nullptr &&
        (!ParseNumber(options->length, &options->readLength) || options->readLength == 0)) {
        *error = std::string("--length ") + options->length + ": not a number of bytes";
        return 1;
    }
    if (options->address == nullptr) {
        options->readAddress = kFlashBase;
        return 0;
    }
    uint32_t address = 0;
    if (!ParseNumber(options->address, &address)) {
        *error = std::string("--address ") + options->address + ": not a number";
        return 1;
    }
    char where[160];
    std::snprintf(where, sizeof where, "--address 0x%08X: ", static_cast<unsigned>(address));
    if (address < kFlashBase || address >= kFlashBase + kImageSpan) {
        *error = std::string(where) + "outside FLASH (0x08000000 upward)";
        return 1;
    }
    if (options->read == nullptr && address % 4 != 0) {
        *error = std::string(where) + "not word aligned (a multiple of 4)";
        return 1;
    }
    options->readAddress = address;
    options->run.rawBase = address;
    return 0;
}

// What --read, --erase, --page-erase, --address and --length go with. 0, or 1 with the
// reason in *error.
int CheckBenchOptions(CliOptions* options, std::string* error) {
    const bool image = options->image != nullptr || options->embedded != nullptr;
    const bool read = options->read != nullptr;
    const RunOptions& run = options->run;
    const struct {
        bool refused;
        const char* why;
    } kRules[] = {
        {read + options->erase + image > 1, "give one of IMAGE, --read FILE and --erase"},
        {options->erase && run.pageErase,
         "--page-erase keeps pages, --erase erases them all: give one of them"},
        {read && run.pageErase, "--read erases nothing: drop --page-erase"},
        {(read || options->erase) && (run.go || run.verify || !run.protect),
         "--read and --erase take no --go, --verify or --no-protect"},
        {(read || options->erase) && options->dryRun,
         "--dry-run checks an image: it takes no --read or --erase"},
        {options->length != nullptr && !read, "--length goes with --read"},
        {options->address != nullptr && options->erase, "--erase takes no --address"},
        {read && (options->allPorts || options->ports.size() > 1),
         "--read reads one chip: give one --port"},
    };
    for (const auto& rule : kRules) {
        if (rule.refused) {
            *error = rule.why;
            return 1;
        }
    }
    if (options->address != nullptr && image &&
        (options->embedded != nullptr ||
         FormatFromExtension(PathExtension(options->image)) != ImageFormat::Binary)) {
        *error = "--address places a raw image (.bin, .exe); HEX, S-record and ELF files carry "
                 "their own addresses, and an updater's image goes to 0x08000000";
        return 1;
    }
    return CheckAddress(options, error);
}

} // namespace

int ParseCliArgs(int argc, char** argv, CliOptions* options, std::string* error) {
    std::vector<const char*> operands;
    if (ParseOptions(argc, argv, CliRules(options), &operands, error) != 0) {
        return 1;
    }
    options->port = options->ports.empty() ? nullptr : options->ports.front();
    options->image = operands.empty() ? nullptr : operands.front();
    if (operands.size() > 1) {
        *error = "more than one image given";
        return 1;
    }
    if (options->help || options->version || options->listPorts) {
        return 0;
    }
    if (options->image != nullptr && options->embedded != nullptr) {
        *error = "give either IMAGE or --embedded UPDATER, not both";
        return 1;
    }
    if (CheckBenchOptions(options, error) != 0) {
        return 1;
    }
    if (options->image == nullptr && options->embedded == nullptr && options->read == nullptr &&
        !options->erase) {
        *error = "no image given";
        return 1;
    }
    if (options->allPorts && !options->ports.empty()) {
        *error = "give either --port or --all-ports, not both";
        return 1;
    }
    return CheckRunOptions(*options, error);
}

int ParseBootSpec(const char* spec, BootWiring* wiring, std::string* error) {
    BootWiring parsed;
    std::string text = spec;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? comma : comma - start);
        size_t eq = item.find('=');
        std::string pin = item.substr(0, eq);
        std::string line = eq == std::string::npos ? "" : item.substr(eq + 1);
        PinWiring* target = pin == "boot0"   ? &parsed.boot0
                            : pin == "reset" ? &parsed.reset
                                             : nullptr;
        bool inverted = !line.empty() && line[0] == '!';
        line.erase(0, inverted ? 1 : 0);
        if (target == nullptr || target->used || (line != "rts" && line != "dtr")) {
            *error = "--boot " + text + ": expected PIN=LINE or PIN=!LINE, PIN boot0 or reset " +
                     "(each once), LINE rts or dtr, e.g. boot0=rts,reset=!dtr";
            return 1;
        }
        *target = PinWiring{true, line == "rts" ? ModemLine::Rts : ModemLine::Dtr, inverted};
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    if (parsed.boot0.used && parsed.reset.used && parsed.boot0.line == parsed.reset.line) {
        *error = "--boot " + text + ": BOOT0 and reset need a line each";
        return 1;
    }
    *wiring = parsed;
    return 0;
}

namespace {

// Every file a run writes, with its option; a null path where it was not given.
std::array<std::pair<const char*, const char*>, 3> WrittenFiles(const CliOptions& options) {
    return {{{"--log", options.log}, {"--read", options.read}, {"--serial", options.serialFile}}};
}

// "" unless path names port: the same COM number (on Windows a name that opens the port),
// or the same device node, the one a COM name maps to here included, by any link.
std::string OutputIsPort(const char* option, const char* path, const char* port) {
    const int number = ComNumberFromName(port);
    char device[64] = "";
    if (number != 0 && ComNumberToDevicePath(number, device, sizeof device) != 0) {
        device[0] = '\0';
    }
    if (number != 0 && ComNumberFromName(path) == number) {
        return std::string(option) + " " + path + " is the same file as --port " + port +
               "; nothing was written: give " + option + " another file";
    }
    return OutputIsInput(option, path, "--port", device[0] != '\0' ? device : port);
}

} // namespace

std::string OutputOnInput(const CliOptions& options, const char* option, const char* path) {
    std::string refusal = OutputIsInput(option, path, "the image", options.image);
    if (refusal.empty()) {
        refusal = OutputIsInput(option, path, "--embedded", options.embedded);
    }
    for (size_t i = 0; i < options.ports.size() && refusal.empty(); ++i) {
        refusal = OutputIsPort(option, path, options.ports[i]);
    }
    // Two outputs on one file: the log's lines would land in the read or the counter.
    for (auto [other, otherPath] : WrittenFiles(options)) {
        if (refusal.empty() && std::strcmp(other, option) != 0) {
            refusal = OutputIsOutput(option, path, other, otherPath);
        }
    }
    return refusal;
}

std::string PortPathForName(const char* name) {
    int number = ComNumberFromName(name);
    if (number == 0) {
        return name;
    }
    char path[32] = "";
    return ComPortPath(number, path, sizeof path) == 0 ? path : name;
}

const char* DensityName(uint16_t productId) {
    const ChipInfo* chip = FindChip(productId);
    return chip != nullptr ? chip->name : "unknown";
}

int ExitStatusFor(ResultCode result, bool interrupted) {
    if (interrupted && result != kResultOk) {
        return kExitInterrupted;
    }
    return static_cast<int>(result >> 16);
}

std::string FormatProgressLine(int percent, uint64_t totalBytes, double elapsedSeconds) {
    int shown = std::clamp(percent - 1, 0, 100);
    uint64_t done = totalBytes * static_cast<uint64_t>(shown) / 100;
    std::string cells(kBarCells, '.');
    std::fill_n(cells.begin(), shown * kBarCells / 100, '#');
    double rate = elapsedSeconds > 0 ? static_cast<double>(done) / elapsedSeconds : 0;
    char left[32] = "--:--";
    if (rate > 0) {
        auto seconds = static_cast<unsigned long>(static_cast<double>(totalBytes - done) / rate);
        std::snprintf(left, sizeof left, "%lu:%02lu", seconds / 60, seconds % 60);
    }
    char line[160];
    std::snprintf(line, sizeof line, "[%s] %3d%%  %llu/%llu B  %.1f KiB/s  %s left ", cells.c_str(),
                  shown, static_cast<unsigned long long>(done),
                  static_cast<unsigned long long>(totalBytes), rate / 1024, left);
    return line;
}

namespace {

// A dry run's outcome as the one JSON object of --json (port null, nothing written).
int DryRunJson(const char* imagePath, ResultCode result, const std::string& line) {
    PortOutcome outcome;
    outcome.result = ExitStatusFor(result, false);
    outcome.message = result == kResultOk ? line : ResultMessage(result);
    outcome.detail = result == kResultOk ? "" : lastMessage;
    outcome.image = imagePath;
    if (!FileSizeAndCrc32(imagePath, &outcome.imageSize, &outcome.imageCrc32)) {
        outcome.imageSize = -1;
    }
    std::printf("%s\n", OutcomeJson(outcome, nullptr).c_str());
    return outcome.result;
}

void PrintHelp() {
    std::fputs(kUsage, stdout);
    std::fputs(kHelp, stdout);
    const std::string formats = std::string(FormatList()) + ".";
    const size_t cut = formats.size() > 80 ? formats.rfind(", ", 80) : std::string::npos;
    std::printf("%s\n",
                cut == std::string::npos
                    ? formats.c_str()
                    : (formats.substr(0, cut + 1) + "\n" + formats.substr(cut + 2)).c_str());
    std::fputs(kHelpOptions, stdout);
    std::printf("  --baud N         %s\n"
                "                   (%u is the default)\n",
                RateList().c_str(), static_cast<unsigned>(kDefaultBaudRate));
    std::fputs(kHelpAfterRates, stdout);
}

int Run(int argc, char** argv) {
    CliOptions options;
    std::string error;
    if (ParseCliArgs(argc, argv, &options, &error) != 0) {
        return UsageError("zuva-flash", error.c_str(), kUsageLine);
    }
    if (options.help) {
        PrintHelp();
        return 0;
    }
    if (options.version) {
        std::printf("zuva-flash %s\n", ZUVA_VERSION);
        return 0;
    }
    if (options.listPorts) {
        return ListPorts(options.json);
    }
    // Every file a run writes, checked before any port is opened.
    for (auto [option, path] : WrittenFiles(options)) {
        if (path != nullptr && !(error = OutputOnInput(options, option, path)).empty()) {
            return UsageError("zuva-flash", error.c_str(), kUsageLine);
        }
    }
    InstallInterruptHandler();
    if (StdoutGone()) {
        std::fprintf(stderr, "zuva-flash: stdout is closed; nobody would see the result\n");
        return kExitOutputLost;
    }
    if (!options.member && !options.dryRun && IsGangRun(options)) {
        return RunGang(options, argc, argv);
    }
    memberOfGang = options.member;
    if (memberOfGang) {
        WatchParentStop();
    }
    quiet = options.quiet;
    SetStatusCallback(OnStatus);
    if (options.verbose) {
        SetStepObserver(OnStep);
    }
    const char* imagePath = options.embedded != nullptr ? options.embedded
                            : options.read != nullptr   ? options.read
                                                        : options.image;
    ResultCode checked = options.read != nullptr ? CheckReadFile(options.read)
                         : options.erase         ? kResultOk
                                         : CheckImageFile(imagePath, options.embedded != nullptr);
    if (checked == kResultOk && options.embedded != nullptr) {
        checked = LoadUpdater(imagePath);
    }
    if (options.dryRun) {
        std::string line;
        ResultCode result =
            checked != kResultOk ? checked : DryRun(imagePath, options.run.rawBase, &line);
        return options.json ? DryRunJson(imagePath, result, line) : Finish(result, line.c_str());
    }
    if (checked == kResultOk && options.read != nullptr &&
        OutputFormatForPath(options.read) == ImageFormat::None) {
        const std::string reason = std::string("--read ") + options.read +
                                   ": name the file .bin (raw), .hex (Intel HEX) or .srec "
                                   "(S-records)";
        return UsageError("zuva-flash", reason.c_str(), kUsageLine);
    }
    if (checked == kResultOk && options.read == nullptr && !options.erase) {
        checked = CheckPlan(imagePath, options.run);
    }
    if (checked == kResultOk && options.serialFile != nullptr) {
        checked = CheckSerialSetup(options, imagePath);
    }
    if (checked != kResultOk) {
        return Finish(checked);
    }
    std::string portPath;
    if (ChoosePort(options.port, &portPath) != 0) {
        return kExitUsage;
    }
    // Step lines and a bar redrawn in place would cut through each other.
    bar.enabled = StderrIsTerminal() && !quiet && !options.verbose;
    board = {&options, imagePath, portPath};
    bool endLine = false;
    if (!options.loop) {
        int status = RunBoard(&endLine);
        return endLine ? Finish(kResultCantOpenFile) : status;
    }
    LoopSetup setup;
    setup.portPath = portPath;
    setup.line = options.run.line;
    setup.count = options.count;
    setup.boot = options.run.boot;
    const int status = RunBoardLoop(setup, RunBoard);
    if (status != 0) {
        std::printf("%s\n", ResultMessage(static_cast<ResultCode>(status) << 16));
    }
    return status;
}

} // namespace

int RunCli(int argc, char** argv) {
    PrepareStandardStreams();
    UseNetworkPorts(); // rfc2217:// and socket:// ports, for the command line only
    std::vector<std::string> arguments = Utf8Arguments(argc, argv);
    int status = Run(argc, ArgumentPointers(arguments).data());
    // The result line, and help, version or the port list: unread output is a failure.
    if (FinishStdout("zuva-flash") != 0) {
        if (resultLine != nullptr) {
            std::fprintf(stderr, "zuva-flash: the result was: %s\n", resultLine);
        }
        return status == 0 ? kExitOutputLost : status;
    }
    return status;
}
