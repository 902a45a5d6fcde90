// zuva-devsim: a virtual STM32F10x system-memory bootloader on a pseudo-terminal.
// Reads the options into a device configuration, serves the model on a pty, and on exit
// dumps FLASH and prints a one-line summary.
#include "console/console.h"
#include "tools/devsim/device_model.h"
#include "tools/devsim/devsim_pty.h"
#include "version.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>

namespace {

// What a usage error shows; --help shows kUsage and kHelp.
const char kUsageLine[] = "usage: zuva-devsim [OPTION]...";

const char kUsage[] = "usage: zuva-devsim [OPTION]...\n"
                      "       zuva-devsim --help | --version\n";

const char kHelp[] =
    "\n"
    "A virtual STM32F10x USART bootloader (AN3155) on a pseudo-terminal.\n"
    "Prints the slave's path as the first line on stdout, serves until SIGINT or SIGTERM,\n"
    "then prints a one-line summary on stdout. Terminal settings are left to the client,\n"
    "which must put the port in raw mode as it would a real one.\n"
    "\n"
    "Device:\n"
    "  --density NAME             product ID, FLASH size and page size (the largest part):\n"
    "                             low 0x412, 32 KiB, 1 KiB pages; medium 0x410, 128 KiB,\n"
    "                             1 KiB pages (default); high 0x414, 512 KiB, 2 KiB pages;\n"
    "                             connectivity 0x418, 256 KiB, 2 KiB pages; value 0x420,\n"
    "                             128 KiB, 1 KiB pages; value-high 0x428, 512 KiB, 2 KiB\n"
    "                             pages; xl 0x430, 1 MiB, 2 KiB pages\n"
    "  --pid 0xNNN                report this product ID instead (e.g. a wrong one)\n"
    "  --flash-size SIZE          FLASH size in bytes, or with K (64K); whole pages\n"
    "  --flash-in FILE            old FLASH contents from the FLASH base; the rest is erased\n"
    "                             (with --dump, a test sees what a run kept)\n"
    "  --uid HEX                  the 96-bit unique ID, 24 hex digits (default: made from\n"
    "                             the product ID and FLASH size, the same every run); the\n"
    "                             FLASH size register always holds the FLASH size\n"
    "  --readout-protected        start read-out protected\n"
    "  --write-protected SECTORS  start with these 4 KiB sectors write-protected: a list\n"
    "                             with ranges (0-15,31), a mask (0xFFFF) or 'all'\n"
    "  --unaligned drop|nack|accept\n"
    "                             a FLASH write whose address or length is not a multiple\n"
    "                             of 4: drop (default) acknowledges it and programs only\n"
    "                             whole words from an aligned start (nothing from an\n"
    "                             unaligned one), the worst case the vendor's notes and\n"
    "                             field reports allow for real F1 parts; nack refuses it;\n"
    "                             accept programs every byte. Writes into write-protected\n"
    "                             sectors are acknowledged and not programmed, and a\n"
    "                             half-word that is not erased cannot be programmed\n"
    "  --erase-protected-nack     refuse Erase when it touches a write-protected page\n"
    "                             (default: such pages are silently kept)\n"
    "  --timing                   real time: bytes paced at the rate the client sets on the\n"
    "                             pty, 11 bits each (95.5 us at 115200 8E1),\n"
    "                             52.5 us a half-word, 30 ms an erase, 1.2 ms start-up\n"
    "                             after a reset, 0.16 ms from 0x7F to its ACK; without it\n"
    "                             every answer is immediate\n"
    "\n"
    "Faults (repeatable; CMD is sync, get, get-version, get-id, read, go, write, erase,\n"
    "write-protect, write-unprotect, readout-protect, readout-unprotect or a code):\n"
    "  --nack CMD[@N][:A]         answer NACK at the N-th CMD (every time without @N), in\n"
    "                             place of its A-th answer (default 1; Write Memory: 2 =\n"
    "                             address, 3 = data; others: 2 = done/data); the command\n"
    "                             is dropped\n"
    "  --silent CMD[@N][:A]       the same, answering nothing\n"
    "  --die-after-bytes N        the link dies with the N-th host byte: the pty closes\n"
    "  --die-in-block N           the link dies halfway through the data of the N-th\n"
    "                             Write Memory\n"
    "  --drop-write N             acknowledge the N-th Write Memory and program nothing,\n"
    "                             as a chip that drops a write\n"
    "\n"
    "Server:\n"
    "  --link PATH                also make PATH a symlink to the slave (removed at exit)\n"
    "  --once                     exit when the first client closes the port\n"
    "  --reset-on-close           reset the device (not FLASH or options) each time the\n"
    "                             last client closes the port, like a board whose reset\n"
    "                             follows DTR; without it the device stays as the client\n"
    "                             left it (synchronised, mid-command), as a real one does\n"
    "  --dump FILE                write FLASH to FILE at exit\n"
    "  --transcript FILE          log every frame both ways with timestamps, one per line\n"
    "  --help                     this text\n"
    "  --version                  the version\n"
    "\n"
    "Options take their value as --name VALUE or --name=VALUE.\n"
    "Output files are opened at start; a write that fails (the transcript, the dump, stdout)\n"
    "is reported at once and ends the server.\n"
    "\n"
    "Exit status: 0 after a signal or --once, 3 when the link died (fault), 1 when the\n"
    "pty or a file could not be set up or written, 64 for bad options.\n";

struct Options {
    DevConfig config;
    ServeOptions serve;
    const char* dumpPath = nullptr;
    const char* transcriptPath = nullptr;
    const char* flashInPath = nullptr;
    FILE* dumpFile = nullptr; // opened at start
};

int Bad(const char* option, const char* value) {
    std::string reason = std::string("bad value for ") + option + ": '" + value + "'";
    return UsageError("zuva-devsim", reason.c_str(), kUsageLine);
}

bool ParseNumber(const char* text, unsigned long long max, unsigned long long* value) {
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text, &end, 0);
    if (end == text || *end != '\0' || errno != 0 || v > max) {
        return false;
    }
    *value = v;
    return true;
}

