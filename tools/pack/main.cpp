// zuva-pack: command-line front end of the pack module.
#include "tools/pack/pack.h"

#include "console/console.h"
#include "image/description.h"
#include "image/format.h"
#include "version.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

namespace {

// What a usage error shows; --help shows kUsage and kHelp.
const char kUsageLine[] =
    "usage: zuva-pack --exe EXE --image FIRMWARE --description TEXT --output UPDATER.exe";

const char kUsage[] =
    "usage: zuva-pack [--force] --exe ZuvaFlash.exe --image FIRMWARE --description TEXT\n"
    "                 --output UPDATER.exe\n"
    "       zuva-pack --info UPDATER.exe\n"
    "       zuva-pack [--force] --extract UPDATER.exe --output IMAGE.bin\n"
    "       zuva-pack --help | --version\n";

const char kHelp[] =
    "\n"
    "Makes a one-release updater: appends the firmware image, scrambled, its description\n"
    "and a trailer to the programmer's executable. FIRMWARE is read as zuva-flash reads\n"
    "it, by its extension (listed below): a raw image goes from 0x08000000, the others are\n"
    "flattened from 0x08000000 with gaps filled with 0xFF. The image is padded with 0xFF to\n"
    "a multiple of 256 bytes. TEXT is one line of at most 242 bytes. The executable must be a "
    "plain\n"
    "ZuvaFlash.exe: one that already carries an image is refused. A signed one loses its\n"
    "signature (appending would break it): sign the updater after packing.\n"
    "--info shows an updater's description, image offset and length; --extract writes its\n"
    "plain (descrambled, padded) image.\n"
    "\n"
    "TEXT is taken as UTF-8 and stored in Windows-1252, the code page the window shows it\n"
    "in; characters that code page lacks are refused. --info shows control characters of a\n"
    "description as \\xNN.\n"
    "--output must not be an input (the same file, links included: nothing is written),\n"
    "and must be a new name, or with --force a regular file: a directory, device, FIFO\n"
    "or socket (or a link to one) is refused and left as it is; a replaced file keeps its\n"
    "mode. Options take their value as --name VALUE or --name=VALUE.\n"
    "\n"
    "Exit codes: 0 success, 2 input refused (bad description, empty or oversized image,\n"
    "damaged image file, data outside FLASH, executable already packed, file without an image,\n"
    "output that exists without --force, output that is one of the inputs), 3 a file could not be "
    "read or written, or stdout\n"
    "could not be written, 64 bad command line.\n";

struct Options {
    const char* exe = nullptr;
    const char* image = nullptr;
    const char* description = nullptr;
    const char* output = nullptr;
    const char* info = nullptr;
    const char* extract = nullptr;
    bool help = false;
    bool version = false;
    bool force = false;
};

// One option that takes a value, as "--name VALUE" or "--name=VALUE" (an empty one is a
// value: the description may be empty). 1 when argv[*i] is that option (value stored, *i
// advanced past it), 0 when it is not, -1 when the value is missing.
int OptionValue(int argc, char** argv, int* i, const char* name, const char** value) {
    size_t length = strlen(name);
    if (strncmp(argv[*i], name, length) != 0) {
        return 0;
    }
    if (argv[*i][length] == '=') {
        *value = argv[*i] + length + 1;
        return 1;
    }
    if (argv[*i][length] != '\0') {
        return 0;
    }
    if (*i + 1 >= argc) {
        return -1;
    }
    *value = argv[++*i];
    return 1;
}

// The flags that take no value; false when arg is none of them.
bool ParseFlag(const char* arg, Options* options) {
    for (auto [name, flag] :
         {std::pair{"--help", &options->help}, std::pair{"-h", &options->help},
          std::pair{"--version", &options->version}, std::pair{"--force", &options->force}}) {
        if (strcmp(arg, name) == 0) {
            *flag = true;
            return true;
        }
    }
    return false;
}

// Fills options from argv; false on an unknown option or a missing value, with the reason.
bool ParseOptions(int argc, char** argv, Options* options, std::string* error) {
    const struct {
        const char* name;
        const char** value;
    } table[] = {
        {"--exe", &options->exe},
        {"--image", &options->image},
        {"--description", &options->description},
        {"--output", &options->output},
        {"--info", &options->info},
        {"--extract", &options->extract},
    };
    for (int i = 1; i < argc; ++i) {
        if (ParseFlag(argv[i], options)) {
            continue;
        }
        bool known = false;
        for (const auto& entry : table) {
            int taken = OptionValue(argc, argv, &i, entry.name, entry.value);
            if (taken < 0) {
                *error = std::string(entry.name) + " needs a value";
                return false;
            }
            if (taken > 0) {
                known = true;
                break;
            }
        }
        if (!known && argv[i][0] == '-') {
            std::vector<const char*> names = {"--help", "--version", "--force"};
            for (const auto& entry : table) {
                names.push_back(entry.name);
            }
            *error = std::string("unknown option ") + argv[i] + NearestOptionHint(argv[i], names);
            return false;
        }
        if (!known) {
            *error = std::string("unexpected argument ") + argv[i];
            return false;
        }
    }
    return true;
}

// PackOk when output may be written: not one of the inputs, and a new name or any name
// with --force.
PackResult CheckOutput(const char* output, bool force, const Options& o) {
    std::string message;
    for (auto [option, input] : {std::pair{"--exe", o.exe}, std::pair{"--image", o.image},
                                 std::pair{"--extract", o.extract}}) {
        if (CheckOutputIsNotInput(output, option, input, &message) != PackOk) {
            fprintf(stderr, "zuva-pack: %s\n", message.c_str());
            return PackRefused;
        }
    }
    if (!force && OutputExists(output)) {
        fprintf(stderr, "zuva-pack: %s exists; --force replaces it\n", output);
        return PackRefused;
    }
    return PackOk;
}

int Report(PackResult result, const std::string& message) {
    if (result != PackOk) {
        fprintf(stderr, "zuva-pack: %s\n", message.c_str());
    }
    return result;
}

int ShowInfo(const char* path) {
    UpdaterInfo info;
    std::string message;
    const PackResult result = ReadUpdaterInfo(path, &info, &message);
    if (result == PackOk) {
        printf("description: %s\n", DescriptionForTerminal(info.description.c_str()).c_str());
        printf("image offset: 0x%X (%u)\n", info.imageOffset, info.imageOffset);
        printf("image length: 0x%X (%u)\n", info.imageLength, info.imageLength);
    }
    return Report(result, message);
}

int Extract(const Options& o) {
    const char* path = o.extract;
    const char* output = o.output;
    if (PackResult checked = CheckOutput(output, o.force, o); checked != PackOk) {
        return checked;
    }
    Bytes image;
    std::string message;
    PackResult result = ExtractImage(path, &image, &message);
    if (result == PackOk) {
        result = WriteFileAtomically(output, image, &message);
    }
    if (result == PackOk) {
        printf("wrote %s (%zu bytes)\n", output, image.size());
    }
    return Report(result, message);
}

int Pack(const Options& o) {
    if (PackResult checked = CheckOutput(o.output, o.force, o); checked != PackOk) {
        return checked;
    }
    std::string message;
    bool signatureRemoved = false;
    const PackResult result =
        PackUpdater(o.exe, o.image, o.description, o.output, &message, &signatureRemoved);
    if (result == PackOk && signatureRemoved) {
        fprintf(stderr,
                "zuva-pack: %s was signed; its signature was removed, since packing changes "
                "the file. Sign %s after packing.\n",
                o.exe, o.output);
    }
    if (result == PackOk) {
        UpdaterInfo info;
        ReadUpdaterInfo(o.output, &info, nullptr);
        printf("wrote %s: image of %u bytes at offset 0x%X\n", o.output, info.imageLength,
               info.imageOffset);
    }
    return Report(result, message);
}

int Run(int argc, char** argv) {
    Options o;
    std::string error;
    if (!ParseOptions(argc, argv, &o, &error)) {
        return UsageError("zuva-pack", error.c_str(), kUsageLine);
    }
    if (o.help) {
        fputs(kUsage, stdout);
        fputs(kHelp, stdout);
        printf("\nImage formats, by extension (all lower or all upper case):\n%s.\n", FormatList());
        return PackOk;
    }
    if (o.version) {
        printf("zuva-pack %s\n", ZUVA_VERSION);
        return PackOk;
    }
    if (o.info != nullptr && !o.exe && !o.image && !o.extract && !o.output) {
        return ShowInfo(o.info);
    }
    if (o.extract != nullptr && o.output != nullptr && !o.exe && !o.image && !o.info) {
        return Extract(o);
    }
    if (o.exe && o.image && o.description && o.output && !o.info && !o.extract) {
        return Pack(o);
    }
    return UsageError("zuva-pack",
                      "these options make none of the commands (pack, --info, --extract)",
                      kUsageLine);
}

} // namespace

int main(int argc, char** argv) {
    PrepareStandardStreams();
    std::vector<std::string> arguments = Utf8Arguments(argc, argv);
    const int result = Run(argc, ArgumentPointers(arguments).data());
    // A result nobody received is a failure, whatever the work itself came to.
    if (FinishStdout("zuva-pack") != 0 && result == PackOk) {
        return PackIoError;
    }
    return result;
}
