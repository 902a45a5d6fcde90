// The command line's pure parts: arguments, port names, exit status, progress line.
#include "cli/cli.h"

#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <tuple>
#include <vector>

namespace {

// Parses a command line given as words (argv[0] added).
struct Parsed {
    int result;
    CliOptions options;
    std::string error;
};
using Words = std::vector<const char*>;

Parsed Parse(std::initializer_list<const char*> words) {
    std::vector<char*> argv{const_cast<char*>("zuva-flash")};
    for (const char* w : words) {
        argv.push_back(const_cast<char*>(w));
    }
    Parsed p{};
    p.result = ParseCliArgs(static_cast<int>(argv.size()), argv.data(), &p.options, &p.error);
    return p;
}

TEST(CliArgs, PortAndImage) {
    Parsed p = Parse({"--port", "COM7", "fw.bin"});
    ASSERT_EQ(p.result, 0) << p.error;
    EXPECT_STREQ(p.options.port, "COM7");
    EXPECT_STREQ(p.options.image, "fw.bin");
    EXPECT_EQ(p.options.embedded, nullptr);

    p = Parse({"fw.hex", "--port=/dev/pts/4"});
    ASSERT_EQ(p.result, 0) << p.error;
    EXPECT_STREQ(p.options.port, "/dev/pts/4");
    EXPECT_STREQ(p.options.image, "fw.hex");
}

TEST(CliArgs, PortMayBeLeftOut) {
    Parsed p = Parse({"fw.bin"});
    ASSERT_EQ(p.result, 0);
    EXPECT_EQ(p.options.port, nullptr);
}

TEST(CliArgs, EmbeddedTakesThePlaceOfTheImage) {
    Parsed p = Parse({"--embedded", "Update.exe", "--port", "COM3"});
    ASSERT_EQ(p.result, 0) << p.error;
    EXPECT_STREQ(p.options.embedded, "Update.exe");
    EXPECT_EQ(p.options.image, nullptr);
    EXPECT_NE(Parse({"--embedded", "Update.exe", "fw.bin"}).result, 0);
}

TEST(CliArgs, ShortAndLongFlagsAgree) {
    for (auto [flags, quiet, verbose] :
         {std::tuple{Words{"-q"}, true, false}, std::tuple{Words{"--quiet"}, true, false},
          std::tuple{Words{"-v"}, false, true}, std::tuple{Words{"--verbose"}, false, true}}) {
        Parsed p = Parse({flags[0], "--dry-run", "--json", "a.bin"});
        ASSERT_EQ(p.result, 0) << p.error;
        EXPECT_EQ(p.options.quiet, quiet) << flags[0];
        EXPECT_EQ(p.options.verbose, verbose) << flags[0];
    }
}

// A name that starts with "-" is reached after "--", as ./-name, or as a value after "=".
TEST(CliArgs, NamesThatLookLikeOptions) {
    Parsed p = Parse({"--", "--odd-name.bin"});
    ASSERT_EQ(p.result, 0) << p.error;
    EXPECT_STREQ(p.options.image, "--odd-name.bin");
    EXPECT_STREQ(Parse({"./-odd.bin"}).options.image, "./-odd.bin");
    p = Parse({"--port", "A", "--log=--dry-run", "--port=B", "a.bin"});
    ASSERT_EQ(p.result, 0) << p.error;
    EXPECT_STREQ(p.options.log, "--dry-run");
    EXPECT_FALSE(p.options.dryRun);
    ASSERT_EQ(p.options.ports.size(), 2u);
    EXPECT_STREQ(p.options.ports[1], "B");
}

TEST(CliArgs, UsageErrorsSayWhy) {
    const struct {
        std::initializer_list<const char*> words;
        const char* reason;
    } cases[] = {
        {{}, "no image given"},
        {{"--port", "COM1"}, "no image given"},
        {{"a.bin", "b.bin"}, "more than one image given"},
        {{"--port"}, "--port needs a value"},
        {{"--port=", "a.bin"}, "--port needs a value"},
        {{"a.bin", "--embedded"}, "--embedded needs a value"},
        // A missing value never takes the next option: a dry run stays a dry run.
        {{"--log", "--dry-run", "--port", "P", "a.bin"},
         "--log needs a value: --dry-run is not taken as one (give such a value as "
         "--log=--dry-run)"},
        {{"--port", "-q", "a.bin"},
         "--port needs a value: -q is not taken as one (give such a value as --port=-q)"},
        // A value given twice is refused, not silently replaced; --port names several.
        {{"--baud", "9600", "--baud", "57600", "a.bin"},
         "--baud is given twice (9600, then 57600); give it once"},
        {{"--embedded", "a.exe", "--embedded=b.exe"},
         "--embedded is given twice (a.exe, then b.exe); give it once"},
        {{"--log", "x", "--log", "x", "a.bin"}, "--log is given twice (x, then x); give it once"},
        {{"--json=yes", "a.bin"}, "--json takes no value"},
        {{"-odd.bin"}, "unknown option -odd.bin"},
        // An unknown option names the nearest one when one is close.
        {{"--portx", "a.bin"}, "unknown option --portx (did you mean --port?)"},
        {{"--prot=COM1", "a.bin"}, "unknown option --prot=COM1 (did you mean --port?)"},
        {{"--verfy", "a.bin"}, "unknown option --verfy (did you mean --verify?)"},
        {{"--dryrun", "a.bin"}, "unknown option --dryrun (did you mean --dry-run?)"},
        {{"--no-prot", "a.bin"}, "unknown option --no-prot (did you mean --no-protect?)"},
        {{"--bogus", "a.bin"}, "unknown option --bogus"},
        {{"--member-of", "a.bin"}, "unknown option --member-of"},
        {{"-q", "-v", "a.bin"}, "give either --quiet or --verbose, not both"},
        {{"--dry-run", "--log", "x", "a.bin"},
         "--dry-run only checks the image: it takes no port and no run options"},
        // A production line's options come in pairs, and counts start at 1.
        {{"--serial", "n.txt", "a.bin"},
         "--serial FILE and --serial-at ADDR go together: the "
         "file gives the number, ADDR where it is written"},
        {{"--serial-at", "0x0801FFF0", "a.bin"},
         "--serial FILE and --serial-at ADDR go "
         "together: the file gives the number, ADDR "
         "where it is written"},
        {{"--count", "3", "a.bin"},
         "--count needs --loop: it ends the loop after that many boards"},
        {{"--loop", "--count", "0", "a.bin"}, "--count 0: give the number of boards, 1 or more"},
        {{"--loop", "--count", "x", "a.bin"}, "--count x: give the number of boards, 1 or more"},
        {{"--loop", "--read", "back.bin"},
         "--loop reads no boards: every board would overwrite the --read file; read one chip at a "
         "time"},
        {{"--serial", "n", "--serial-at", "0x0801FFF2", "a.bin"},
         "--serial-at 0x0801FFF2: give a word-aligned address in FLASH (0x08000000 and up)"},
        {{"--serial", "n", "--serial-at", "0x20000000", "a.bin"},
         "--serial-at 0x20000000: give a word-aligned address in FLASH (0x08000000 and up)"},
        {{"--serial", "n", "--serial-at", "top", "a.bin"},
         "--serial-at top: not an address (e.g. 0x0801FFF0)"},
        {{"--dry-run", "--loop", "a.bin"},
         "--dry-run only checks the image: it takes no --loop "
         "or --serial"},
    };
    for (const auto& c : cases) {
        Parsed p = Parse(c.words);
        EXPECT_EQ(p.result, 1) << c.reason;
        EXPECT_EQ(p.error, c.reason);
    }
}

// A log onto what the run reads is refused, by any name of the file: the image, a port.
// The log lands on none of the files a run reads or writes, nor on a port.
TEST(CliArgs, LogIsNoneOfTheInputs) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / "zuva-cli-log";
    fs::create_directories(dir / "sub");
    const std::string image = (dir / "fw.bin").string();
    std::ofstream(image) << "firmware";
    fs::remove(dir / "hard.bin");
    fs::create_hard_link(image, dir / "hard.bin");
    const std::string counter = (dir / "serial.txt").string();
    std::ofstream(counter) << "1000\n";
    CliOptions options;
    options.image = image.c_str();
    options.ports = {"COM7"};
    options.serialFile = counter.c_str();
    options.read = "back.bin"; // not there yet: the same name in the same folder counts
    const struct {
        std::string log;
        const char* says; // "" for a log that may be written
    } cases[] = {
        {image, "is the same file as the image"},
        {(dir / "sub" / ".." / "fw.bin").string(), "is the same file as the image"},
        {(dir / "hard.bin").string(), "is the same file as the image"},
        {"\\\\.\\com7", "is the same file as --port COM7"},
        {counter, "is the same file as --serial"},
        {"./back.bin", "is the same file as --read"},
        {(dir / "runs.log").string(), ""},
        {(dir / "back.bin").string(), ""},
    };
    for (const auto& c : cases) {
        const std::string refusal = OutputOnInput(options, "--log", c.log.c_str());
        EXPECT_TRUE(c.says[0] == '\0' ? refusal.empty() : refusal.find(c.says) != std::string::npos)
            << c.log << ": " << refusal;
    }
    fs::remove_all(dir);
}