bool ParseSize(const char* text, uint32_t* size) {
    std::string s = text;
    unsigned long long scale = 1;
    if (!s.empty() && (s.back() == 'K' || s.back() == 'k')) {
        scale = 1024;
        s.pop_back();
    }
    unsigned long long v = 0;
    if (!ParseNumber(s.c_str(), 16u * 1024 * 1024, &v) || v == 0) {
        return false;
    }
    *size = uint32_t(v * scale);
    return true;
}

// "0-15,31", "0xFFFF" or "all".
bool ParseSectors(const char* text, uint32_t* mask) {
    if (std::strcmp(text, "all") == 0) {
        *mask = 0xFFFFFFFF;
        return true;
    }
    unsigned long long v = 0;
    if (std::strncmp(text, "0x", 2) == 0) {
        if (!ParseNumber(text, 0xFFFFFFFF, &v)) {
            return false;
        }
        *mask = uint32_t(v);
        return true;
    }
    uint32_t m = 0;
    std::string list = text;
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        std::string item = list.substr(start, comma - start);
        size_t dash = item.find('-');
        unsigned long long lo = 0, hi = 0;
        if (!ParseNumber(item.substr(0, dash).c_str(), 31, &lo)) {
            return false;
        }
        hi = lo;
        if (dash != std::string::npos &&
            (!ParseNumber(item.substr(dash + 1).c_str(), 31, &hi) || hi < lo)) {
            return false;
        }
        for (unsigned long long b = lo; b <= hi; ++b) {
            m |= 1u << b;
        }
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    *mask = m;
    return true;
}

bool ReadFile(const char* path, std::vector<uint8_t>* bytes) {
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr) {
        return false;
    }
    uint8_t buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        bytes->insert(bytes->end(), buf, buf + n);
    }
    bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

