// What the command-line tools (zuva-flash, zuva-pack, zuva-devsim) need of the process
// around them, one file per platform: arguments and file names in UTF-8, standard
// streams that cannot be mistaken for files, and a check that stdout took the output.
#pragma once
#include <cstdio>
#include <functional>
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

// The options of every tool, read by one set of rules. A word that starts with "-" (not
// "-" alone) before "--" is an option; every other word is an operand, so a file whose
// name starts with "-" is given as ./-name or after "--". A value comes as "--name VALUE"
// or "--name=VALUE"; as a word of its own it must not start with "-": that is the next
// option, and the value is missing (a value that starts with "-" is given with "=").
// An option that takes a value is given once, unless it is Repeated; a flag may be
// repeated. Each breach is a usage error that names the option.
enum class OptionArity { Flag, Once, Repeated };

// Takes an option's value (nullptr for a flag); false with the reason in *error when the
// value is refused.
using OptionTaker = std::function<bool(const char* value, std::string* error)>;

struct OptionRule {
    const char* name;  // "--port"
    const char* alias; // "-q", or nullptr
    OptionArity arity;
    OptionTaker take;
    bool emptyValue = false; // "" is a value (a description); elsewhere it is missing
    bool hidden = false;     // not offered as the nearest option (internal ones)
};

// One table line for the usual kinds: a flag that sets *target to value; a text taken once
// or repeated; a value that take checks and stores.
OptionRule FlagOption(const char* name, bool* target, bool value = true);
OptionRule FlagOption(const char* name, const char* alias, bool* target);
OptionRule TextOption(const char* name, const char** target);
OptionRule TextsOption(const char* name, std::vector<const char*>* target);
OptionRule ValueOption(const char* name, OptionTaker take);

// Reads argv[1..] by rules: options are taken in order through their rules, operands
// appended to *operands. 0, or 1 with the reason in *error (an unknown option with the
// nearest name, a missing value, a value given to a flag, an option given twice, or what
// a rule's take refused).
int ParseOptions(int argc, char** argv, const std::vector<OptionRule>& rules,
                 std::vector<const char*>* operands, std::string* error);

// Whether a and b (UTF-8) name one existing file: the same device and inode (volume and
// file index on Windows), through hard or symbolic links too.
bool SameFile(const char* a, const char* b);

// "" when output (given as outputOption, e.g. "--log") is not the file of input (given as
// inputName, e.g. "--image" or "the image"), or either is null; else why it is refused:
// writing the output would damage what the run reads.
std::string OutputIsInput(const char* outputOption, const char* output, const char* inputName,
                          const char* input);

// "" when two files a run writes (given to optionA and optionB) are different files; else
// why they are refused: the later writer would spoil what the earlier one wrote. Also
// files that do not exist yet: the same name in the same folder.
std::string OutputIsOutput(const char* optionA, const char* a, const char* optionB, const char* b);

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
