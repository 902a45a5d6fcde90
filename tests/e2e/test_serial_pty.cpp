// The POSIX serial link for real, over a pseudo-terminal that the test owns: the test holds
// the master side and plays the device; the link opens the slave as its port.
#include "engine/bootloader.h"
#include "engine/serial.h"
#include "engine/serial_platform.h"
#include "engine/status.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Everything the master can read within waitMs (stops early once want bytes came).
std::vector<uint8_t> DrainMaster(int master, size_t want, int waitMs) {
    std::vector<uint8_t> got;
    auto start = Clock::now();
    while (got.size() < want && MsSince(start) < waitMs) {
        pollfd entry{master, POLLIN, 0};
        if (poll(&entry, 1, 20) == 1) {
            uint8_t chunk[4096];
            ssize_t n = read(master, chunk, sizeof chunk);
            if (n > 0) {
                got.insert(got.end(), chunk, chunk + n);
            }
        }
    }
    return got;
}

class SerialPty : public ::testing::Test {
  protected:
    void SetUp() override {
        ClosePort();
        SetStatusCallback(nullptr);
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        slavePath = ptsname(master);
    }
    void TearDown() override {
        ClosePort();
        if (master >= 0) {
            close(master);
        }
    }
    void WriteMaster(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    int master = -1;
    std::string slavePath;
};

TEST_F(SerialPty, OpenSetsARawLineAt115200WithoutFlowControlAndCloseRestoresTheOld) {
    // As another program may leave a port: 9600, cooked, RTS/CTS and XON/XOFF on.
    termios old{};
    ASSERT_EQ(tcgetattr(master, &old), 0);
    old.c_cflag |= CRTSCTS;
    old.c_iflag |= IXON | IXOFF;
    old.c_lflag |= ICANON | ECHO;
    cfsetspeed(&old, B9600);
    ASSERT_EQ(tcsetattr(master, TCSANOW, &old), 0);
    ASSERT_EQ(tcgetattr(master, &old), 0);
    ASSERT_TRUE(OpenPort(slavePath.c_str()));
    // The master reports the slave's settings. A pty keeps no parity bit, so PARENB is not
    // observable here; everything else is.
    termios line{};
    ASSERT_EQ(tcgetattr(master, &line), 0);
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&line), static_cast<speed_t>(B115200));
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(line.c_cflag & (CSTOPB | PARODD), 0u);
    EXPECT_EQ(line.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(line.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | INPCK | ISTRIP), 0u);
    EXPECT_EQ(line.c_oflag & OPOST, 0u);
    EXPECT_EQ(line.c_cflag & CRTSCTS, 0u);
    ClosePort();
    termios after{};
    ASSERT_EQ(tcgetattr(master, &after), 0);
    EXPECT_EQ(after.c_cflag, old.c_cflag);
    EXPECT_EQ(after.c_iflag, old.c_iflag);
    EXPECT_EQ(after.c_lflag, old.c_lflag);
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B9600));
}

TEST_F(SerialPty, TheOpenIsExclusive) {
    ASSERT_TRUE(OpenPort(slavePath.c_str()));
    SysPort second = SysOpenPort(slavePath.c_str());
    EXPECT_EQ(second, kNoPort);
    if (second != kNoPort) {
        SysClosePort(second);
    }
    ClosePort();
    second = SysOpenPort(slavePath.c_str()); // free again once closed
    EXPECT_NE(second, kNoPort);
    SysClosePort(second);
}

// errno of a plain open of path by an unprivileged user (0 when it opened). Root may open
// an exclusive terminal anyway, so a root test asks a child that gave up root.
int PlainOpenError(const char* path) {
    pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(255);
        }
        int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
        _exit(fd >= 0 ? 0 : errno);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

TEST_F(SerialPty, OtherUsersAreTurnedAwayOnlyWhileThePortIsOpen) {
    ASSERT_EQ(chmod(slavePath.c_str(), 0666), 0);
    ASSERT_EQ(PlainOpenError(slavePath.c_str()), 0);
    ASSERT_TRUE(OpenPort(slavePath.c_str()));
    EXPECT_EQ(PlainOpenError(slavePath.c_str()), EBUSY);
    ClosePort();
    EXPECT_EQ(PlainOpenError(slavePath.c_str()), 0); // the pty outlives the link
}

TEST_F(SerialPty, APortLockedElsewhereIsRefusedAndLeftAsItWas) {
    ASSERT_EQ(chmod(slavePath.c_str(), 0666), 0);
    int holder = open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_FALSE(OpenPort(slavePath.c_str()));
    EXPECT_FALSE(PortIsOpen());
    EXPECT_EQ(PlainOpenError(slavePath.c_str()), 0); // no exclusive mark left behind
    close(holder);
}

TEST_F(SerialPty, TheSamePtyOpensAgainAfterClose) {
    // The second configuration asks the pty only to keep parity it cannot hold.
    ASSERT_TRUE(OpenPort(slavePath.c_str()));
    ClosePort();
    EXPECT_TRUE(OpenPort(slavePath.c_str()));
}

TEST_F(SerialPty, WhatIsNotATerminalIsRefused) {
    EXPECT_FALSE(OpenPort("/dev/null"));
    EXPECT_FALSE(PortIsOpen());
    EXPECT_FALSE(OpenPort("/nonexistent/ttyS0"));
    EXPECT_FALSE(PortIsOpen());
}

