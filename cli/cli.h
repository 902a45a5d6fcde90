// zuva-flash: the command line around ProgramDevice. main() only calls RunCli; the small
// pieces below are free functions so that tests can reach them.
//
//   zuva-flash [--port PORT] IMAGE            program a .bin/.BIN/.exe/.EXE or .hex/.HEX file
//   zuva-flash [--port PORT] --embedded UPD   program the image that an updater carries
//   zuva-flash --dry-run [--json] IMAGE       check the image; no port is opened
//   zuva-flash [--port PORT] --read FILE      the chip's FLASH into FILE (.bin, .hex, .srec)
//   zuva-flash [--port PORT] --erase          lift protection and erase; write nothing
//   zuva-flash --list-ports | --help | --version
//
// Output: the progress bar on stderr when it is a terminal; the result text as the last
// line of stdout in every mode (a dry run's is "Image OK: ..."; with --json, the last
// line is the JSON object that holds it) ("Interrupted" after Ctrl-C, whose run's own result would
// mislead). An updater's description ("Image: ...") is printed with control characters as \xNN.
// SIGTERM and SIGHUP stop a run as Ctrl-C does: port closed and released, "Interrupted".
// The result must reach someone: stdout that cannot be written when the run would start
// (closed, a pipe without reader) ends it before the port is opened; stdout that goes away
// during the run (a closed pipe; SIGPIPE is ignored), or refuses the "Image:" line, stops
// it as Ctrl-C does, so that the device is not left protected with nobody told: a message
// on stderr, status 74. A result
// line that cannot be written after the run (a full disk, /dev/full) is repeated on stderr
// with status 74 unless the status already tells a failure.
// Several ports (--port repeated, --all-ports) or --json/--log make a gang run, one process
// per port (cli/gang.h): live lines on stderr, then a table (port, chip, result, time) and
// the result line of the status on stdout (a single port: its result line alone), or with
// --json only one JSON object per port. Its status: 0 when every device
// finished OK, else that of the first port in the order given that did not; 130 after
// Ctrl-C. A log that cannot be written is a lost result too: status 74 (unless a run
// failed), told on stderr.
// Exit status: the result class (code >> 16: 0 success, 1, 2, 3, 4, 8, 9, 10, 11),
// 64 for a usage error, 74 when stdout failed, 130 when Ctrl-C, SIGTERM or SIGHUP stopped
// a run.
#pragma once
#include "console/console.h"
#include "engine/program.h"

#include <cstdint>
#include <string>
#include <vector>

constexpr int kExitOutputLost = 74;
constexpr int kExitInterrupted = 130;

struct CliOptions {
    const char* port = nullptr;     // --port; nullptr: the one port found, if only one
    std::vector<const char*> ports; // every --port in the order given (port is the first)
    bool allPorts = false;          // --all-ports: every port found, one process each
    bool json = false;              // --json: one JSON object per port on stdout
    const char* log = nullptr;      // --log FILE: the same objects appended, with a time
    bool member = false;            // --member: one port of a gang run (cli/gang.h)
    const char* image = nullptr;    // the image file
    const char* embedded = nullptr; // --embedded: an updater made by zuva-pack
    bool listPorts = false;
    bool help = false;
    bool version = false;
    bool dryRun = false;           // check the image and print its plan; no port is opened
    bool quiet = false;            // -q: stdout gets the result line only; stderr only failures
    bool verbose = false;          // -v: each protocol step with its time on stderr
    RunOptions run;                // --verify, --no-protect, --go, --baud, --boot, --page-erase
    const char* read = nullptr;    // --read FILE: the chip's FLASH into FILE
    bool erase = false;            // --erase without an image: unlock and blank the chip
    const char* address = nullptr; // --address: a raw image's place, or where a read starts
    const char* length = nullptr;  // --length: the bytes a read takes
    uint32_t readAddress = 0;      // --address as a number (the FLASH base without it)
    uint32_t readLength = 0;       // --length as a number; 0: to the end of FLASH
    bool baudGiven = false;        // --baud, even at the default rate (socket:// takes none)
    bool loop = false;             // --loop: board after board on each port (cli/loop.h)
    uint32_t count = 0;            // --count N: boards per port before the loop ends
    bool countGiven = false;
    const char* serialFile = nullptr; // --serial FILE: the next serial number (cli/counter.h)
    bool serialAtGiven = false;       // --serial-at ADDR, in run.serialAddress
};

// "boot0=rts,reset=!dtr": which modem line drives which pin, "!" for a pin that is high
// while its line is cleared. 0, or 1 with the reason in *error.
int ParseBootSpec(const char* spec, BootWiring* wiring, std::string* error);

// 0 when the arguments make sense; 1 on a usage error, with a short reason in *error.
int ParseCliArgs(int argc, char** argv, CliOptions* options, std::string* error);

// "" when path, a file the run writes (given to option: --log), is none of the files the
// run reads or the ports it opens, by any name or link; else why it is refused. Looked at
// before any port is opened.
std::string OutputOnInput(const CliOptions& options, const char* option, const char* path);

// "COM7", "com7" and "\\.\COM7" all become "\\.\COM7", the name that reaches ports 10 and
// up on Windows (and that the POSIX link maps to a device node); other paths unchanged.
std::string PortPathForName(const char* name);

// One port of --list-ports --json: one line of JSON (no newline).
struct PortEntry;
std::string PortEntryJson(const PortEntry& entry);

// The result class; 130 when the user interrupted a run that then did not succeed (a run
// that finished before the interrupt was noticed did program the device).
int ExitStatusFor(ResultCode result, bool interrupted);

// One progress line, e.g. "[#####.....]  45%  29440/65536 B  2.9 KiB/s  0:13 left".
// percent is the run's figure (1 upward; 101 and above mean done); elapsedSeconds counts
// from the first report.
std::string FormatProgressLine(int percent, uint64_t totalBytes, double elapsedSeconds);

// "low-density", "medium-density" or "high-density" for an accepted product ID.
const char* DensityName(uint16_t productId);

// The whole program; on Windows the arguments are taken from the wide command line, as
// UTF-8, whatever argv holds.
int RunCli(int argc, char** argv);
