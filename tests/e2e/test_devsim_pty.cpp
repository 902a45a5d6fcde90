// zuva-devsim as a process, talked to over its pseudo-terminal like a serial port.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

const uint8_t A = 0x79;
const uint8_t N = 0x1F;

// A running zuva-devsim. A test that ends early (a failed ASSERT) must not leave it
// running: it holds the test's stderr, and ctest would wait for it.
struct Sim {
    pid_t pid = -1;
    int out = -1; // its stdout
    std::string path;
    Sim() = default;
    Sim(const Sim&) = delete;
    Sim& operator=(const Sim&) = delete;
    ~Sim() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0) {
            close(out);
        }
    }
};

std::string TempDir() {
    const char* bin = std::getenv("ZUVA_BINARY_DIR");
    std::string dir = std::string(bin != nullptr ? bin : "/tmp") + "/devsim-e2e";
    mkdir(dir.c_str(), 0755);
    return dir;
}

// Reads stdout up to the first newline (the slave's path).
std::string ReadLine(int fd) {
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n') {
        line += c;
    }
    return line;
}

void Start(Sim& s, std::vector<std::string> args) {
    int pipefd[2];
    if (pipe(pipefd) != 0) {
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipefd[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipefd[0]);
    args.insert(args.begin(), ZUVA_DEVSIM);
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn(&s.pid, ZUVA_DEVSIM, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipefd[1]);
    s.out = pipefd[0];
    s.path = ReadLine(s.out);
}

// Stops the server (unless it already ended), returns its exit status and the rest of
// its stdout.
int Stop(Sim& s, std::string* rest = nullptr, bool signal = true) {
    if (signal) {
        kill(s.pid, SIGTERM);
    }
    std::string text;
    char buf[512];
    ssize_t n;
    while ((n = read(s.out, buf, sizeof buf)) > 0) {
        text.append(buf, size_t(n));
    }
    close(s.out);
    s.out = -1;
    int status = 0;
    waitpid(s.pid, &status, 0);
    s.pid = -1;
    if (rest != nullptr) {
        *rest = text;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Opens the slave as a client opens a serial port: raw, 115200, 8 bits, even parity.
// Returns the fd, or -1 when the open or the settings fail.
int OpenPort(const std::string& path, bool raw = true) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0 || !raw) {
        return fd;
    }
    struct termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    t.c_cflag |= PARENB | CLOCAL | CREAD;
    t.c_cflag &= ~(PARODD | CSTOPB);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetspeed(&t, B115200);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

Bytes Read(int fd, size_t n, int timeoutMs = 1000) {
    Bytes got;
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < n) {
        int left =
            int(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
        struct pollfd p = {fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0 || (p.revents & POLLIN) == 0) {
            break;
        }
        uint8_t buf[512];
        ssize_t k = read(fd, buf, std::min(sizeof buf, n - got.size()));
        if (k <= 0) {
            break;
        }
        got.insert(got.end(), buf, buf + k);
    }
    return got;
}

Bytes Ask(int fd, const Bytes& out, size_t answer, int timeoutMs = 1000) {
    EXPECT_EQ(write(fd, out.data(), out.size()), ssize_t(out.size()));
    return Read(fd, answer, timeoutMs);
}

Bytes Frame(const Bytes& data) {
    Bytes f(data.size() + 2);
    f[0] = uint8_t(data.size() - 1);
    uint8_t x = f[0];
    for (size_t i = 0; i < data.size(); ++i) {
        f[1 + i] = data[i];
        x ^= data[i];
    }
    f.back() = x;
    return f;
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(DevsimPty, AnswersAsDocumentedInEachProtectionState) {
    Sim s;
    Start(s, {"--readout-protected", "--write-protected", "0-15"});
    ASSERT_EQ(s.path.rfind("/dev/pts/", 0), 0u) << s.path;
    int fd = OpenPort(s.path);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Ask(fd, {0x00, 0x55}, 1, 200), Bytes{}); // not synchronised: ignored
    EXPECT_EQ(Ask(fd, {0x7F}, 1), Bytes{A});
    EXPECT_EQ(Ask(fd, {0x02, 0xFD}, 5), (Bytes{A, 0x01, 0x04, 0x10, A}));
    EXPECT_EQ(Ask(fd, {0x01, 0xFE}, 5), (Bytes{A, 0x22, 0x00, 0x00, A}));
    EXPECT_EQ(Ask(fd, {0x02, 0xFC}, 1), Bytes{N});      // bad complement
    EXPECT_EQ(Ask(fd, {0x43, 0xBC}, 1), Bytes{N});      // read-out protected
    EXPECT_EQ(Ask(fd, {0x73, 0x8C}, 1), Bytes{N});      // read-out protected
    EXPECT_EQ(Ask(fd, {0x92, 0x6D}, 2), (Bytes{A, A})); // unprotect and reset
    EXPECT_EQ(Ask(fd, {0x02, 0xFD}, 1, 200), Bytes{});  // reset: sync first
    EXPECT_EQ(Ask(fd, {0x7F}, 1), Bytes{A});
    EXPECT_EQ(Ask(fd, {0x7F}, 1, 200), Bytes{}); // a lone 0x7F opens a pair
    EXPECT_EQ(Ask(fd, {0x80}, 1), Bytes{N});
    EXPECT_EQ(Ask(fd, {0x31, 0xCE, 0x08, 0x00, 0x00, 0x00, 0x08}, 2), (Bytes{A, A}));
    // Sector 0 is write-protected: acknowledged and not programmed, as on the real part.
    EXPECT_EQ(Ask(fd, Frame({1, 2, 3, 4}), 1), Bytes{A});
    EXPECT_EQ(Ask(fd, {0x73, 0x8C}, 2), (Bytes{A, A}));
    EXPECT_EQ(Ask(fd, {0x7F}, 1), Bytes{A});
    EXPECT_EQ(Ask(fd, {0x31, 0xCE, 0x08, 0x00, 0x00, 0x00, 0x08}, 2), (Bytes{A, A}));
    EXPECT_EQ(Ask(fd, Frame({1, 2, 3, 4}), 1), Bytes{A});
    EXPECT_EQ(Ask(fd, {0x82, 0x7D}, 2), (Bytes{A, A}));
    close(fd);
    std::string summary;
    EXPECT_EQ(Stop(s, &summary), 0);
    EXPECT_NE(summary.find("read-out protected: yes"), std::string::npos) << summary;
    EXPECT_NE(summary.find("blocks written: 2 "), std::string::npos) << summary;
}

TEST(DevsimPty, RepeatedClientsCanAskFor8E1AgainAndAgain) {
    Sim s;
    Start(s, {"--reset-on-close"});
    for (int run = 0; run < 3; ++run) {
        int fd = OpenPort(s.path);
        ASSERT_GE(fd, 0) << "client " << run << " could not set 8E1";
        EXPECT_EQ(Ask(fd, {0x7F}, 1), Bytes{A}) << "client " << run;
        EXPECT_EQ(Ask(fd, {0x02, 0xFD}, 5), (Bytes{A, 0x01, 0x04, 0x10, A}));
        close(fd);
        usleep(20000);
    }
    EXPECT_EQ(Stop(s), 0);
}

TEST(DevsimPty, WithoutResetTheDeviceStaysAsTheLastClientLeftIt) {
    Sim s;
    Start(s, {});
    int fd = OpenPort(s.path);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Ask(fd, {0x7F}, 1), Bytes{A});
    close(fd);
    usleep(20000);
    fd = OpenPort(s.path);
    ASSERT_GE(fd, 0);
    // Still synchronised: this 0x7F is the first byte of a command pair.
    EXPECT_EQ(Ask(fd, {0x7F}, 1, 200), Bytes{});
    close(fd);
    EXPECT_EQ(Stop(s), 0);
}

TEST(DevsimPty, AClientThatForgetsRawModeGetsNoAnswer) {
    Sim s;
    Start(s, {});
    int fd = OpenPort(s.path, false); // cooked: line editing holds the ACK back
    ASSERT_GE(fd, 0);
    fcntl(fd, F_SETFL, O_NONBLOCK);
    EXPECT_EQ(Ask(fd, {0x7F}, 1, 300), Bytes{});
    close(fd);
    EXPECT_EQ(Stop(s), 0);
}

TEST(DevsimPty, LinkFlashFilesTranscriptAndDump) {
    std::string dir = TempDir();
    std::string link = dir + "/ttyDEVSIM", in = dir + "/old.bin", dump = dir + "/dump.bin",
                log = dir + "/transcript.txt";
    {
        std::ofstream f(in, std::ios::binary);
        f << std::string(2048, '\x33');
    }
    Sim s;
    Start(s, {"--density", "low", "--flash-in", in, "--link", link, "--dump", dump, "--transcript",
              log});
    int fd = OpenPort(link);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Ask(fd, {0x7F}, 1), Bytes{A});
    EXPECT_EQ(Ask(fd, {0x02, 0xFD}, 5), (Bytes{A, 0x01, 0x04, 0x12, A}));
    EXPECT_EQ(Ask(fd, {0x43, 0xBC, 0x00, 0x01, 0x01}, 2), (Bytes{A, A})); // page 1
    EXPECT_EQ(Ask(fd, {0x31, 0xCE, 0x08, 0x00, 0x04, 0x00, 0x0C}, 2), (Bytes{A, A}));
    EXPECT_EQ(Ask(fd, Frame({0xDE, 0xAD, 0xBE, 0xEF}), 1), Bytes{A});
    close(fd);
    EXPECT_EQ(Stop(s), 0);

    std::string flash = Slurp(dump);
    ASSERT_EQ(flash.size(), 32u * 1024);
    EXPECT_EQ(flash.substr(0, 1024), std::string(1024, '\x33'));
    EXPECT_EQ(flash.substr(1024, 4), "\xDE\xAD\xBE\xEF");
    EXPECT_EQ(flash.substr(1028, 1020), std::string(1020, '\xFF'));
    EXPECT_EQ(flash.substr(2048, 8), std::string(8, '\xFF'));
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link is removed at exit";
    std::string t = Slurp(log);
    EXPECT_NE(t.find("H>D 31 CE  Write Memory #1"), std::string::npos) << t;
    EXPECT_NE(t.find("D>H 79  ACK: written"), std::string::npos) << t;
}

