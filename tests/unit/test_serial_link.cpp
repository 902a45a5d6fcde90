// The portable serial link (open state, write loop, read loop with idle counting and
// polling) against the scripted fake primitives.
#include "engine/serial.h"
#include "engine/serial_platform.h"
#include "engine/status.h"
#include "tests/fakes/fake_serial.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

int pollsUntilAbort = -1; // abort on this poll (1 = first); -1 never

int LoggingPoll(int kind, intptr_t value) {
    EXPECT_EQ(kind, Poll);
    EXPECT_EQ(value, 0);
    FakeNotePoll();
    return (pollsUntilAbort > 0 && --pollsUntilAbort == 0) ? 1 : 0;
}

class SerialLink : public ::testing::Test {
  protected:
    void SetUp() override {
        ClosePort();
        FakeReset();
        pollsUntilAbort = -1;
        SetStatusCallback(LoggingPoll);
    }
    void TearDown() override { ClosePort(); }

    // Open and forget the open's own calls, so the transcript holds only what follows.
    void OpenQuietly() {
        ASSERT_TRUE(OpenPort("\\\\.\\COM3"));
        FakeClearTranscript();
    }
};

TEST_F(SerialLink, OpenConfiguresThenSetsTheTimeouts) {
    EXPECT_TRUE(OpenPort("\\\\.\\COM3"));
    EXPECT_TRUE(PortIsOpen());
    EXPECT_EQ(FakeTranscript(), "open configure timeouts(100,1000)");
    EXPECT_EQ(FakeGetCounts().openPath, "\\\\.\\COM3");
}

TEST_F(SerialLink, SecondOpenIsRefusedAndLeavesTheFirstUsable) {
    OpenQuietly();
    EXPECT_FALSE(OpenPort("\\\\.\\COM4"));
    EXPECT_EQ(FakeGetCounts().openTries, 1); // refused before the platform was asked
    EXPECT_TRUE(PortIsOpen());
    const uint8_t byte = 0x7F;
    EXPECT_EQ(PortWrite(&byte, 1), 1);
    EXPECT_EQ(FakeTranscript(), ">7F");
}

TEST_F(SerialLink, NoPathNoOpen) {
    EXPECT_FALSE(OpenPort(nullptr));
    EXPECT_FALSE(PortIsOpen());
    EXPECT_EQ(FakeGetCounts().openTries, 0);
}

TEST_F(SerialLink, FailedOpenLeavesTheLinkClosedAndCloseDoesNothing) {
    FakeFailOpen();
    EXPECT_FALSE(OpenPort("\\\\.\\COM9"));
    EXPECT_FALSE(PortIsOpen());
    ClosePort();
    EXPECT_EQ(FakeTranscript(), "open!");
    EXPECT_EQ(FakeGetCounts().configures, 0);
}

