// Several devices in one call: one child process per port (the engine serves one port per
// process), all at once. The parent starts this program again with --member and one
// --port, reads the child's stdout records and messages, draws a live line per port on a
// terminal, and ends with a table or, with --json, one JSON object per port.
//
// A member's stdout (the pipe to the parent) carries, besides its usual lines ("Image:",
// the result line), the records "@progress KIND PERCENT TOTAL_BYTES" and
// "@report PRODUCT_ID BYTES FLASH_KIB UID" (UID 24 hex digits, or "-" when not read); its
// stderr carries its messages.
#pragma once
#include "cli/cli.h"

#include <cstdint>
#include <string>
#include <vector>

constexpr int kExitCantStart = 71; // a member process could not be started

// True when the options ask for a gang run: more than one --port, --all-ports, --json or
// --log (a single port with --json or --log is a gang of one).
bool IsGangRun(const CliOptions& options);

// The gang run; argv as the program got it (UTF-8). The exit status.
int RunGang(const CliOptions& options, int argc, char** argv);

// A member's arguments: argv[1..] without the options that make the gang, with --member
// and --port PORT in front.
std::vector<std::string> MemberArguments(int argc, char** argv, const std::string& port);

// In a member: the progress record, written when the percentage changes. false when
// stdout did not take it (the parent has gone): the run must stop.
bool MemberProgress(int kind, int percent);

// In a member: what the run found out, before the result line.
void MemberReport(ResultCode result, const RunReport& report);

// What is known of one port's run when it has ended.
struct PortOutcome {
    std::string port;        // "" (JSON null) for a dry run, which has none
    int result = 0;          // the exit status of its run: the class, 130, 74 ...
    std::string message;     // the result line ("Finished OK", "Interrupted" ...)
    std::string detail;      // the run's last message on stderr, without "zuva-flash: "
    std::string description; // an updater's description, "" for a plain image
    uint16_t productId = 0;  // 0: no chip answered with an ID
    uint64_t bytes = 0;      // bytes of the image written
    uint16_t flashKib = 0;   // the chip's FLASH size register; 0: not read (JSON null)
    std::string uid;         // its unique ID in 24 hex digits; "": not read (JSON null)
    double seconds = 0;
    std::string image;       // the file given
    int64_t imageSize = -1;  // -1: the file could not be read
    uint32_t imageCrc32 = 0; // zlib's CRC-32 of the file's bytes
};

// One line of JSON (no newline); time ("2026-12-07T10:42:00Z") first when not null.
std::string OutcomeJson(const PortOutcome& outcome, const char* time);

// The file's size and zlib CRC-32; false when it cannot be read.
bool FileSizeAndCrc32(const char* path, int64_t* size, uint32_t* crc);