TEST(DevsimPty, TheLinkDiesInTheMiddleOfABlock) {
    Sim s;
    Start(s, {"--die-in-block", "2"});
    int fd = OpenPort(s.path);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Ask(fd, {0x7F}, 1), Bytes{A});
    for (uint8_t block = 0; block < 2; ++block) {
        uint8_t lo = uint8_t(block * 0x10);
        EXPECT_EQ(Ask(fd, {0x31, 0xCE, 0x08, 0x00, 0x00, lo, uint8_t(0x08 ^ lo)}, 2),
                  (Bytes{A, A}));
        Bytes answer = Ask(fd, Frame(Bytes(16, 0x77)), 1);
        EXPECT_EQ(answer, block == 0 ? Bytes{A} : Bytes{});
    }
    std::string summary;
    EXPECT_EQ(Stop(s, &summary, false), 3); // ends by itself
    EXPECT_NE(summary.find("link cut"), std::string::npos);
    struct pollfd p = {fd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 1000), 1);
    EXPECT_NE(p.revents & POLLHUP, 0) << "the client sees the line hang up";
    close(fd);
}

TEST(DevsimPty, OnceEndsWhenTheClientCloses) {
    Sim s;
    Start(s, {"--once", "--nack", "get-id"});
    int fd = OpenPort(s.path);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Ask(fd, {0x7F}, 1), Bytes{A});
    EXPECT_EQ(Ask(fd, {0x02, 0xFD}, 1), Bytes{N});
    close(fd);
    std::string summary;
    EXPECT_EQ(Stop(s, &summary, false), 0);
    EXPECT_NE(summary.find("NACKs: 1"), std::string::npos) << summary;
}

