// Serial primitives for POSIX systems (termios). They give the link the same observable
// behaviour as the Win32 port with its time-outs: exclusive open, 115200 8E1 without parity
// checking on receive, a raw line without flow control, read attempts that return at once
// with waiting bytes or wait up to the read constant for the first one, and write attempts
// bounded by the write constant. The port's own settings come back at close.
#include "engine/serial_platform.h"

#include "ports/port_names.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Time-outs of the one open port; SysSetTimeouts replaces them.
struct PortTimeouts {
    SysPort port = kNoPort;
    uint32_t readMs = 100;
    uint32_t writeMs = 1000;
};
PortTimeouts timeouts;

// The settings the port had before this link configured it, given back at close: flow
// control, rate and the rest are the business of whoever uses the port next.
struct SavedLine {
    SysPort port = kNoPort;
    termios line{};
};
SavedLine saved;

// The low-latency flag this link set on its port, to be cleared again at close.
struct LowLatency {
    SysPort port = kNoPort;
    bool setHere = false;
};
LowLatency lowLatency;

struct Rate {
    uint32_t baud;
    speed_t speed;
};
constexpr Rate kSpeeds[] = {{1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
                            {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};

// B0 (hang up) stands for a rate the line cannot be set to.
speed_t SpeedFor(uint32_t baud) {
    for (const Rate& rate : kSpeeds) {
        if (rate.baud == baud) {
            return rate.speed;
        }
    }
    return B0;
}

uint32_t ReadConstant(SysPort port) {
    return port == timeouts.port ? timeouts.readMs : PortTimeouts{}.readMs;
}

uint32_t WriteConstant(SysPort port) {
    return port == timeouts.port ? timeouts.writeMs : PortTimeouts{}.writeMs;
}

int64_t NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// Waits until fd is ready for events or the deadline passes. 1 ready, 0 time-out, -1 on
// error or hang-up. Signals do not shorten the wait.
int WaitReady(int fd, short events, int64_t deadlineMs) {
    for (;;) {
        int64_t left = deadlineMs - NowMs();
        pollfd entry{fd, events, 0};
        int rc = poll(&entry, 1, static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX)));
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc <= 0) {
            return rc;
        }
        if ((entry.revents & events) != 0) {
            return 1;
        }
        // POLLERR, POLLHUP or POLLNVAL without the wanted event: the line was hung up (an
        // adapter unplugged, a pty whose other side closed), for which the terminal
        // driver's own reads and writes give EIO.
        errno = (entry.revents & POLLNVAL) != 0 ? EBADF : EIO;
        return -1;
    }
}

// The device the last open went to, for the advice after a refusal.
char openedPath[256] = "";

// "COM7" and "\\.\COM7" name a device node through the shared COM rule; anything else is
// taken as a path. Returns the path to open, in out.
const char* ResolvePath(const char* portPath, char* out, size_t outSize) {
    int com = ComNumberFromName(portPath);
    if (com > 0 && ComNumberToDevicePath(com, out, outSize) == 0) {
        return out;
    }
    return portPath;
}

// Unix 98 pseudo-terminal slaves (/dev/pts/N) have majors 136 to 143 on Linux.
bool IsPtySlave(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) {
        return false;
    }
    unsigned int deviceMajor = major(info.st_rdev);
    return deviceMajor >= 136 && deviceMajor <= 143;
}

// A USB serial adapter holds received bytes for its latency timer (16 ms by default on
// common ones) before it passes them on: three waits a block add seconds to an image.
// Ports without the setting (a pseudo-terminal) are used as they are.
void AskLowLatency(int fd) {
    serial_struct info{};
    if (ioctl(fd, TIOCGSERIAL, &info) != 0 || (info.flags & ASYNC_LOW_LATENCY) != 0) {
        return;
    }
    info.flags |= ASYNC_LOW_LATENCY;
    if (ioctl(fd, TIOCSSERIAL, &info) == 0) {
        lowLatency = LowLatency{fd, true};
    }
}

void RestoreLatency(int fd) {
    if (lowLatency.port != fd) {
        return;
    }
    serial_struct info{};
    if (lowLatency.setHere && ioctl(fd, TIOCGSERIAL, &info) == 0) {
        info.flags &= ~ASYNC_LOW_LATENCY;
        ioctl(fd, TIOCSSERIAL, &info);
    }
    lowLatency = LowLatency{};
}

void MakeLine(termios& t, speed_t speed) {
    cfmakeraw(&t); // no echo, no canonical input, no CR/LF translation, no signals
    // XON/XOFF would swallow 0x11 and 0x13 out of binary frames, and RTS/CTS left on by
    // another program stalls a board that does not drive CTS.
    t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | PARMRK);
    t.c_cflag &= ~(CSIZE | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | PARENB | CLOCAL | CREAD; // even parity, sent and not checked
    t.c_cc[VMIN] = 0;                           // waits are done with poll
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
}

