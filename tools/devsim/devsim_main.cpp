// zuva-devsim: a virtual STM32F10x system-memory bootloader on a pseudo-terminal.
// Reads the options into a device configuration, serves the model on a pty, and on exit
// dumps FLASH and prints a one-line summary.
#include "console/console.h"
#include "tools/devsim/device_model.h"
#include "tools/devsim/devsim_fixture.h"
#include "tools/devsim/devsim_pty.h"
#include "version.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
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
    "  --density low|medium|high|connectivity|value|value-high|xl\n"
    "                             product ID, FLASH size and page size (the largest part):\n"
    "                             low 0x412, 32 KiB, 1 KiB pages; medium 0x410, 128 KiB,\n"
    "                             1 KiB pages (default); high 0x414, 512 KiB, 2 KiB pages;\n"
    "                             connectivity 0x418, 256 KiB, 2 KiB pages; value 0x420,\n"
    "                             128 KiB, 1 KiB pages; value-high 0x428, 512 KiB, 2 KiB\n"
    "                             pages; xl 0x430, 1 MiB, 2 KiB pages\n"
    "  --pid 0xNNN                report this product ID instead (e.g. a wrong one)\n"
    "  --flash-size SIZE          FLASH size in bytes, or with K (64K); whole pages\n"
    "  --flash-in FILE            old FLASH contents from the FLASH base; the rest is erased\n"
    "                             (a regular file no larger than FLASH)\n"
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
    "  --extra-ack CMD[@N][:A]    give that answer, then one ACK more that nobody asked\n"
    "                             for (a doubled answer); the command goes on\n"
    "  --die-after-bytes N        the link dies with the N-th host byte: the pty closes\n"
    "  --die-in-block N           the link dies halfway through the data of the N-th\n"
    "                             Write Memory\n"
    "  --drop-write N             acknowledge the N-th Write Memory and program nothing,\n"
    "                             as a chip that drops a write\n"
    "\n"
    "A production line (boards that come and go):\n"
    "  --boards N                 N boards, one after the other, each a fresh chip with a\n"
    "                             unique ID of its own and old contents (--flash-in, or a\n"
    "                             pattern of its own); the first is in at start\n"
    "  --swap-after MS            a board is taken out MS ms after it has been read-out\n"
    "                             protected (default 500); SIGUSR1 takes it out at once\n"
    "  --empty-for MS             the fixture then stays empty MS ms (default 1500) before\n"
    "                             the next board is put in; after the last it stays empty\n"
    "  --fault-board N            the faults above hit board N only (default: every board)\n"
    "  With --boards, --dump FILE writes each board's FLASH to FILE.1, FILE.2 ..., and the\n"
    "  lines before the summary list every board: its unique ID, the CRC-32 of its FLASH\n"
    "  and its protection.\n"
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
    "  -h, --help                 this text\n"
    "  -V, --version              the version\n"
    "\n"
    "Options take their value as --name VALUE or --name=VALUE, each once (--nack,\n"
    "--silent and --extra-ack may be repeated); a value that starts with - is given as\n"
    "--name=VALUE.\n"
    "Output files are opened at start; a write that fails (the transcript, the dump, stdout)\n"
    "is reported at once and ends the server.\n"
    "\n"
    "Exit status: 0 after a signal or --once; 1 the pty or a file could not be set up,\n"
    "read or written; 3 the link died (a fault option); 64 usage error (bad options, a\n"
    "--flash-in file that is not a regular file or is larger than FLASH).\n";

struct Options {
    DevConfig config;
    uint32_t boards = 0; // --boards; 0: one board, always in
    uint32_t swapAfterMs = 500;
    uint32_t emptyForMs = 1500;
    uint32_t faultBoard = 0; // 0: the faults hit every board
    ServeOptions serve;
    const char* dumpPath = nullptr;
    const char* transcriptPath = nullptr;
    const char* flashInPath = nullptr;
    FILE* dumpFile = nullptr;      // opened at start
    std::vector<FILE*> boardDumps; // --boards: FILE.1, FILE.2 ..., opened at start
};

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