// Configuration that stops half-way keeps the handle, so the caller's ClosePort frees it.
TEST_F(SerialLink, FailedConfigurationKeepsThePortUntilClosePort) {
    struct Case {
        void (*fail)(bool);
        const char* transcript;
    };
    const Case cases[] = {
        {FakeFailConfigure, "open configure!"},
        {FakeFailTimeouts, "open configure timeouts!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.transcript);
        ClosePort();
        FakeReset();
        c.fail(true);
        EXPECT_FALSE(OpenPort("\\\\.\\COM3"));
        EXPECT_EQ(FakeTranscript(), c.transcript);
        EXPECT_TRUE(PortIsOpen());
        EXPECT_TRUE(FakePortOpen());
        EXPECT_FALSE(OpenPort("\\\\.\\COM3")); // still held
        EXPECT_EQ(FakeGetCounts().openTries, 1);
        ClosePort();
        EXPECT_FALSE(FakePortOpen());
        c.fail(false);
        EXPECT_TRUE(OpenPort("\\\\.\\COM3"));
    }
}

TEST_F(SerialLink, CloseTwiceClosesOnce) {
    OpenQuietly();
    ClosePort();
    ClosePort();
    EXPECT_EQ(FakeGetCounts().closes, 1);
    EXPECT_EQ(FakeGetCounts().strayCalls, 0);
    EXPECT_FALSE(PortIsOpen());
}

TEST_F(SerialLink, NothingMovesWithoutAPort) {
    uint8_t buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(PortWrite(buf, 4), -1);
    EXPECT_EQ(PortRead(buf, 4, 5), -1);
    EXPECT_FALSE(SetPortTimeouts(100, 1000));
    EXPECT_EQ(FakeTranscript(), ""); // no attempt, no poll, no time-outs call
}

TEST_F(SerialLink, SetPortTimeoutsPassesBothConstants) {
    OpenQuietly();
    EXPECT_TRUE(SetPortTimeouts(250, 40));
    EXPECT_EQ(FakeGetCounts().readConstantMs, 250u);
    EXPECT_EQ(FakeGetCounts().writeConstantMs, 40u);
    FakeFailTimeouts();
    EXPECT_FALSE(SetPortTimeouts(100, 1000));
}

// ---- PortWrite ----

TEST_F(SerialLink, WriteOfNothingReturnsZero) {
    OpenQuietly();
    EXPECT_EQ(PortWrite("", 0), 0);
}

TEST_F(SerialLink, ShortAttemptsAreContinuedFromWhereTheyStopped) {
    OpenQuietly();
    const uint8_t bytes[6] = {0x31, 0xCE, 0x08, 0x00, 0x00, 0x08};
    FakeQueueWrite(2);
    FakeQueueWrite(3);
    EXPECT_EQ(PortWrite(bytes, 6), 6);
    EXPECT_EQ(FakeTranscript(), ">31CE08000008=2 >08000008=3 >08");
    EXPECT_EQ(FakeWrittenBytes(), std::vector<uint8_t>(bytes, bytes + 6));
}

TEST_F(SerialLink, AnAttemptThatTakesNothingEndsTheWriteWithTheCountSoFar) {
    OpenQuietly();
    const uint8_t bytes[4] = {1, 2, 3, 4};
    FakeQueueWrite(1);
    FakeQueueWrite(0);
    EXPECT_EQ(PortWrite(bytes, 4), 1);
    EXPECT_EQ(FakeWrites().size(), 2u);
}

TEST_F(SerialLink, AFailedAttemptFailsTheWholeWrite) {
    OpenQuietly();
    const uint8_t bytes[4] = {1, 2, 3, 4};
    FakeQueueWrite(3);
    FakeQueueWrite(-1);
    FakeSetLastError(32);
    EXPECT_EQ(PortWrite(bytes, 4), -1); // even though 3 bytes went
    EXPECT_TRUE(PortIsOpen());
    EXPECT_EQ(PortLinkError(), 32); // the port went away: its cause is kept for the run
}

// ---- PortRead ----

TEST_F(SerialLink, IdleAllowanceCountsEveryEmptyAttemptOfTheCall) {
    OpenQuietly();
    FakeQueueEmpty(2);
    FakeQueueRead({0xA1});
    FakeQueueEmpty(2);
    FakeQueueRead({0xA2});
    FakeQueueEmpty(2);
    FakeQueueRead({0xA3});
    uint8_t buf[3] = {};
    EXPECT_EQ(PortRead(buf, 3, 5), 2);
    EXPECT_EQ(FakeTranscript(), "? <. ? <. ? <A1 ? <. ? <. ? <A2 ? <.");
    EXPECT_EQ(buf[0], 0xA1);
    EXPECT_EQ(buf[1], 0xA2);
    EXPECT_EQ(FakeQueuedReads(), 2u); // one empty attempt and the third byte never read
}

// The wait for an answer starts once the bytes written before it have left the wire: an
// empty attempt more for every read constant (100 ms) they take at the open rate, counted
// for the first read after the writes only.
TEST_F(SerialLink, TheWaitStartsWhenTheBytesHaveLeftTheWire) {
    const struct {
        uint32_t rate;
        uint32_t bytes;
        size_t attempts;
    } cases[] = {
        {115200, 258, 5}, // 24.6 ms
        {9600, 258, 7},   // 295.6 ms
        {1200, 258, 28},  // 2365 ms
        {1200, 2, 5},     // 18.3 ms
    };
    const std::vector<uint8_t> frame(258, 0x5A);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rate);
        ClosePort();
        LineSettings line;
        line.baudRate = c.rate;
        ASSERT_TRUE(OpenPort("\\\\.\\COM3", line));
        ASSERT_EQ(PortWrite(frame.data(), c.bytes), static_cast<int32_t>(c.bytes));
        for (size_t expected : {c.attempts, size_t{5}}) {
            FakeClearTranscript();
            uint8_t answer = 0;
            EXPECT_EQ(PortRead(&answer, 1, 5), 0);
            const std::string transcript = FakeTranscript();
            size_t empty = 0;
            for (size_t at = transcript.find("<."); at != std::string::npos;
                 at = transcript.find("<.", at + 1)) {
                ++empty;
            }
            EXPECT_EQ(empty, expected);
        }
    }
}

TEST_F(SerialLink, IdleLimitOfOneOrLessMakesExactlyOneAttempt) {
    for (int32_t limit : {1, 0, -1, INT32_MIN}) {
        SCOPED_TRACE(limit);
        FakeClearTranscript();
        ClosePort();
        OpenQuietly();
        uint8_t byte = 0;
        EXPECT_EQ(PortRead(&byte, 1, limit), 0);
        EXPECT_EQ(FakeTranscript(), "? <.");
    }
}

TEST_F(SerialLink, AWaitingByteIsReadInOneAttempt) {
    OpenQuietly();
    FakeQueueRead({0x79});
    uint8_t byte = 0;
    EXPECT_EQ(PortRead(&byte, 1, 5), 1);
    EXPECT_EQ(byte, 0x79);
    EXPECT_EQ(FakeTranscript(), "? <79");
}