// What must have stuck after tcsetattr (Linux reports success when any part applied).
bool LineAsWanted(const termios& got, speed_t speed, bool parityRequired) {
    return cfgetospeed(&got) == speed && cfgetispeed(&got) == speed &&
           (got.c_cflag & CSIZE) == CS8 && (got.c_cflag & CSTOPB) == 0 &&
           (got.c_cflag & PARODD) == 0 && (got.c_iflag & (INPCK | IXON | IXOFF)) == 0 &&
           (got.c_cflag & CRTSCTS) == 0 && (got.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 &&
           (got.c_oflag & OPOST) == 0 && (!parityRequired || (got.c_cflag & PARENB) != 0);
}

} // namespace

SysPort SysOpenPort(const char* portPath) {
    char devicePath[64];
    const char* path = ResolvePath(portPath, devicePath, sizeof devicePath);
    std::snprintf(openedPath, sizeof openedPath, "%s", path);
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return kNoPort;
    }
    // Exclusive as on Windows: the lock turns away every other opener that asks for it,
    // root included, and TIOCEXCL turns away later opens of any kind (except by root).
    // The lock comes first: the exclusive mark belongs to the terminal and must not be
    // left on a port that someone else holds.
    // isatty answers ENOTTY for a file that is no terminal: "not a serial port".
    if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        // A lock held elsewhere answers EWOULDBLOCK; the user knows it as a busy port.
        int error = errno == EWOULDBLOCK ? EBUSY : errno;
        close(fd);
        errno = error;
        return kNoPort;
    }
    AskLowLatency(fd);
    // The descriptor stays non-blocking: every wait goes through poll with a deadline.
    return fd;
}

namespace {

// Applies the line settings at speed; 0 when they stuck.
int ApplyLine(int fd, termios line, speed_t speed) {
    MakeLine(line, speed);
    bool pty = IsPtySlave(fd);
    if (tcsetattr(fd, TCSANOW, &line) != 0) {
        // A pseudo-terminal has no parity and drops PARENB; when that is the only change
        // left (a second open of the same pty), tcsetattr answers EINVAL. Only a pty may
        // go on without parity: a real port that refuses 8E1 is a failure.
        line.c_cflag &= ~PARENB;
        if (!pty || errno != EINVAL || tcsetattr(fd, TCSANOW, &line) != 0) {
            return 1;
        }
    }
    termios got{};
    if (tcgetattr(fd, &got) != 0) {
        return 1;
    }
    if (!LineAsWanted(got, speed, !pty)) {
        errno = EINVAL;
        return 1;
    }
    return 0;
}

} // namespace

int SysConfigureLine(SysPort port, const LineSettings& settings) {
    int fd = static_cast<int>(port);
    speed_t speed = SpeedFor(settings.baudRate);
    termios before{};
    if (speed == B0) {
        errno = EINVAL;
        return 1;
    }
    if (tcgetattr(fd, &before) != 0) {
        return 1;
    }
    if (ApplyLine(fd, before, speed) != 0) {
        // Not a port this link can use (a user's terminal given by mistake, such as
        // /dev/tty, that keeps no parity): give it back as it was, not raw and silent.
        int error = errno;
        tcsetattr(fd, TCSANOW, &before);
        errno = error;
        return 1;
    }
    tcflush(fd, TCIOFLUSH); // nothing from before the open counts as an answer
    saved = SavedLine{port, before};
    return 0;
}

int SysSetTimeouts(SysPort port, uint32_t readConstantMs, uint32_t writeConstantMs) {
    if (port == kNoPort || fcntl(static_cast<int>(port), F_GETFD) < 0) {
        return 1;
    }
    timeouts = PortTimeouts{port, readConstantMs, writeConstantMs};
    return 0;
}

int32_t SysReadAttempt(SysPort port, void* buf, uint32_t n) {
    if (n == 0) {
        return 0; // as ReadFile: nothing asked, nothing waited for
    }
    int fd = static_cast<int>(port);
    int64_t deadline = NowMs() + ReadConstant(port);
    for (;;) {
        int ready = WaitReady(fd, POLLIN, deadline);
        if (ready <= 0) {
            return ready; // 0: nothing within the read constant, an empty attempt
        }
        ssize_t got = read(fd, buf, n);
        if (got > 0) {
            return static_cast<int32_t>(got);
        }
        if (got == 0) {
            errno = EIO; // end of file on a terminal: the line was hung up
            return -1;
        }
        if (errno != EAGAIN && errno != EINTR) {
            return -1;
        }
    }
}

int32_t SysReadWaiting(SysPort port, void* buf, uint32_t n) {
    // With VMIN and VTIME 0 a read of an empty line gives 0 as a hung-up one does: poll
    // tells them apart.
    int fd = static_cast<int>(port);
    int ready = WaitReady(fd, POLLIN, NowMs());
    if (ready <= 0) {
        return ready;
    }
    ssize_t got = read(fd, buf, n);
    if (got > 0) {
        return static_cast<int32_t>(got);
    }
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
        return 0;
    }
    errno = got == 0 ? EIO : errno; // hung up, as in SysReadAttempt
    return -1;
}