TEST(CliArgs, InformationalOptionsNeedNoImage) {
    EXPECT_TRUE(Parse({"--help"}).options.help);
    EXPECT_TRUE(Parse({"-h"}).options.help);
    EXPECT_TRUE(Parse({"--version"}).options.version);
    EXPECT_TRUE(Parse({"-V"}).options.version);
    Parsed p = Parse({"--list-ports"});
    EXPECT_EQ(p.result, 0);
    EXPECT_TRUE(p.options.listPorts);
}

TEST(CliPortPath, ComNamesBecomeTheDevicePrefixForm) {
    EXPECT_EQ(PortPathForName("COM7"), "\\\\.\\COM7");
    EXPECT_EQ(PortPathForName("com12"), "\\\\.\\COM12");
    EXPECT_EQ(PortPathForName("\\\\.\\COM7"), "\\\\.\\COM7");
    EXPECT_EQ(PortPathForName("/dev/ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(PortPathForName("/dev/pts/3"), "/dev/pts/3");
    EXPECT_EQ(PortPathForName("COM"), "COM");
    EXPECT_EQ(PortPathForName("COM7x"), "COM7x");
}

TEST(CliExitStatus, ResultClassOr130AfterAnInterrupt) {
    EXPECT_EQ(ExitStatusFor(kResultOk, false), 0);
    EXPECT_EQ(ExitStatusFor(kResultCantOpenPort, false), 1);
    EXPECT_EQ(ExitStatusFor(kResultCommError, false), 4);
    EXPECT_EQ(ExitStatusFor(kResultNotPresent, false), 8);
    EXPECT_EQ(ExitStatusFor(kResultCantErase, false), 11);
    EXPECT_EQ(ExitStatusFor(kResultCantProtect, true), kExitInterrupted);
    EXPECT_EQ(ExitStatusFor(kResultCommError, true), kExitInterrupted);
    // The interrupt came too late to stop anything: the device is programmed.
    EXPECT_EQ(ExitStatusFor(kResultOk, true), 0);
}

TEST(CliProgress, FiguresFollowThePercentage) {
    std::string start = FormatProgressLine(1, 65536, 0);
    EXPECT_NE(start.find("[..............................]"), std::string::npos) << start;
    EXPECT_NE(start.find("  0%"), std::string::npos) << start;
    EXPECT_NE(start.find(" 0/65536 B"), std::string::npos) << start;
    EXPECT_NE(start.find("--:-- left"), std::string::npos) << start;

    // Half the bytes in 2 s: 16 KiB/s, and 2 s to go.
    std::string half = FormatProgressLine(51, 65536, 2.0);
    EXPECT_NE(half.find("[###############...............]"), std::string::npos) << half;
    EXPECT_NE(half.find(" 50%"), std::string::npos) << half;
    EXPECT_NE(half.find("32768/65536 B"), std::string::npos) << half;
    EXPECT_NE(half.find("16.0 KiB/s"), std::string::npos) << half;
    EXPECT_NE(half.find("0:02 left"), std::string::npos) << half;

    std::string done = FormatProgressLine(101, 300, 1.0);
    EXPECT_NE(done.find("[##############################]"), std::string::npos) << done;
    EXPECT_NE(done.find("100%"), std::string::npos) << done;
    EXPECT_NE(done.find("300/300 B"), std::string::npos) << done;
    EXPECT_NE(done.find("0:00 left"), std::string::npos) << done;
}

TEST(CliProgress, FiguresBeyondTheRangeStayInside) {
    std::string over = FormatProgressLine(250, 1000, 1.0);
    EXPECT_NE(over.find("100%"), std::string::npos) << over;
    EXPECT_NE(over.find("1000/1000 B"), std::string::npos) << over;
    std::string empty = FormatProgressLine(101, 0, 0);
    EXPECT_NE(empty.find("0/0 B"), std::string::npos) << empty;
}

// ---- Options of a run at the bench ----

TEST(CliRunOptions, AreTakenIntoTheRun) {
    Parsed p = Parse({"--verify", "--no-protect", "--go", "--baud", "57600", "--boot",
                      "boot0=rts,reset=!dtr", "fw.bin"});
    ASSERT_EQ(p.result, 0) << p.error;
    const RunOptions& run = p.options.run;
    EXPECT_TRUE(run.verify);
    EXPECT_FALSE(run.protect);
    EXPECT_TRUE(run.go);
    EXPECT_EQ(run.line.baudRate, 57600u);
    EXPECT_TRUE(run.boot.boot0.used && run.boot.boot0.line == ModemLine::Rts &&
                !run.boot.boot0.inverted);
    EXPECT_TRUE(run.boot.reset.used && run.boot.reset.line == ModemLine::Dtr &&
                run.boot.reset.inverted);

    p = Parse({"fw.bin"});
    EXPECT_TRUE(p.options.run.protect);
    EXPECT_EQ(p.options.run.line.baudRate, kDefaultBaudRate);
    EXPECT_FALSE(p.options.run.boot.boot0.used || p.options.run.boot.reset.used);
    // Reset alone is enough for --go: the reset starts the firmware.
    EXPECT_EQ(Parse({"--go", "--boot=reset=!dtr", "fw.bin"}).result, 0);
    EXPECT_TRUE(Parse({"--dry-run", "fw.hex"}).options.dryRun);
    for (const char* rate : {"1200", "2400", "4800", "9600", "19200", "38400", "115200"}) {
        EXPECT_EQ(Parse({"--baud", rate, "fw.bin"}).result, 0) << rate;
    }
}

TEST(CliRunOptions, BadValuesAreUsageErrors) {
    const struct {
        std::initializer_list<const char*> words;
        const char* reasonStart;
    } cases[] = {
        {{"--go", "fw.bin"}, "--go needs --no-protect"},
        {{"--baud", "14400", "fw.bin"}, "--baud 14400: not a rate"},
        {{"--baud", "230400", "fw.bin"}, "--baud 230400: not a rate"},
        {{"--baud", "57600x", "fw.bin"}, "--baud 57600x: not a rate"},
        {{"--baud=-57600", "fw.bin"}, "--baud -57600: not a rate"},
        // Without a reset pin nothing starts the firmware under protection.
        {{"--go", "--boot", "boot0=rts", "fw.bin"}, "--go needs --no-protect or a reset pin"},
        {{"--baud", "4294967297", "fw.bin"}, "--baud 4294967297: not a rate"},
        {{"fw.bin", "--baud"}, "--baud needs a value"},
        {{"--boot", "boot0=cts", "fw.bin"}, "--boot boot0=cts: expected"},
        {{"--boot", "boot1=rts", "fw.bin"}, "--boot boot1=rts: expected"},
        {{"--boot", "boot0=rts,boot0=dtr", "fw.bin"}, "--boot boot0=rts,boot0=dtr: expected"},
        {{"--boot", "boot0=rts,", "fw.bin"}, "--boot boot0=rts,: expected"},
        {{"--boot", "reset", "fw.bin"}, "--boot reset: expected"},
        {{"--boot", "boot0=rts,reset=!rts", "fw.bin"}, "--boot boot0=rts,reset=!rts: BOOT0 and"},
    };
    for (const auto& c : cases) {
        Parsed p = Parse(c.words);
        EXPECT_EQ(p.result, 1) << c.reasonStart;
        EXPECT_EQ(p.error.rfind(c.reasonStart, 0), 0u) << p.error;
    }
}

// The bench options: what each one takes, and the combinations refused before a port is
// touched.
TEST(CliRunOptions, BenchOptions) {
    Parsed p = Parse({"--address", "0x08004000", "--page-erase", "fw.bin"});
    ASSERT_EQ(p.result, 0) << p.error;
    EXPECT_EQ(p.options.run.rawBase, 0x08004000u);
    EXPECT_TRUE(p.options.run.pageErase);
    p = Parse({"--read", "chip.srec", "--address", "134217984", "--length", "0x10"});
    ASSERT_EQ(p.result, 0) << p.error;
    EXPECT_EQ(p.options.readAddress, 0x08000100u);
    EXPECT_EQ(p.options.readLength, 16u);
    EXPECT_EQ(Parse({"--erase"}).result, 0);
    const struct {
        std::initializer_list<const char*> words;
        const char* reasonStart;
    } cases[] = {
        {{"--erase", "fw.bin"}, "give one of IMAGE, --read FILE and --erase"},
        {{"--read", "a.bin", "--erase"}, "give one of IMAGE, --read FILE and --erase"},
        {{"--read", "a.bin", "fw.bin"}, "give one of IMAGE, --read FILE and --erase"},
        {{"--erase", "--page-erase"}, "--page-erase keeps pages"},
        {{"--read", "a.bin", "--page-erase"}, "--read erases nothing"},
        {{"--read", "a.bin", "--verify"}, "--read and --erase take no"},
        {{"--length", "16", "fw.bin"}, "--length goes with --read"},
        {{"--read", "a.bin", "--length", "0"}, "--length 0: not a number"},
        {{"--address", "0x0800400", "fw.bin"}, "--address 0x00800400: outside FLASH"},
        {{"--address", "app", "fw.bin"}, "--address app: not a number"},
        {{"--address=-0x08004000", "fw.bin"}, "--address -0x08004000: not a number"},
        {{"--address", "0x08004002", "fw.bin"}, "--address 0x08004002: not word aligned"},
        {{"--address", "0x08004000", "fw.hex"}, "--address places a raw image"},
        {{"--address", "0x08004000", "fw.srec"}, "--address places a raw image"},
        {{"--address", "0x08004000", "--embedded", "U.exe"}, "--address places a raw image"},
        {{"--erase", "--address", "0x08004000"}, "--erase takes no --address"},
    };
    for (const auto& c : cases) {
        p = Parse(c.words);
        EXPECT_EQ(p.result, 1) << c.reasonStart;
        EXPECT_EQ(p.error.rfind(c.reasonStart, 0), 0u) << p.error;
    }
}

} // namespace
