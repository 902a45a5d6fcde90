// zuva-devsim's pty server: see devsim_pty.h.
//
// Pty facts this loop is built around (Linux):
// - The master reports POLLHUP while no client holds the slave open, but only after a
//   first client has opened and closed it; before that it simply stays quiet. A polled
//   master in the hang-up state is always ready, so it is left out of the poll set then
//   and an inotify watch on the slave node wakes the loop when a client opens it (with a
//   slow fallback tick in case inotify is unavailable).
// - The slave keeps its termios between clients, and a pty drops PARENB: a second client
//   asking for 8E1 changes nothing else, and tcsetattr then fails with EINVAL. So each
//   time the last client hangs up, the slave's settings go back to what they were at
//   start (termios ioctls on the master act on the slave).
// - Terminal settings are otherwise left to the client. A client that forgets raw mode
//   gets echo and line editing, and the device sees its own answers echoed: visibly
//   broken, as with a real port left cooked.
#include "tools/devsim/devsim_pty.h"

#include "tools/devsim/device_model.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kNoClientTickMs = 50;

volatile sig_atomic_t gStop = 0;
volatile sig_atomic_t gTakeOut = 0; // SIGUSR1: the board is taken out of the fixture

struct Server {
    int master = -1;
    int watch = -1; // inotify descriptor, or -1
    std::string slave;
    struct termios initial {};
    bool hungUp = false; // no client has the slave open (after a first one closed it)
    std::string pending; // answer bytes the master did not take yet
    size_t logged = 0;   // transcript frames written so far
    uint64_t startNs = 0;
    bool boardIn = true;        // a board is in the fixture
    uint64_t fixtureWakeUs = 0; // when the fixture wants a look again
};

Server s;

constexpr int64_t kEarlyWakeUs = 500;

void OnSignal(int) {
    gStop = 1;
}

void OnTakeOut(int) {
    gTakeOut = 1;
}

uint64_t MonotonicNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

uint64_t NowUs() {
    return (MonotonicNs() - s.startNs) / 1000;
}

int OpenMaster() {
    s.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (s.master < 0 || grantpt(s.master) != 0 || unlockpt(s.master) != 0) {
        std::perror("zuva-devsim: pseudo-terminal");
        return 1;
    }
    const char* name = ptsname(s.master);
    if (name == nullptr || tcgetattr(s.master, &s.initial) != 0) {
        std::perror("zuva-devsim: pseudo-terminal");
        return 1;
    }
    s.slave = name;
    s.watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (s.watch >= 0 && inotify_add_watch(s.watch, name, IN_OPEN | IN_CLOSE) < 0) {
        close(s.watch);
        s.watch = -1;
    }
    return 0;
}