int32_t SysWriteAttempt(SysPort port, const void* bytes, uint32_t n) {
    int fd = static_cast<int>(port);
    const auto* p = static_cast<const uint8_t*>(bytes);
    int64_t deadline = NowMs() + WriteConstant(port);
    uint32_t total = 0;
    // Write first and wait only when the driver's buffer is full: a small frame then
    // costs one system call, which adds up over thousands of records.
    while (total < n) {
        ssize_t written = write(fd, p + total, n - total);
        if (written > 0) {
            total += static_cast<uint32_t>(written);
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EINTR) {
            return -1;
        }
        int ready = WaitReady(fd, POLLOUT, deadline);
        if (ready < 0) {
            return -1;
        }
        if (ready == 0) {
            break; // the write constant has run out: report what went
        }
    }
    return static_cast<int32_t>(total);
}

void SysClosePort(SysPort port) {
    if (port == timeouts.port) {
        timeouts = PortTimeouts{};
    }
    RestoreLatency(static_cast<int>(port));
    // The exclusive flag belongs to the terminal, not to this descriptor: a pty slave keeps
    // it after the close for as long as its master lives, and would turn the next run away.
    ioctl(static_cast<int>(port), TIOCNXCL);
    // Unsent output would hold the close for the driver's closing wait (30 s on a UART
    // whose flow control stalls); nothing that is still unsent matters once the run ends.
    tcflush(static_cast<int>(port), TCOFLUSH);
    if (port == saved.port) {
        tcsetattr(static_cast<int>(port), TCSANOW, &saved.line);
        saved = SavedLine{};
    }
    close(static_cast<int>(port)); // also drops the lock
}

int SysLastError() {
    return errno;
}

void SysErrorText(int error, char* out, size_t outSize) {
    if (outSize > 0) {
        // ENOTTY's own text ("Inappropriate ioctl for device") says nothing to a user.
        std::snprintf(out, outSize, "%s",
                      error == ENOTTY ? "not a serial port" : std::strerror(error));
    }
}

namespace {

// Who may open the device: its owner, and its group when the group may read and write.
void AccessAdvice(char* out, size_t outSize) {
    struct stat info {};
    if (stat(openedPath, &info) != 0) {
        std::snprintf(out, outSize, "Ask for access to the port, or run as a user who has it.");
        return;
    }
    const passwd* owner = getpwuid(info.st_uid);
    const group* grp = getgrgid(info.st_gid);
    char ownerName[64];
    char groupName[64];
    std::snprintf(ownerName, sizeof ownerName, "%s", owner != nullptr ? owner->pw_name : "?");
    std::snprintf(groupName, sizeof groupName, "%s", grp != nullptr ? grp->gr_name : "?");
    const unsigned mode = info.st_mode & 0777u;
    if ((mode & 060u) == 060u && grp != nullptr) {
        std::snprintf(out, outSize,
                      "%s belongs to %s, group %s (mode %03o): add yourself to %s (sudo usermod "
                      "-aG %s $USER) and log in again.",
                      openedPath, ownerName, groupName, mode, groupName, groupName);
    } else {
        std::snprintf(out, outSize,
                      "%s belongs to %s, group %s (mode %03o), and only %s may use it: run as "
                      "%s, or give the port a group (a udev rule) and join that group.",
                      openedPath, ownerName, groupName, mode, ownerName, ownerName);
    }
}

} // namespace

void SysErrorAdvice(int error, char* out, size_t outSize) {
    const char* advice = "Check that the adapter is plugged in and that no other program uses "
                         "the port.";
    switch (error) {
    case EACCES:
    case EPERM:
        AccessAdvice(out, outSize);
        return;
    case ENOENT:
    case ENODEV:
    case ENXIO:
        advice = "Check that the adapter is plugged in and that the name is right "
                 "(zuva-flash --list-ports shows the ports there are).";
        break;
    case EBUSY:
        advice = "Another program holds the port: close it (a terminal program, a modem "
                 "manager), then try again.";
        break;
    case ENOTTY:
        advice = "Give the device of a serial port, such as /dev/ttyUSB0 (zuva-flash "
                 "--list-ports shows the ports there are).";
        break;
    default:
        break;
    }
    std::snprintf(out, outSize, "%s", advice);
}

int SysSetModemLine(SysPort port, ModemLine line, bool asserted) {
    int bits = line == ModemLine::Rts ? TIOCM_RTS : TIOCM_DTR;
    return ioctl(static_cast<int>(port), asserted ? TIOCMBIS : TIOCMBIC, &bits) == 0 ? 0 : 1;
}

void SysSleepMs(uint32_t ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
