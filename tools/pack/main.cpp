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
    "mode.\n"
    "\n"
    "  --exe FILE          the programmer's executable (ZuvaFlash.exe)\n"
    "  --image FILE        the firmware image\n"
    "  --description TEXT  the line the updater's window shows\n"
    "  --output FILE       where the updater (or, with --extract, the image) goes\n"
    "  --force             replace an existing output file\n"
    "  --info FILE         show an updater's description, image offset and length\n"
    "  --extract FILE      write an updater's plain image to the --output file\n"
    "  -h, --help          this text\n"
    "  -V, --version       the version\n"
    "\n"
    "Options take their value as --name VALUE or --name=VALUE, each once; a value that\n"
    "starts with - is given as --name=VALUE, a file name so as ./-name.\n"
    "\n"
    "Exit status: 0 success; 2 input refused (bad description, empty or oversized image,\n"
    "damaged image file, data outside FLASH, executable already packed, file without an image,\n"
    "output that exists without --force, output that is one of the inputs); 3 a file\n"
    "could not be read or written, or stdout could not take the output; 64 usage error.\n";

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

// Fills options from argv; false on a usage error, with the reason.
bool ParseArgs(int argc, char** argv, Options* o, std::string* error) {
    OptionRule description = TextOption("--description", &o->description);
    description.emptyValue = true; // an updater may carry an empty description
    const std::vector<OptionRule> rules = {
        FlagOption("--help", "-h", &o->help), FlagOption("--version", "-V", &o->version),
        FlagOption("--force", &o->force),     TextOption("--exe", &o->exe),
        TextOption("--image", &o->image),     description,
        TextOption("--output", &o->output),   TextOption("--info", &o->info),
        TextOption("--extract", &o->extract),
    };
    std::vector<const char*> operands;
    if (ParseOptions(argc, argv, rules, &operands, error) != 0) {
        return false;
    }
    if (!operands.empty()) {
        *error = std::string("unexpected argument ") + operands.front();
        return false;
    }
    return true;
}

// What keeps the options from making one command, named; "" when they make one.
std::string CommandProblem(const Options& o) {
    const bool packing = o.exe != nullptr || o.image != nullptr || o.description != nullptr;
    std::string commands;
    for (auto [given, command] :
         {std::pair{packing, "packing (--exe, --image, --description)"},
          std::pair{o.info != nullptr, "--info"}, std::pair{o.extract != nullptr, "--extract"}}) {
        commands += given ? (commands.empty() ? "" : " and ") + std::string(command) : "";
    }
    if (commands.find(" and ") != std::string::npos) {
        return "give one command, not " + commands;
    }
    if (o.info != nullptr) {
        return o.output != nullptr ? "--info takes no --output: it only shows the updater" : "";
    }
    if (o.extract != nullptr) {
        return o.output == nullptr ? "--extract needs --output IMAGE.bin" : "";
    }
    if (!packing) {
        return o.output == nullptr ? "no command given: packing (--exe, --image, --description, "
                                     "--output), --info or --extract"
                                   : "--output needs a command: --extract UPDATER.exe, or "
                                     "packing (--exe, --image, --description)";
    }
    std::string missing;
    for (auto [option, value] :
         {std::pair{"--exe EXE", o.exe}, std::pair{"--image FIRMWARE", o.image},
          std::pair{"--description TEXT", o.description},
          std::pair{"--output UPDATER.exe", o.output}}) {
        if (value == nullptr) {
            missing += (missing.empty() ? "" : ", ") + std::string(option);
        }
    }
    return missing.empty() ? "" : "packing needs " + missing;
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
    if (!ParseArgs(argc, argv, &o, &error)) {
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
    if (error = CommandProblem(o); !error.empty()) {
        return UsageError("zuva-pack", error.c_str(), kUsageLine);
    }
    return o.info != nullptr ? ShowInfo(o.info) : o.extract != nullptr ? Extract(o) : Pack(o);
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
