// Fake of the serial platform primitives (engine/serial_platform.h) for tests.
//
// Two ways to answer the host: a script of read-attempt results queued by the test, or a
// peer (such as the device model) that sees every write attempt and answers every read
// attempt. With neither, read attempts come back empty.
//
// Nothing here waits: an empty read attempt stands for the read constant elapsing and a
// sleep is only recorded, so a test of five silent answers runs in microseconds.
//
// Every primitive call is logged to one transcript, a text of space-separated tokens:
//   open / configure / timeouts(R,W) / close   the port calls, in order
//   ~MS          a sleep of MS milliseconds
//   >7F02FD      a write attempt and every byte it was offered, upper-case hex
//   >0102=1      a write attempt that took only 1 of the bytes offered (=0: none, =!: failed)
//   <79          a read attempt and the bytes it returned
//   <.           an empty read attempt          <!   a failed read attempt
//   ?            a Poll (logged by the test's own status callback through FakeNotePoll)
//   rts+ dtr-    a modem line asserted (+) or cleared (-)
//   -79          bytes that had arrived unasked, taken without waiting (a drain); a
//                drain that finds nothing is not logged
// A configure at a rate other than the default logs it: "configure(57600)".
// A failed open logs "open!", a refused configure "configure!", refused time-outs
// "timeouts!". Example, a successful sync with polling: "~100 >7F ? <79".
#pragma once
#include "engine/serial.h"

#include <cstdint>
#include <string>
#include <vector>

struct FakePeer {
    // Every byte the host wrote, per write attempt, in order.
    void (*onWrite)(const uint8_t* bytes, uint32_t n);
    // One read attempt: store up to n bytes; return the count (0 = empty attempt, which
    // stands for the read constant elapsing) or -1 for a failed attempt.
    int32_t (*onRead)(uint8_t* buf, uint32_t n);
    // The platform pause (the 100 ms before every sync byte).
    void (*onSleep)(uint32_t ms);
    // The port was opened (after a successful SysOpenPort) / closed.
    void (*onOpen)();
    void (*onClose)();
    // A modem line was asserted or cleared (null: nothing to tell).
    void (*onModem)(ModemLine line, bool asserted);
    // Bytes that have already arrived, taken without waiting: as onRead, but never
    // standing for time passing (null: none ever wait).
    int32_t (*onReadWaiting)(uint8_t* buf, uint32_t n);
};

// Back to the start state: closed, no peer, empty script, counters zero, no failures.
// Call ClosePort() first: the link's own handle is not the fake's to forget.
void FakeReset();

// Hands every transfer to peer (nullptr: back to the script). The struct must outlive use.
// Null members are allowed: writes are then dropped, reads come back empty. Scripted write
// limits (FakeQueueWrite) still apply with a peer; the peer sees only the bytes taken.
void FakeSetPeer(const FakePeer* peer);

// ---- Script of read attempts (used when no peer is set) ----
// Bytes that arrive on the line. A read attempt returns the bytes of the first queued
// arrival, at most as many as it asks for; the rest stay waiting for the next attempt.
void FakeQueueRead(const std::vector<uint8_t>& bytes);
// count read attempts that find nothing (each stands for the read constant elapsing).
void FakeQueueEmpty(int count = 1);
// One read attempt that fails (-1).
void FakeQueueReadFailure();
// Bytes that have arrived before the next read or drain: a drain (SysReadWaiting) takes
// them, a read attempt too; queued read entries are otherwise never taken by a drain,
// since in a script they arrive only when read.
void FakeQueueStray(const std::vector<uint8_t>& bytes);
// Read attempts beyond the script are empty.
size_t FakeQueuedReads(); // script entries not consumed yet

// ---- Write attempts ----
// The next write attempts, in queue order, take at most limit bytes each: a short write
// (0 < limit < n), nothing (0) or a failed attempt (-1); a limit of n or more (INT32_MAX)
// takes all, to reach a later attempt. Unscripted attempts take all.
void FakeQueueWrite(int32_t limit);

// ---- Port failures (persist until FakeReset) ----
void FakeFailOpen(bool fail = true);
void FakeFailConfigure(bool fail = true);
void FakeFailTimeouts(bool fail = true);
// The error number SysLastError reports after a failure (default 2).
void FakeSetLastError(int error);
// Modem line calls fail, as on a port without them.
void FakeFailModemLines(bool fail = true);

// ---- What happened ----
struct FakeWriteAttempt {
    std::vector<uint8_t> offered; // the bytes handed to the attempt
    int32_t result;               // bytes taken, or -1
};
struct FakeReadAttempt {
    uint32_t asked; // room offered by the caller
    int32_t result; // bytes returned, 0 empty, -1 failed
};
struct FakeCounts {
    int opens;                // successful SysOpenPort calls
    int openTries;            // all SysOpenPort calls
    int closes;               // SysClosePort calls on the open handle
    int configures;           // SysConfigureLine calls
    int timeouts;             // SysSetTimeouts calls
    int strayCalls;           // primitive calls on a handle that is not the open one
    uint32_t readConstantMs;  // last time-outs applied
    uint32_t writeConstantMs; //
    std::string openPath;     // path of the last SysOpenPort call
    uint32_t baudRate;        // rate of the last SysConfigureLine call
};

const std::string& FakeTranscript();
void FakeClearTranscript(); // keeps script, counts and port state
const std::vector<FakeWriteAttempt>& FakeWrites();
const std::vector<FakeReadAttempt>& FakeReads();
const std::vector<uint32_t>& FakeSleeps();
const FakeCounts& FakeGetCounts();
// Every byte the write attempts took, in order.
std::vector<uint8_t> FakeWrittenBytes();
bool FakePortOpen();

// For a test's status callback: logs "?" so polls show in order with the attempts.
void FakeNotePoll();