TEST_F(SerialLink, EachAttemptAsksOnlyForTheMissingBytes) {
    OpenQuietly();
    FakeQueueRead({1, 2});
    FakeQueueRead({3, 4, 5, 6});
    uint8_t buf[5] = {};
    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(PortRead(buf, 4, 5), 4);
    ASSERT_EQ(FakeReads().size(), 2u);
    EXPECT_EQ(FakeReads()[0].asked, 4u);
    EXPECT_EQ(FakeReads()[1].asked, 2u);
    EXPECT_EQ(buf[3], 4);
    EXPECT_EQ(buf[4], 0xEE); // nothing stored beyond n
}

TEST_F(SerialLink, AFailedAttemptFailsTheReadEvenAfterBytes) {
    OpenQuietly();
    FakeQueueRead({0x01});
    FakeQueueReadFailure();
    FakeQueueReadFailure();
    uint8_t buf[3] = {};
    FakeSetLastError(5);
    EXPECT_EQ(PortRead(buf, 3, 5), -1);
    EXPECT_TRUE(PortIsOpen());
    FakeSetLastError(6);
    EXPECT_EQ(PortRead(buf, 3, 5), -1);
    EXPECT_EQ(PortLinkError(), 5); // the first cause is the one kept ...
    ClosePort();
    OpenQuietly();
    EXPECT_EQ(PortLinkError(), 0); // ... until the next open
}

// ---- PortDiscardInput ----

// Takes what has arrived without waiting, counts it and keeps the first bytes to show;
// never takes what a script lets arrive only when read.
TEST_F(SerialLink, DiscardTakesOnlyWhatWaitsAndCountsIt) {
    OpenQuietly();
    std::vector<uint8_t> stray(300, 0x55);
    stray[0] = 0x79;
    FakeQueueStray(stray);
    FakeQueueRead({0x1F});
    uint8_t kept[4] = {};
    EXPECT_EQ(PortDiscardInput(kept, sizeof kept), 300);
    EXPECT_EQ(std::vector<uint8_t>(kept, kept + 4), (std::vector<uint8_t>{0x79, 0x55, 0x55, 0x55}));
    EXPECT_EQ(PortDiscardInput(), 0);
    uint8_t answer = 0;
    EXPECT_EQ(PortRead(&answer, 1, 1), 1);
    EXPECT_EQ(answer, 0x1F);
    EXPECT_EQ(FakeTranscript().substr(0, 2), "-7");
    ClosePort();
    EXPECT_EQ(PortDiscardInput(), -1);
}

TEST_F(SerialLink, AbortOnTheFirstPollMakesNoAttempt) {
    OpenQuietly();
    FakeQueueRead({0x79});
    pollsUntilAbort = 1;
    uint8_t byte = 0;
    EXPECT_EQ(PortRead(&byte, 1, 5), 0);
    EXPECT_EQ(FakeTranscript(), "?");
    EXPECT_TRUE(FakeReads().empty());
}

TEST_F(SerialLink, AbortDiscardsTheBytesAlreadyRead) {
    OpenQuietly();
    FakeQueueRead({0x01});
    FakeQueueRead({0x04});
    FakeQueueRead({0x10});
    pollsUntilAbort = 3;
    uint8_t buf[3] = {};
    EXPECT_EQ(PortRead(buf, 3, 5), 0); // not 2
    EXPECT_EQ(FakeTranscript(), "? <01 ? <04 ?");
}

// ---- The fake's peer hook, which the device tests build on ----

std::vector<uint8_t> peerGot;
std::string peerEvents;

const FakePeer kRecordingPeer = {
    [](const uint8_t* bytes, uint32_t n) { peerGot.insert(peerGot.end(), bytes, bytes + n); },
    [](uint8_t* buf, uint32_t n) -> int32_t {
        peerEvents += "r" + std::to_string(n);
        buf[0] = 0x79;
        return 1;
    },
    [](uint32_t ms) { peerEvents += "s" + std::to_string(ms); },
    [] { peerEvents += "o"; },
    [] { peerEvents += "c"; },
    nullptr,
    nullptr,
};

TEST_F(SerialLink, APeerSeesOnlyTheBytesTakenAndAnswersEveryAttempt) {
    peerGot.clear();
    peerEvents.clear();
    FakeSetPeer(&kRecordingPeer);
    OpenQuietly();
    const uint8_t frame[3] = {0x43, 0xBC, 0xFF};
    FakeQueueWrite(1);
    FakeQueueWrite(0);
    EXPECT_EQ(PortWrite(frame, 3), 1);
    EXPECT_EQ(peerGot, std::vector<uint8_t>{0x43});
    uint8_t buf[2] = {};
    EXPECT_EQ(PortRead(buf, 2, 5), 2);
    SysSleepMs(100);
    ClosePort();
    EXPECT_EQ(peerEvents, "or2r1s100c");
    EXPECT_EQ(FakeTranscript(), ">43BCFF=1 >BCFF=0 ? <79 ? <79 ~100 close");

    FakeSetPeer(nullptr); // back to the script: nothing queued, so silence
    ASSERT_TRUE(OpenPort("COM1"));
    EXPECT_EQ(PortRead(buf, 1, 1), 0);
    EXPECT_EQ(peerEvents, "or2r1s100c");
}

} // namespace