// The old FLASH contents: a regular file of at most limit bytes (neither a device that
// never ends nor a FIFO that may never get a writer). 0, or the exit status after saying why.
int ReadFlashIn(const char* path, uint32_t limit, std::vector<uint8_t>* bytes) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0) {
        std::fprintf(stderr, "zuva-devsim: cannot read %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    bytes->resize(static_cast<size_t>(limit) + 1);
    ssize_t got = 0;
    size_t total = 0;
    while (S_ISREG(info.st_mode) && total < bytes->size() &&
           (got = read(fd, bytes->data() + total, bytes->size() - total)) > 0) {
        total += static_cast<size_t>(got);
    }
    const int error = errno;
    close(fd);
    bytes->resize(total);
    std::string problem =
        !S_ISREG(info.st_mode) ? " is not a regular file"
        : total > limit ? " is larger than the chip's FLASH (" + std::to_string(limit) + " bytes)"
                        : "";
    if (!problem.empty()) {
        problem =
            std::string("--flash-in ") + path + problem + "; give a file of at most the FLASH size";
        return UsageError("zuva-devsim", problem.c_str(), kUsageLine);
    }
    if (got < 0) {
        std::fprintf(stderr, "zuva-devsim: cannot read %s: %s\n", path, std::strerror(error));
        return 1;
    }
    return 0;
}

// Writes the dump into the file opened at start, and closes it.
bool WriteDump(FILE* f, const std::vector<uint8_t>& bytes) {
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

// A number from 1 to max into *out.
template <typename T> bool ParseCount(const char* text, unsigned long long max, T* out) {
    unsigned long long n = 0;
    if (!ParseNumber(text, max, &n) || n == 0) {
        return false;
    }
    *out = static_cast<T>(n);
    return true;
}

// An option whose value parse checks and stores; refused as "bad value for NAME: 'V'".
OptionRule Checked(const char* name, std::function<bool(const char*)> parse) {
    return ValueOption(name, [name, parse](const char* value, std::string* error) {
        if (parse(value)) {
            return true;
        }
        *error = std::string("bad value for ") + name + ": '" + value + "'";
        return false;
    });
}

// --nack, --silent and --extra-ack: a fault each time they are given.
OptionRule Fault(const char* name, DevFaultKind kind, std::vector<DevFault>* faults) {
    OptionRule rule = Checked(name, [kind, faults](const char* value) {
        DevFault fault;
        bool ok = DevParseFault(value, kind, &fault) == 0;
        faults->push_back(fault);
        return ok;
    });
    rule.arity = OptionArity::Repeated;
    return rule;
}

// 0 to run, 1 after --help or --version, kExitUsage for bad options.
int ParseArgs(int argc, char** argv, Options* o) {
    DevConfig& c = o->config;
    bool help = false;
    bool version = false;
    const std::vector<OptionRule> rules = {
        FlagOption("--help", "-h", &help),
        FlagOption("--version", "-V", &version),
        Checked("--density", [&c](const char* v) { return DevParseDensity(v, &c.density) == 0; }),
        Checked("--pid", [&c](const char* v) { return ParseCount(v, 0xFFFF, &c.productId); }),
        Checked("--flash-size", [&c](const char* v) { return ParseSize(v, &c.flashSize); }),
        TextOption("--flash-in", &o->flashInPath),
        Checked("--uid", [&c](const char* v) { return DevParseUid(v, &c.uid) == 0; }),
        FlagOption("--readout-protected", &c.readoutProtected),
        Checked("--write-protected",
                [&c](const char* v) { return ParseSectors(v, &c.writeProtected); }),
        Checked("--unaligned",
                [&c](const char* v) { return DevParseUnaligned(v, &c.unaligned) == 0; }),
        FlagOption("--erase-protected-nack", &c.eraseProtectedNack),
        FlagOption("--timing", &c.timing),
        Fault("--nack", DevFaultKind::Nack, &c.faults),
        Fault("--silent", DevFaultKind::Silent, &c.faults),
        Fault("--extra-ack", DevFaultKind::ExtraAck, &c.faults),
        Checked("--die-after-bytes",
                [&c](const char* v) { return ParseCount(v, 0xFFFFFFFF, &c.dieAfterBytes); }),
        Checked("--die-in-block",
                [&c](const char* v) { return ParseCount(v, 0xFFFFFFFF, &c.dieInBlock); }),
        Checked("--drop-write",
                [&c](const char* v) { return ParseCount(v, 0xFFFFFFFF, &c.dropWrite); }),
        Checked("--boards", [o](const char* v) { return ParseCount(v, 1000, &o->boards); }),
        Checked("--swap-after",
                [o](const char* v) {
                    unsigned long long ms = 0;
                    bool ok = ParseNumber(v, 600000, &ms);
                    o->swapAfterMs = static_cast<uint32_t>(ms);
                    return ok;
                }),
        Checked("--empty-for",
                [o](const char* v) { return ParseCount(v, 600000, &o->emptyForMs); }),
        Checked("--fault-board",
                [o](const char* v) { return ParseCount(v, 1000, &o->faultBoard); }),
        TextOption("--link", &o->serve.linkPath),
        FlagOption("--once", &o->serve.once),
        FlagOption("--reset-on-close", &o->serve.resetOnClose),
        TextOption("--dump", &o->dumpPath),
        TextOption("--transcript", &o->transcriptPath),
    };
    std::vector<const char*> operands;
    std::string error;
    if (ParseOptions(argc, argv, rules, &operands, &error) == 0 && !operands.empty()) {
        error = std::string("unexpected argument ") + operands.front();
    }
    if (!error.empty()) {
        return UsageError("zuva-devsim", error.c_str(), kUsageLine);
    }
    if (help) {
        std::fputs(kUsage, stdout);
        std::fputs(kHelp, stdout);
    } else if (version) {
        std::printf("zuva-devsim %s\n", ZUVA_VERSION);
    }
    return help || version ? 1 : 0;
}

// Loads the old contents and powers the device on. 0, or the exit status.
int Prepare(Options* o) {
    const DevConfig& c = o->config;
    const uint32_t flashSize =
        c.flashSize != 0 ? c.flashSize : kChips[static_cast<int>(c.density)].flashMaxSize;
    if (o->flashInPath != nullptr) {
        if (int r = ReadFlashIn(o->flashInPath, flashSize, &o->config.flashImage); r != 0) {
            return r;
        }
    }
    FixtureSetup line{o->config, o->boards, o->swapAfterMs, o->emptyForMs, o->faultBoard};
    if (o->boards != 0) {
        o->serve.fixture = FixtureNext;
    }
    if ((o->boards != 0 ? FixtureStart(line) : DevReset(o->config)) != 0) {
        return UsageError("zuva-devsim",
                          "--flash-size: not whole pages up to the density's largest FLASH",
                          kUsageLine);
    }
    // Output files are opened now, so that a path that cannot be written is found before
    // a run, not after it.
    std::vector<std::string> boardDumps;
    for (uint32_t board = 1; o->dumpPath != nullptr && board <= o->boards; ++board) {
        boardDumps.push_back(std::string(o->dumpPath) + "." + std::to_string(board));
        o->boardDumps.push_back(nullptr);
    }
    for (size_t i = 0; i < boardDumps.size(); ++i) {
        if ((o->boardDumps[i] = std::fopen(boardDumps[i].c_str(), "w")) == nullptr) {
            std::fprintf(stderr, "zuva-devsim: cannot write %s: %s\n", boardDumps[i].c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    for (auto [path, file] : {std::pair{o->transcriptPath, &o->serve.transcript},
                              std::pair{o->boards != 0 ? nullptr : o->dumpPath, &o->dumpFile}}) {
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
    if (o.boards != 0) {
        const std::vector<BoardRecord> boards = FixtureBoards();
        for (size_t i = 0; i < o.boardDumps.size(); ++i) {
            static const std::vector<uint8_t> kNone;
            if (!WriteDump(o.boardDumps[i], i < boards.size() ? boards[i].flash : kNone)) {
                std::fprintf(stderr, "zuva-devsim: cannot write %s.%zu\n", o.dumpPath, i + 1);
                served = 1;
            }
        }
        std::fputs(FixtureListing().c_str(), stdout);
    }
    std::printf("zuva-devsim: %s\n", DevSummary().c_str());
    if (served == 0 && FinishStdout("zuva-devsim") != 0) {
        served = 1;
    }
    return served;
}
