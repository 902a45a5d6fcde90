// What the command-line tools (zuva-flash, zuva-pack, zuva-devsim) need of the process
// around them, one file per platform: arguments and file names in UTF-8, standard
// streams that cannot be mistaken for files, and a check that stdout took the output.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

// The exit status of a usage error in every tool (EX_USAGE of sysexits.h).
constexpr int kExitUsage = 64;

// A usage error, told alike by every tool in two lines on stderr: "TOOL: REASON", then
// usageLine (one line, no newline) with a pointer to --help. Returns kExitUsage.
inline int UsageError(const char* tool, const char* reason, const char* usageLine) {
    std::fprintf(stderr, "%s: %s\n%s (--help tells more)\n", tool, reason, usageLine);
    return kExitUsage;
}

// " (did you mean --port?)" for an unknown option close to one of names (its part before
// any "=", at most a third of its letters mistyped, or a prefix of exactly one name); ""
// when none is close. Shown after "unknown option ..." so that a typo costs no trip to --help.
std::string NearestOptionHint(const char* unknown, const std::vector<const char*>& names);

// The arguments as UTF-8. Windows hands main() the ANSI code page, which turns a name such
// as "fw 日本.bin" into "fw ??.bin"; there the wide command line is converted instead.
// Elsewhere argv as it is.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// argv-style pointers into arguments (which must outlive them), ending with nullptr.
inline std::vector<char*> ArgumentPointers(std::vector<std::string>& arguments) {
    std::vector<char*> pointers;
    for (std::string& argument : arguments) {
        pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// POSIX: a standard descriptor (0, 1, 2) that the caller left closed gets /dev/null,
// opened read-only, so that no file or port opened later lands on it and a write meant for
// stdout still fails instead of going into that file. Windows: the tools print UTF-8, so a
// console's output code page is UTF-8 until the process exits (then restored).
void PrepareStandardStreams();

// Flushes stdout and reports whether everything written to it since the start arrived.
// 0 when it did; otherwise 1 after a message on stderr ("TOOL: cannot write to stdout:
// REASON"), which is left out when the reader has gone (a closed pipe: its reader chose
// to stop reading, and says nothing either).
int FinishStdout(const char* tool);
