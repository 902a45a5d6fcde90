// The serial platform primitives faked: a scripted line or a peer, and a log of every call.
#include "tests/fakes/fake_serial.h"

#include "engine/serial_platform.h"

#include <algorithm>
#include <cstdio>
#include <deque>

namespace {

enum class ReadKind { Bytes, Empty, Failure, Stray };
struct ScriptedRead {
    ReadKind kind;
    std::vector<uint8_t> bytes; // for Bytes: what still waits of this arrival
};

struct FakeState {
    const FakePeer* peer = nullptr;
    std::deque<ScriptedRead> reads;
    std::deque<int32_t> writeLimits;
    bool failOpen = false;
    bool failConfigure = false;
    bool failTimeouts = false;
    bool failModem = false;
    int lastError = 2;
    SysPort openHandle = kNoPort;
    SysPort nextHandle = 100;
    std::string transcript;
    std::vector<FakeWriteAttempt> writes;
    std::vector<FakeReadAttempt> readLog;
    std::vector<uint32_t> sleeps;
    FakeCounts counts{};
};

FakeState state;

void Log(const std::string& token) {
    if (!state.transcript.empty()) {
        state.transcript += ' ';
    }
    state.transcript += token;
}

std::string Hex(const uint8_t* bytes, uint32_t n) {
    std::string text;
    char pair[3];
    for (uint32_t i = 0; i < n; ++i) {
        std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
        text += pair;
    }
    return text;
}

// A primitive called on anything but the open handle is a fault of the code under test.
bool IsOpenHandle(SysPort port) {
    if (port == kNoPort || port != state.openHandle) {
        ++state.counts.strayCalls;
        return false;
    }
    return true;
}

int32_t ScriptedReadAttempt(uint8_t* buf, uint32_t n) {
    if (state.reads.empty()) {
        return 0;
    }
    ScriptedRead& next = state.reads.front();
    if (next.kind != ReadKind::Bytes && next.kind != ReadKind::Stray) {
        int32_t result = next.kind == ReadKind::Empty ? 0 : -1;
        state.reads.pop_front();
        return result;
    }
    uint32_t take = std::min<uint32_t>(n, static_cast<uint32_t>(next.bytes.size()));
    std::copy_n(next.bytes.begin(), take, buf);
    next.bytes.erase(next.bytes.begin(), next.bytes.begin() + take);
    if (next.bytes.empty()) {
        state.reads.pop_front();
    }
    return static_cast<int32_t>(take);
}

int32_t PeerReadAttempt(uint8_t* buf, uint32_t n) {
    if (state.peer->onRead == nullptr) {
        return 0;
    }
    int32_t got = state.peer->onRead(buf, n);
    return std::clamp<int32_t>(got, -1, static_cast<int32_t>(n));
}

void LogRead(const uint8_t* buf, int32_t got) {
    if (got < 0) {
        Log("<!");
    } else if (got == 0) {
        Log("<.");
    } else {
        Log("<" + Hex(buf, static_cast<uint32_t>(got)));
    }
}

} // namespace

// ---- The primitives ----

SysPort SysOpenPort(const char* portPath) {
    ++state.counts.openTries;
    state.counts.openPath = portPath != nullptr ? portPath : "";
    if (state.failOpen || state.openHandle != kNoPort) {
        Log("open!");
        return kNoPort;
    }
    state.openHandle = state.nextHandle++;
    ++state.counts.opens;
    Log("open");
    if (state.peer != nullptr && state.peer->onOpen != nullptr) {
        state.peer->onOpen();
    }
    return state.openHandle;
}

int SysConfigureLine(SysPort port, const LineSettings& line) {
    ++state.counts.configures;
    state.counts.baudRate = line.baudRate;
    if (!IsOpenHandle(port) || state.failConfigure) {
        Log("configure!");
        return 1;
    }
    Log(line.baudRate == kDefaultBaudRate ? "configure"
                                          : "configure(" + std::to_string(line.baudRate) + ")");
    return 0;
}

int SysLastError() {
    return state.lastError;
}

void SysErrorText(int error, char* out, size_t outSize) {
    std::snprintf(out, outSize, "error %d", error);
}

void SysErrorAdvice(int error, char* out, size_t outSize) {
    std::snprintf(out, outSize, "Advice for %d.", error);
}

int SysSetModemLine(SysPort port, ModemLine line, bool asserted) {
    std::string token =
        std::string(line == ModemLine::Rts ? "rts" : "dtr") + (asserted ? "+" : "-");
    if (!IsOpenHandle(port) || state.failModem) {
        Log(token + "!");
        return 1;
    }
    Log(token);
    if (state.peer != nullptr && state.peer->onModem != nullptr) {
        state.peer->onModem(line, asserted);
    }
    return 0;
}

int SysSetTimeouts(SysPort port, uint32_t readConstantMs, uint32_t writeConstantMs) {
    ++state.counts.timeouts;
    if (!IsOpenHandle(port) || state.failTimeouts) {
        Log("timeouts!");
        return 1;
    }
    state.counts.readConstantMs = readConstantMs;
    state.counts.writeConstantMs = writeConstantMs;
    Log("timeouts(" + std::to_string(readConstantMs) + "," + std::to_string(writeConstantMs) + ")");
    return 0;
}

