// Fake of the serial platform primitives (engine/serial_platform.h) for tests.
//
// Two ways to answer the host: a script of read-attempt results queued by the test, or a
// peer (such as the device model) that sees every write attempt and answers every read
// attempt. With neither, read attempts come back empty.
#pragma once
#include <cstdint>
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
};

// Back to the start state: closed, no peer, empty script, counters zero, no failures.
void FakeReset();

// Hands every transfer to peer (nullptr: back to the script). The struct must outlive use.
void FakeSetPeer(const FakePeer* peer);
