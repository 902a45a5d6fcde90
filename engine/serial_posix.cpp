// Serial primitives for POSIX systems (termios). They give the link the same observable
// behaviour as the Win32 port with its time-outs: exclusive open, 115200 8E1 without parity
// checking on receive, a raw line, read attempts that return at once with waiting bytes or
// wait up to the read constant for the first one, and write attempts bounded by the write
// constant.
#include "engine/serial_platform.h"

#include "engine/port_names.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
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
        return -1; // POLLERR, POLLHUP or POLLNVAL without the wanted event
    }
}

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

void MakeLine(termios& t) {
    cfmakeraw(&t); // no echo, no canonical input, no CR/LF translation, no signals
    // XON/XOFF would swallow 0x11 and 0x13 out of binary frames.
    t.c_iflag &= ~(IXOFF | IXANY | INPCK | PARMRK);
    t.c_cflag &= ~(CSIZE | PARODD | CSTOPB);
    t.c_cflag |= CS8 | PARENB | CLOCAL | CREAD; // even parity, sent and not checked
    t.c_cc[VMIN] = 0;                           // waits are done with poll
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
}

// What must have stuck after tcsetattr (Linux reports success when any part applied).
bool LineAsWanted(const termios& got, bool parityRequired) {
    return cfgetospeed(&got) == B115200 && cfgetispeed(&got) == B115200 &&
           (got.c_cflag & CSIZE) == CS8 && (got.c_cflag & CSTOPB) == 0 &&
           (got.c_cflag & PARODD) == 0 && (got.c_iflag & INPCK) == 0 &&
           (got.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 && (got.c_oflag & OPOST) == 0 &&
           (!parityRequired || (got.c_cflag & PARENB) != 0);
}

} // namespace

SysPort SysOpenPort(const char* portPath) {
    char devicePath[64];
    const char* path = ResolvePath(portPath, devicePath, sizeof devicePath);
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return kNoPort;
    }
    // Exclusive as on Windows: the lock turns away every other opener that asks for it,
    // root included, and TIOCEXCL turns away later opens of any kind (except by root).
    // The lock comes first: the exclusive mark belongs to the terminal and must not be
    // left on a port that someone else holds.
    if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        close(fd);
        return kNoPort;
    }
    // The descriptor stays non-blocking: every wait goes through poll with a deadline.
    return fd;
}

namespace {

// Applies the line settings; 0 when they stuck.
int ApplyLine(int fd, termios line) {
    MakeLine(line);
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
    return tcgetattr(fd, &got) == 0 && LineAsWanted(got, !pty) ? 0 : 1;
}

} // namespace

int SysConfigureLine(SysPort port) {
    int fd = static_cast<int>(port);
    termios before{};
    if (tcgetattr(fd, &before) != 0) {
        return 1;
    }
    if (ApplyLine(fd, before) != 0) {
        // Not a port this link can use (a user's terminal given by mistake, such as
        // /dev/tty, that keeps no parity): give it back as it was, not raw and silent.
        tcsetattr(fd, TCSANOW, &before);
        return 1;
    }
    tcflush(fd, TCIOFLUSH); // nothing from before the open counts as an answer
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
        if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
            return -1; // end of file on a terminal: the line was hung up
        }
    }
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
    // The exclusive flag belongs to the terminal, not to this descriptor: a pty slave keeps
    // it after the close for as long as its master lives, and would turn the next run away.
    ioctl(static_cast<int>(port), TIOCNXCL);
    // Unsent output would hold the close for the driver's closing wait (30 s on a UART
    // whose flow control stalls); nothing that is still unsent matters once the run ends.
    tcflush(static_cast<int>(port), TCOFLUSH);
    close(static_cast<int>(port)); // also drops the lock
}

void SysSleepMs(uint32_t ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