// Writes the dump into the file opened at start, and closes it.
bool WriteDump(FILE* f, const std::vector<uint8_t>& bytes) {
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

// Options that take no value. Returns true when it was one of them.
bool ParseFlag(const std::string& a, Options* o) {
    if (a == "--timing") {
        o->config.timing = true;
    } else if (a == "--readout-protected") {
        o->config.readoutProtected = true;
    } else if (a == "--erase-protected-nack") {
        o->config.eraseProtectedNack = true;
    } else if (a == "--once") {
        o->serve.once = true;
    } else if (a == "--reset-on-close") {
        o->serve.resetOnClose = true;
    } else {
        return false;
    }
    return true;
}

// Options with a value. 0, 2 for a bad value, or -1 when the option is unknown.
int ParseValue(const std::string& a, const char* v, Options* o) {
    unsigned long long n = 0;
    DevConfig& c = o->config;
    if (a == "--density") {
        return DevParseDensity(v, &c.density) == 0 ? 0 : Bad("--density", v);
    }
    if (a == "--uid") {
        return DevParseUid(v, &c.uid) == 0 ? 0 : Bad("--uid", v);
    }
    if (a == "--unaligned") {
        return DevParseUnaligned(v, &c.unaligned) == 0 ? 0 : Bad("--unaligned", v);
    }
    if (a == "--pid") {
        if (!ParseNumber(v, 0xFFFF, &n) || n == 0) {
            return Bad("--pid", v);
        }
        c.productId = uint16_t(n);
    } else if (a == "--flash-size") {
        return ParseSize(v, &c.flashSize) ? 0 : Bad("--flash-size", v);
    } else if (a == "--write-protected") {
        return ParseSectors(v, &c.writeProtected) ? 0 : Bad("--write-protected", v);
    } else if (a == "--nack" || a == "--silent") {
        DevFault f;
        DevFaultKind kind = a == "--nack" ? DevFaultKind::Nack : DevFaultKind::Silent;
        if (DevParseFault(v, kind, &f) != 0) {
            return Bad(a.c_str(), v);
        }
        c.faults.push_back(f);
    } else if (a == "--die-after-bytes" || a == "--die-in-block") {
        if (!ParseNumber(v, 0xFFFFFFFF, &n) || n == 0) {
            return Bad(a.c_str(), v);
        }
        if (a == "--die-in-block") {
            c.dieInBlock = uint32_t(n);
        } else {
            c.dieAfterBytes = n;
        }
    } else if (a == "--drop-write") {
        if (!ParseNumber(v, 0xFFFFFFFF, &n) || n == 0) {
            return Bad(a.c_str(), v);
        }
        c.dropWrite = uint32_t(n);
    } else if (a == "--flash-in") {
        o->flashInPath = v;
    } else if (a == "--dump") {
        o->dumpPath = v;
    } else if (a == "--transcript") {
        o->transcriptPath = v;
    } else if (a == "--link") {
        o->serve.linkPath = v;
    } else {
        return -1;
    }
    return 0;
}

// Answers --help and --version; false when a is neither.
bool Answer(const std::string& a) {
    if (a == "--help" || a == "-h") {
        std::fputs(kUsage, stdout);
        std::fputs(kHelp, stdout);
        return true;
    }
    if (a == "--version") {
        std::printf("zuva-devsim %s\n", ZUVA_VERSION);
        return true;
    }
    return false;
}

// 0 to run, 1 after --help or --version, kExitUsage for bad options.
int ParseArgs(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (Answer(a)) {
            return 1;
        }
        if (ParseFlag(a, o)) {
            continue;
        }
        // "--name=VALUE" or "--name VALUE"; the value stays in argv, where paths are kept.
        size_t equals = a.find('=');
        bool joined = a.compare(0, 2, "--") == 0 && equals != std::string::npos;
        const char* value = joined ? argv[i] + equals + 1 : i + 1 < argc ? argv[i + 1] : nullptr;
        a = a.substr(0, joined ? equals : std::string::npos);
        int r = value != nullptr ? ParseValue(a, value, o) : -1;
        if (r == -1) {
            std::string reason = "unknown option or missing value: " + a;
            return UsageError("zuva-devsim", reason.c_str(), kUsageLine);
        }
        if (r != 0) {
            return kExitUsage;
        }
        i += joined ? 0 : 1;
    }
    return 0;
}

// Loads the old contents and powers the device on. 0, or the exit status.
int Prepare(Options* o) {
    if (o->flashInPath != nullptr && !ReadFile(o->flashInPath, &o->config.flashImage)) {
        std::fprintf(stderr, "zuva-devsim: cannot read %s\n", o->flashInPath);
        return 1;
    }
    if (DevReset(o->config) != 0) {
        return UsageError(
            "zuva-devsim",
            "FLASH size is not whole pages up to the density's largest, or the --flash-in file "
            "is larger than FLASH",
            kUsageLine);
    }
    // Output files are opened now, so that a path that cannot be written is found before
    // a run, not after it.
    for (auto [path, file] : {std::pair{o->transcriptPath, &o->serve.transcript},
                              std::pair{o->dumpPath, &o->dumpFile}}) {
        if (path != nullptr && (*file = std::fopen(path, "w")) == nullptr) {
            std::fprintf(stderr, "zuva-devsim: cannot write %s: %s\n", path, std::strerror(errno));
            return 1;
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    PrepareStandardStreams();
    Options o;
    int r = ParseArgs(argc, argv, &o);
    if (r != 0) {
        return r == 1 ? 0 : r;
    }
    r = Prepare(&o);
    if (r != 0) {
        return r;
    }
    int served = ServeOnPty(o.serve);
    if (o.serve.transcript != nullptr && std::fclose(o.serve.transcript) != 0 && served == 0) {
        std::fprintf(stderr, "zuva-devsim: cannot write %s\n", o.transcriptPath);
        served = 1;
    }
    if (o.dumpFile != nullptr && !WriteDump(o.dumpFile, DevFlash())) {
        std::fprintf(stderr, "zuva-devsim: cannot write %s\n", o.dumpPath);
        served = 1;
    }
    std::printf("zuva-devsim: %s\n", DevSummary().c_str());
    if (served == 0 && FinishStdout("zuva-devsim") != 0) {
        served = 1;
    }
    return served;
}
