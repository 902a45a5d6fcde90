// zuva-pack: command-line front end of the pack module.
#include "tools/pack/pack.h"

#include "cli/console.h"
#include "image/description.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char kUsage[] =
    "Usage:\n"
    "  zuva-pack --exe ZuvaFlash.exe --image FIRMWARE --description TEXT --output UPDATER.exe\n"
    "  zuva-pack --info UPDATER.exe\n"
    "  zuva-pack --extract UPDATER.exe --output IMAGE.bin\n"
    "  zuva-pack --help\n"
    "\n"
    "Makes a one-release updater: appends the firmware image, scrambled, its description\n"
    "and a trailer to the programmer's executable. FIRMWARE is a raw image (.bin or any\n"
    "other extension), written from 0x08000000, or an Intel HEX file (.hex), flattened from\n"
    "0x08000000 with gaps filled with 0xFF. The image is padded with 0xFF to a multiple of\n"
    "256 bytes. TEXT is one line of at most 242 bytes. The executable must be a plain\n"
    "ZuvaFlash.exe: one that already carries an image is refused.\n"
    "--info shows an updater's description, image offset and length; --extract writes its\n"
    "plain (descrambled, padded) image.\n"
    "\n"
    "TEXT is taken as UTF-8 and stored in Windows-1252, the code page the window shows it\n"
    "in; characters that code page lacks are refused. --info shows control characters of a\n"
    "description as \\xNN.\n"
    "--output must be a regular file or a new name: a directory, device, FIFO or socket\n"
    "(or a link to one) is refused and left as it is; an existing file keeps its mode.\n"
    "\n"
    "Exit codes: 0 success, 1 bad command line, 2 input refused (bad description, empty\n"
    "or oversized image, damaged HEX, data outside FLASH, executable already packed, file\n"
    "without an image), 3 a file could not be read or written, or stdout could not be\n"
    "written.\n";

struct Options {
    const char* exe = nullptr;
    const char* image = nullptr;
    const char* description = nullptr;
    const char* output = nullptr;
    const char* info = nullptr;
    const char* extract = nullptr;
    bool help = false;
};

// Fills options from argv; false on an unknown option or a missing value.
bool ParseOptions(int argc, char** argv, Options* options) {
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
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            options->help = true;
            continue;
        }
        bool known = false;
        for (const auto& entry : table) {
            if (strcmp(argv[i], entry.name) == 0 && i + 1 < argc) {
                *entry.value = argv[++i];
                known = true;
                break;
            }
        }
        if (!known) {
            fprintf(stderr, "zuva-pack: unknown option or missing value: %s\n", argv[i]);
            return false;
        }
    }
    return true;
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

int Extract(const char* path, const char* output) {
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
    std::string message;
    const PackResult result = PackUpdater(o.exe, o.image, o.description, o.output, &message);
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
    if (!ParseOptions(argc, argv, &o)) {
        fputs(kUsage, stderr);
        return PackUsage;
    }
    if (o.help) {
        fputs(kUsage, stdout);
        return PackOk;
    }
    if (o.info != nullptr && !o.exe && !o.image && !o.extract && !o.output) {
        return ShowInfo(o.info);
    }
    if (o.extract != nullptr && o.output != nullptr && !o.exe && !o.image && !o.info) {
        return Extract(o.extract, o.output);
    }
    if (o.exe && o.image && o.description && o.output && !o.info && !o.extract) {
        return Pack(o);
    }
    fputs(kUsage, stderr);
    return PackUsage;
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