// Time windows below are generous: they tell "waited the read constant" from "did not
// wait", not how fast the machine is.
TEST_F(SerialPty, AnEmptyAttemptWaitsTheReadConstant) {
    ASSERT_TRUE(OpenPort(slavePath.c_str()));
    uint8_t byte = 0;
    auto start = Clock::now();
    EXPECT_EQ(PortRead(&byte, 1, 1), 0);
    int64_t ms = MsSince(start);
    EXPECT_GE(ms, 80);
    EXPECT_LE(ms, 400);

    start = Clock::now();
    EXPECT_EQ(PortRead(&byte, 1, 3), 0); // three empty attempts
    ms = MsSince(start);
    EXPECT_GE(ms, 280);
    EXPECT_LE(ms, 1000);
}

TEST_F(SerialPty, AWaitingByteReturnsAtOnce) {
    ASSERT_TRUE(OpenPort(slavePath.c_str()));
    WriteMaster({0x79});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    uint8_t byte = 0;
    auto start = Clock::now();
    EXPECT_EQ(PortRead(&byte, 1, 1), 1);
    EXPECT_LT(MsSince(start), 80);
    EXPECT_EQ(byte, 0x79);
}

TEST_F(SerialPty, AReadOfNothingNeitherWaitsNorFails) {
    ASSERT_TRUE(OpenPort(slavePath.c_str()));
    uint8_t byte = 0;
    auto start = Clock::now();
    EXPECT_EQ(PortRead(&byte, 0, 5), 0);
    EXPECT_LT(MsSince(start), 80);
}

TEST_F(SerialPty, TheFirstByteEndsTheWait) {
    ASSERT_TRUE(OpenPort(slavePath.c_str()));
    ASSERT_TRUE(SetPortTimeouts(2000, 1000));
    std::thread device([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const uint8_t ack = 0x79;
        EXPECT_EQ(write(master, &ack, 1), 1);
    });
    uint8_t byte = 0;
    auto start = Clock::now();
    int32_t got = PortRead(&byte, 1, 1);
    int64_t ms = MsSince(start);
    device.join();
    EXPECT_EQ(got, 1);
    EXPECT_LT(ms, 1000); // far less than the 2000 ms constant
}

std::vector<uint8_t> AllByteValues() {
    std::vector<uint8_t> bytes(256);
    for (int i = 0; i < 256; ++i) {
        bytes[i] = static_cast<uint8_t>(i); // CR, LF, ^C, XON, XOFF and 0x7F among them
    }
    return bytes;
}

TEST_F(SerialPty, EveryByteValueCrossesUnchangedBothWays) {
    ASSERT_TRUE(OpenPort(slavePath.c_str()));
    const std::vector<uint8_t> bytes = AllByteValues();
    EXPECT_EQ(PortWrite(bytes.data(), 256), 256);
    EXPECT_EQ(DrainMaster(master, 256, 2000), bytes);

    WriteMaster(bytes);
    std::vector<uint8_t> got(256);
    EXPECT_EQ(PortRead(got.data(), 256, 5), 256);
    EXPECT_EQ(got, bytes);
}

TEST_F(SerialPty, BytesFromBeforeTheOpenAreNotAnAnswer) {
    WriteMaster({0x1F, 0x1F});
    ASSERT_TRUE(OpenPort(slavePath.c_str()));
    uint8_t byte = 0;
    EXPECT_EQ(PortRead(&byte, 1, 1), 0);
}

TEST_F(SerialPty, AWriteIsBoundedByTheWriteConstant) {
    ASSERT_TRUE(OpenPort(slavePath.c_str()));
    ASSERT_TRUE(SetPortTimeouts(100, 200));
    // Nobody reads the master: the pty's buffers fill and the attempt runs out of time.
    std::vector<uint8_t> lots(4 << 20, 0x55);
    auto start = Clock::now();
    int32_t written = PortWrite(lots.data(), static_cast<uint32_t>(lots.size()));
    int64_t ms = MsSince(start);
    EXPECT_GT(written, 0);
    EXPECT_LT(written, static_cast<int32_t>(lots.size()));
    EXPECT_GE(ms, 150);
    EXPECT_LE(ms, 2000);
}

TEST_F(SerialPty, AHungUpLineFailsTheReadInsteadOfIdling) {
    ASSERT_TRUE(OpenPort(slavePath.c_str()));
    close(master);
    master = -1;
    uint8_t byte = 0;
    auto start = Clock::now();
    EXPECT_EQ(PortRead(&byte, 1, 5), -1);
    EXPECT_LT(MsSince(start), 80);
    EXPECT_EQ(PortLinkError(), EIO); // the terminal driver's own word for a hung-up line
}

// The bootloader's sync over the real line: an answering device, then a silent one.
TEST_F(SerialPty, SyncIsAnsweredOrGivenUpAfterFiveEmptyAttempts) {
    ASSERT_TRUE(OpenPort(slavePath.c_str()));
    std::thread device([this] {
        std::vector<uint8_t> sync = DrainMaster(master, 1, 2000);
        const uint8_t ack = 0x79;
        if (sync == std::vector<uint8_t>{0x7F}) {
            EXPECT_EQ(write(master, &ack, 1), 1);
        }
    });
    EXPECT_TRUE(BlSync());
    device.join();

    auto start = Clock::now();
    EXPECT_FALSE(BlSync());
    int64_t ms = MsSince(start);
    EXPECT_GE(ms, 550); // the 100 ms pause and five empty attempts of 100 ms
    EXPECT_LE(ms, 2000);
    EXPECT_EQ(DrainMaster(master, 1, 500), std::vector<uint8_t>{0x7F});
}

} // namespace