TEST(DevsimPty, TimingPacesABlockAtWireSpeedPlusProgramming) {
    Sim s;
    Start(s, {"--timing"});
    int fd = OpenPort(s.path);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Ask(fd, {0x7F}, 1), Bytes{A});
    EXPECT_EQ(Ask(fd, {0x31, 0xCE, 0x08, 0x00, 0x00, 0x00, 0x08}, 2), (Bytes{A, A}));
    auto start = Clock::now();
    EXPECT_EQ(Ask(fd, Frame(Bytes(256, 0x42)), 1), Bytes{A});
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    // 258 bytes at 95.5 us, 128 half-words at 52.5 us: 31.4 ms of device time. The upper
    // bound only catches a server that is badly off; exact figures belong to bench/.
    EXPECT_GE(ms, 31.0);
    EXPECT_LT(ms, 300.0);
    close(fd);
    EXPECT_EQ(Stop(s), 0);
}

TEST(DevsimPty, HelpNamesEveryOptionAndBadOptionsAreRefused) {
    Sim s;
    Start(s, {"--help"});
    std::string text;
    EXPECT_EQ(Stop(s, &text, false), 0);
    text = s.path + "\n" + text;
    for (const char* flag :
         {"--density", "--pid", "--flash-size", "--flash-in", "--readout-protected",
          "--write-protected", "--unaligned", "--timing", "--nack", "--silent", "--die-after-bytes",
          "--die-in-block", "--link", "--once", "--dump", "--transcript", "--reset-on-close",
          "--erase-protected-nack"}) {
        EXPECT_NE(text.find(flag), std::string::npos) << flag;
    }
    for (std::vector<std::string> bad :
         std::vector<std::vector<std::string>>{{"--density", "huge"},
                                               {"--nack", "wirte"},
                                               {"--flash-size", "1000"},
                                               {"--write-protected", "3-40"},
                                               {"--bogus"}}) {
        Sim b;
        Start(b, bad);
        EXPECT_EQ(Stop(b, nullptr, false), 64) << bad[0];
    }
}

} // namespace