int32_t SysReadAttempt(SysPort port, void* buf, uint32_t n) {
    auto* bytes = static_cast<uint8_t*>(buf);
    int32_t got = -1;
    if (IsOpenHandle(port)) {
        got = state.peer != nullptr ? PeerReadAttempt(bytes, n) : ScriptedReadAttempt(bytes, n);
    }
    state.readLog.push_back({n, got});
    LogRead(bytes, got);
    return got;
}

int32_t SysWriteAttempt(SysPort port, const void* bytes, uint32_t n) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    int32_t taken = static_cast<int32_t>(n);
    if (!IsOpenHandle(port)) {
        taken = -1;
    } else if (!state.writeLimits.empty()) {
        taken = std::min(taken, state.writeLimits.front());
        state.writeLimits.pop_front();
    }
    state.writes.push_back({std::vector<uint8_t>(p, p + n), taken});
    std::string token = ">" + Hex(p, n);
    if (taken < 0) {
        token += "=!";
    } else if (static_cast<uint32_t>(taken) < n) {
        token += "=" + std::to_string(taken);
    }
    Log(token);
    if (taken > 0 && state.peer != nullptr && state.peer->onWrite != nullptr) {
        state.peer->onWrite(p, static_cast<uint32_t>(taken));
    }
    return taken;
}

int32_t SysReadWaiting(SysPort port, void* buf, uint32_t n) {
    if (!IsOpenHandle(port)) {
        Log("-!");
        return -1;
    }
    auto* bytes = static_cast<uint8_t*>(buf);
    int32_t got = 0;
    if (state.peer != nullptr) {
        got = state.peer->onReadWaiting != nullptr ? state.peer->onReadWaiting(bytes, n) : 0;
    } else if (!state.reads.empty() && state.reads.front().kind == ReadKind::Stray) {
        got = ScriptedReadAttempt(bytes, n);
    }
    if (got != 0) {
        Log(got < 0 ? "-!" : "-" + Hex(bytes, static_cast<uint32_t>(got)));
    }
    return got;
}

void SysClosePort(SysPort port) {
    if (!IsOpenHandle(port)) {
        Log("close!");
        return;
    }
    state.openHandle = kNoPort;
    ++state.counts.closes;
    Log("close");
    if (state.peer != nullptr && state.peer->onClose != nullptr) {
        state.peer->onClose();
    }
}

void SysSleepMs(uint32_t ms) {
    state.sleeps.push_back(ms);
    Log("~" + std::to_string(ms));
    if (state.peer != nullptr && state.peer->onSleep != nullptr) {
        state.peer->onSleep(ms);
    }
}

// ---- The test side ----

void FakeReset() {
    // Handle numbers keep counting, so a handle kept from before the reset is stray.
    SysPort nextHandle = state.nextHandle;
    state = FakeState{};
    state.nextHandle = nextHandle;
}

void FakeSetPeer(const FakePeer* peer) {
    state.peer = peer;
}

void FakeQueueRead(const std::vector<uint8_t>& bytes) {
    if (!bytes.empty()) {
        state.reads.push_back({ReadKind::Bytes, bytes});
    }
}

void FakeQueueEmpty(int count) {
    for (int i = 0; i < count; ++i) {
        state.reads.push_back({ReadKind::Empty, {}});
    }
}

void FakeQueueReadFailure() {
    state.reads.push_back({ReadKind::Failure, {}});
}

void FakeQueueStray(const std::vector<uint8_t>& bytes) {
    state.reads.push_back({ReadKind::Stray, bytes});
}

size_t FakeQueuedReads() {
    return state.reads.size();
}

void FakeQueueWrite(int32_t limit) {
    state.writeLimits.push_back(limit < 0 ? -1 : limit);
}

void FakeFailOpen(bool fail) {
    state.failOpen = fail;
}

void FakeFailConfigure(bool fail) {
    state.failConfigure = fail;
}

void FakeFailTimeouts(bool fail) {
    state.failTimeouts = fail;
}

void FakeSetLastError(int error) {
    state.lastError = error;
}

void FakeFailModemLines(bool fail) {
    state.failModem = fail;
}

const std::string& FakeTranscript() {
    return state.transcript;
}

void FakeClearTranscript() {
    state.transcript.clear();
}

const std::vector<FakeWriteAttempt>& FakeWrites() {
    return state.writes;
}

const std::vector<FakeReadAttempt>& FakeReads() {
    return state.readLog;
}

const std::vector<uint32_t>& FakeSleeps() {
    return state.sleeps;
}

const FakeCounts& FakeGetCounts() {
    return state.counts;
}

std::vector<uint8_t> FakeWrittenBytes() {
    std::vector<uint8_t> all;
    for (const FakeWriteAttempt& attempt : state.writes) {
        if (attempt.result > 0) {
            all.insert(all.end(), attempt.offered.begin(),
                       attempt.offered.begin() + attempt.result);
        }
    }
    return all;
}

bool FakePortOpen() {
    return state.openHandle != kNoPort;
}

void FakeNotePoll() {
    Log("?");
}