int MakeLink(const char* path) {
    char old[PATH_MAX];
    // Replace a stale link from an earlier run, never a regular file.
    if (readlink(path, old, sizeof old) >= 0) {
        unlink(path);
    }
    if (symlink(s.slave.c_str(), path) != 0) {
        std::fprintf(stderr, "zuva-devsim: cannot link %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    return 0;
}

void RemoveLink(const char* path) {
    char target[PATH_MAX];
    ssize_t n = readlink(path, target, sizeof target - 1);
    if (n >= 0) {
        target[n] = '\0';
        if (s.slave == target) {
            unlink(path);
        }
    }
}

bool MasterHungUp() {
    struct pollfd p = {s.master, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) != 0;
}

// Writes the frames not logged yet. 0, or 1 after telling that the file took no more.
int WriteTranscript(FILE* out) {
    const std::vector<DevFrame>& t = DevTranscript();
    if (out == nullptr || s.logged == t.size()) {
        return 0;
    }
    for (; s.logged < t.size(); ++s.logged) {
        std::fprintf(out, "%s\n", DevFormatFrame(t[s.logged]).c_str());
    }
    if (std::fflush(out) != 0 || std::ferror(out) != 0) {
        std::fprintf(stderr, "zuva-devsim: cannot write the transcript: %s\n",
                     std::strerror(errno));
        return 1;
    }
    return 0;
}

struct LineRate {
    speed_t speed;
    uint32_t baud;
};
constexpr LineRate kLineRates[] = {
    {B1200, 1200},   {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},
    {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400},
};

// The model paces its wire at the rate the client set on the slave (termios requests on
// the master act on the slave), looked at when host bytes come: a client sets its rate
// before it writes.
void FollowClientRate() {
    struct termios now;
    // Once the client has gone, the slave's settings are the ones restored for the next.
    if (MasterHungUp() || tcgetattr(s.master, &now) != 0) {
        return;
    }
    for (const LineRate& rate : kLineRates) {
        if (rate.speed == cfgetospeed(&now)) {
            DevSetBaudRate(rate.baud);
        }
    }
}

// Host bytes waiting on the master go to the model, stamped with the time they were read.
void ReadHost() {
    uint8_t buf[4096];
    for (;;) {
        ssize_t n = read(s.master, buf, sizeof buf);
        if (n <= 0) {
            return; // EAGAIN, or EIO once a hung-up slave has nothing left
        }
        if (!s.boardIn) {
            continue; // an empty fixture: the bytes go nowhere
        }
        FollowClientRate();
        DevFeed(buf, size_t(n), NowUs());
    }
}

// Answer bytes whose time has come go out; with no client they are lost, as on a wire.
void WriteDevice() {
    uint8_t buf[256];
    size_t n;
    while ((n = DevTakeOutput(buf, sizeof buf, NowUs())) > 0) {
        if (!s.hungUp && s.boardIn) {
            s.pending.append(reinterpret_cast<char*>(buf), n);
        }
    }
    if (s.hungUp) {
        s.pending.clear();
    }
    while (!s.pending.empty()) {
        ssize_t w = write(s.master, s.pending.data(), s.pending.size());
        if (w <= 0) {
            return; // full: POLLOUT brings us back
        }
        s.pending.erase(0, size_t(w));
    }
}

bool SameTermios(const struct termios& a, const struct termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b) && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

// The last client is gone: give the next one the slave as it was at start. The hang-up
// is checked again just before, so that a client opening meanwhile keeps its settings.
void RestoreSlaveSettings() {
    struct termios now;
    if (tcgetattr(s.master, &now) == 0 && !SameTermios(now, s.initial) && MasterHungUp()) {
        tcsetattr(s.master, TCSANOW, &s.initial);
    }
}

void DrainWatch() {
    char buf[1024];
    while (s.watch >= 0 && read(s.watch, buf, sizeof buf) > 0) {
    }
}

// One pass of the loop's waiting: until the model's next event, host bytes, room for
// pending answers, a client opening or closing, or a signal.
void Wait(const sigset_t* unblocked) {
    uint64_t next = DevNextEventUs();
    DevState st = DevGetState();
    if (st.linkDead) {
        next = std::min(next, st.linkDeadAtUs);
    }
    uint64_t now = NowUs();
    int64_t waitUs = next == kDevNever ? -1 : int64_t(next > now ? next - now : 0);
    // A timer fires late by its slack and the wake-up (hundreds of microseconds on a busy
    // virtual machine): wake that much early and look again until the answer is due, so
    // that answers leave on time and the client is not blamed for the simulator's delay.
    if (waitUs > 0) {
        waitUs = waitUs > kEarlyWakeUs ? waitUs - kEarlyWakeUs : 0;
    }
    if (s.fixtureWakeUs != kDevNever) {
        uint64_t untilFixture = s.fixtureWakeUs > now ? s.fixtureWakeUs - now : 0;
        waitUs = waitUs < 0 ? int64_t(untilFixture) : std::min(waitUs, int64_t(untilFixture));
    }
    if (s.hungUp && (waitUs < 0 || waitUs > kNoClientTickMs * 1000)) {
        waitUs = kNoClientTickMs * 1000;
    }
    struct pollfd fds[2];
    nfds_t n = 0;
    if (!s.hungUp) {
        short events = POLLIN | (s.pending.empty() ? 0 : POLLOUT);
        fds[n++] = {s.master, events, 0};
    }
    if (s.watch >= 0) {
        fds[n++] = {s.watch, POLLIN, 0};
    }
    struct timespec ts = {time_t(waitUs / 1000000), long(waitUs % 1000000) * 1000};
    ppoll(fds, n, waitUs < 0 ? nullptr : &ts, unblocked);
    DrainWatch();
}

void InstallSignals(sigset_t* unblocked) {
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    struct sigaction takeOut {};
    takeOut.sa_handler = OnTakeOut;
    sigaction(SIGUSR1, &takeOut, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // Signals are held except inside ppoll, so none slips in between test and wait.
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, SIGINT);
    sigaddset(&held, SIGTERM);
    sigaddset(&held, SIGHUP);
    sigaddset(&held, SIGUSR1);
    sigprocmask(SIG_BLOCK, &held, unblocked);
    sigdelset(unblocked, SIGINT);
    sigdelset(unblocked, SIGTERM);
    sigdelset(unblocked, SIGHUP);
    sigdelset(unblocked, SIGUSR1);
}

constexpr int kStepWriteFailed = 4;

// Returns 0 to go on, 1 to stop (once), 3 when the link died, kStepWriteFailed.
int Step(const ServeOptions& options) {
    if (options.fixture != nullptr) {
        bool takeOut = gTakeOut != 0;
        gTakeOut = 0;
        s.boardIn = options.fixture(NowUs(), takeOut, &s.fixtureWakeUs);
        if (DevTranscript().size() < s.logged) {
            s.logged = 0; // the next board's transcript begins
        }
    }
    if (!s.hungUp) {
        ReadHost();
    }
    WriteDevice();
    if (WriteTranscript(options.transcript) != 0) {
        return kStepWriteFailed;
    }
    DevState st = DevGetState();
    if (st.linkDead && NowUs() >= st.linkDeadAtUs) {
        return 3;
    }
    bool hungUp = MasterHungUp();
    if (hungUp) {
        // Also after a client that came and went between two looks.
        RestoreSlaveSettings();
    }
    if (hungUp && !s.hungUp) {
        ReadHost(); // what the client wrote just before closing still counts
        if (options.resetOnClose) {
            DevSystemReset(NowUs());
        }
        if (options.once) {
            return 1;
        }
    }
    s.hungUp = hungUp;
    return 0;
}

} // namespace

int ServeOnPty(const ServeOptions& options) {
    s.startNs = MonotonicNs();
    s.fixtureWakeUs = kDevNever;
    if (OpenMaster() != 0) {
        return 1;
    }
    if (options.linkPath != nullptr && MakeLink(options.linkPath) != 0) {
        return 1;
    }
    // Wake-ups on time matter for the paced answers: no timer slack.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    sigset_t unblocked;
    InstallSignals(&unblocked);
    std::printf("%s\n", s.slave.c_str());
    int result = std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? 0 : kStepWriteFailed;
    if (result != 0) {
        std::fprintf(stderr, "zuva-devsim: cannot write to stdout: %s\n", std::strerror(errno));
    }
    while (!gStop && result == 0) {
        result = Step(options);
        if (result == 0) {
            Wait(&unblocked);
        }
    }
    if (result == 1) {
        result = 0;
    }
    if (result != kStepWriteFailed && WriteTranscript(options.transcript) != 0) {
        result = kStepWriteFailed;
    }
    result = result == kStepWriteFailed ? 1 : result;
    if (options.linkPath != nullptr) {
        RemoveLink(options.linkPath);
    }
    // Closing the master hangs the client up: that is how a dead link looks from there.
    close(s.master);
    if (s.watch >= 0) {
        close(s.watch);
    }
    return result;
}
