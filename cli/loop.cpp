// One port's production line: see loop.h.
#include "cli/loop.h"

#include "cli/signals.h"
#include "engine/program.h"
#include "engine/status.h"

#include <chrono>
#include <cstdio>

namespace {

using Clock = std::chrono::steady_clock;

// A single poll's answer window: a bootloader answers a sync byte within a millisecond,
// a port server within a round trip.
constexpr int32_t kPollIdleLimit = 1;
constexpr uint32_t kHoldByteMs = 20;

// A bootloader's answer is one or two bytes, each ACK or NACK; a running firmware's
// chatter (which may contain 0x79, the letter 'y') is more than that.
bool IsBootloaderAnswer(const uint8_t* bytes, int32_t count) {
    if (count < 1 || count > 2) {
        return false;
    }
    for (int32_t i = 0; i < count; ++i) {
        if (bytes[i] != kAck && bytes[i] != kNack) {
            return false;
        }
    }
    return true;
}

// One poll: 1 when a bootloader answered, 0 when nothing did, -1 when the port failed.
int PollOnce() {
    const uint8_t sync = kSyncByte;
    PortDiscardInput();
    if (PortWrite(&sync, 1) != 1) {
        return -1;
    }
    uint8_t answer[16];
    int32_t got = PortRead(answer, sizeof answer, kPollIdleLimit);
    if (got < 0) {
        return -1;
    }
    return IsBootloaderAnswer(answer, got) ? 1 : 0;
}

double Since(Clock::time_point from) {
    return std::chrono::duration<double>(Clock::now() - from).count();
}

// The port for waiting, opened, or false after telling why it cannot be.
bool OpenForWaiting(const LoopSetup& setup) {
    if (OpenPort(setup.portPath.c_str(), setup.line)) {
        // Held where the port has modem lines (a pty and some servers have none).
        const PinWiring& boot0 = setup.boot.boot0;
        if (boot0.used) {
            static_cast<void>(SetModemLine(boot0.line, !boot0.inverted));
        }
        return true;
    }
    char reason[256] = "";
    PortErrorText(PortOpenError(), reason, sizeof reason);
    std::fprintf(stderr, "zuva-flash: %s cannot be opened any more (%s); this port's line ends\n",
                 setup.portPath.c_str(), reason[0] != '\0' ? reason : "no reason given");
    ClosePort();
    return false;
}

// Waits on the port until a board is there (or has gone); the port is closed after. A
// port that fails is opened again once: a port that is still there goes on waiting, one
// that has gone (an adapter unplugged, a server stopped) is named with the system's reason.
Presence Await(const LoopSetup& setup, bool wantPresent) {
    Presence found = Presence::PortLost;
    int error = 0;
    for (int attempt = 0; attempt < 2 && found == Presence::PortLost; ++attempt) {
        if (attempt > 0) {
            PortSleepMs(kPollPeriodMs);
        }
        if (!OpenForWaiting(setup)) {
            return Presence::PortLost;
        }
        found = AwaitBoard(wantPresent);
        error = PortLinkError();
        ClosePort();
    }
    if (found == Presence::PortLost) {
        char reason[256] = "";
        PortErrorText(error, reason, sizeof reason);
        std::fprintf(stderr,
                     "zuva-flash: %s failed while waiting for a board, also after opening it "
                     "again (%s); this port's line ends\n",
                     setup.portPath.c_str(), reason[0] != '\0' ? reason : "no reason given");
    }
    return found;
}

// Ctrl-C, a stop signal, or the parent gone: the front end's status callback says so.
bool StopAsked() {
    StatusCallback callback = GetStatusCallback();
    return InterruptRequested() || (callback != nullptr && callback(Poll, 0) != 0);
}

void Record(const char* text) {
    std::printf("%s\n", text);
    std::fflush(stdout);
}

} // namespace

Presence AwaitBoard(bool wantPresent) {
    Clock::time_point lastAnswer = Clock::now();
    while (!StopAsked()) {
        Clock::time_point pollStart = Clock::now();
        int answered = PollOnce();
        if (answered < 0) {
            return StopAsked() ? Presence::Stopped : Presence::PortLost;
        }
        if (answered > 0 && wantPresent) {
            // One more sync byte for the bootloader to hold: the run's first one then
            // completes a pair and is answered at once, not after a silence. It must be on
            // the wire before the port closes, which drops what is still queued (a USB
            // adapter sends at its latency timer, 16 ms at most).
            const uint8_t sync = kSyncByte;
            if (PortWrite(&sync, 1) != 1) {
                return Presence::PortLost;
            }
            PortSleepMs(PortWireMs(1) + kHoldByteMs);
            return Presence::Changed;
        }
        lastAnswer = answered > 0 ? Clock::now() : lastAnswer;
        if (!wantPresent && Since(lastAnswer) >= kGoneSeconds) {
            return Presence::Changed;
        }
        double spentMs = Since(pollStart) * 1000;
        if (spentMs < kPollPeriodMs) {
            PortSleepMs(static_cast<uint32_t>(kPollPeriodMs - spentMs));
        }
    }
    return Presence::Stopped;
}

int RunBoardLoop(const LoopSetup& setup, BoardRun runBoard) {
    Record("@waiting");
    for (uint32_t board = 1; setup.count == 0 || board <= setup.count; ++board) {
        Presence found = Await(setup, true);
        if (found != Presence::Changed) {
            return found == Presence::Stopped ? 0 : static_cast<int>(kResultCantOpenPort >> 16);
        }
        Clock::time_point start = Clock::now();
        bool endLine = false;
        int status = runBoard(&endLine);
        if (endLine) {
            return status;
        }
        char record[64];
        std::snprintf(record, sizeof record, "@board %d %.2f", status, Since(start));
        Record(record);
        if (StopAsked() || (setup.count != 0 && board == setup.count)) {
            return 0;
        }
        Record("@waiting"); // from the board's result until the next one is in
        found = Await(setup, false);
        if (found != Presence::Changed) {
            return found == Presence::Stopped ? 0 : static_cast<int>(kResultCantOpenPort >> 16);
        }
    }
    return 0;
}
