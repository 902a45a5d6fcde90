// Portable half of the serial link: the open state and the transfer loops. The platform
// file (serial_win32.cpp, serial_posix.cpp) supplies one attempt at a time.
#include "engine/serial.h"

#include "engine/serial_platform.h"
#include "engine/status.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {
// Local ports go straight to the platform's primitives.
constexpr SerialTransport kLocalPort = {nullptr,         SysOpenPort,    SysConfigureLine,
                                        SysSetModemLine, SysSetTimeouts, SysReadAttempt,
                                        SysWriteAttempt, SysReadWaiting, SysClosePort,
                                        SysLastError,    SysErrorText,   SysErrorAdvice};

const SerialTransport* transports[4] = {};
// The transport of the open port, or of the last one opened (for its error texts).
const SerialTransport* via = &kLocalPort;

const SerialTransport* TransportFor(const char* portPath) {
    for (const SerialTransport* t : transports) {
        if (t != nullptr && std::strncmp(portPath, t->prefix, std::strlen(t->prefix)) == 0) {
            return t;
        }
    }
    return &kLocalPort;
}

SysPort portHandle = kNoPort;
int openError = 0;
int linkError = 0;
uint32_t openRate = kDefaultBaudRate;
// Bytes written since the last read began: until they have left the wire no answer can
// come, so the wait for one starts only then.
uint64_t unsentBytes = 0;

constexpr uint32_t kReadConstantMs = 100;
constexpr uint32_t kWriteConstantMs = 1000;

// The longest frame a run writes at once: count, 256 data bytes, checksum, with room over.
constexpr uint32_t kLongestFrameBytes = 261;

// Twice the longest frame's time on the wire, but never below the usual constant.
uint32_t WireMs(uint32_t n, uint32_t baudRate) {
    return static_cast<uint32_t>((uint64_t{n} * kBitsPerByte * 1000 + baudRate - 1) / baudRate);
}

uint32_t WriteConstantFor(const LineSettings& line) {
    return std::max<uint32_t>(kWriteConstantMs, 2 * WireMs(kLongestFrameBytes, line.baudRate));
}

bool OpenFailed() {
    openError = via->lastError();
    return false;
}

// A failed attempt: the port or the server went away. The first cause is the one kept.
int32_t LinkFailed() {
    linkError = linkError != 0 ? linkError : via->lastError();
    return -1;
}
} // namespace

void RegisterSerialTransport(const SerialTransport* transport) {
    for (const SerialTransport*& slot : transports) {
        if (slot == nullptr || slot == transport) {
            slot = transport;
            return;
        }
    }
}

bool BaudRateSupported(uint32_t baudRate) {
    return std::find(std::begin(kBaudRates), std::end(kBaudRates), baudRate) !=
           std::end(kBaudRates);
}

bool PortIsOpen() {
    return portHandle != kNoPort;
}

bool OpenPort(const char* portPath) {
    return OpenPort(portPath, LineSettings{});
}

bool OpenPort(const char* portPath, const LineSettings& line) {
    openError = 0;
    linkError = 0;
    if (PortIsOpen() || portPath == nullptr || !BaudRateSupported(line.baudRate)) {
        return false;
    }
    // Stored before configuring, so a port whose configuration fails is still released
    // by the caller's ClosePort.
    openRate = line.baudRate;
    unsentBytes = 0;
    via = TransportFor(portPath);
    portHandle = via->open(portPath);
    if (!PortIsOpen()) {
        return OpenFailed();
    }
    if (via->configureLine(portHandle, line) != 0) {
        return OpenFailed();
    }
    return SetPortTimeouts(kReadConstantMs, WriteConstantFor(line)) || OpenFailed();
}

int PortOpenError() {
    return openError;
}

void PortErrorText(int error, char* out, size_t outSize) {
    via->errorText(error, out, outSize);
}

void PortErrorAdvice(int error, char* out, size_t outSize) {
    via->errorAdvice(error, out, outSize);
}

int PortLinkError() {
    return linkError;
}

uint32_t PortWireMs(uint32_t n) {
    return WireMs(n, openRate);
}

int32_t PortDiscardInput(uint8_t* kept, uint32_t keepSize) {
    if (!PortIsOpen()) {
        return -1;
    }
    // Reading is far faster than any line fills: a few rounds empty what waits, and a
    // line that never stops (a talking board) cannot hold the caller here.
    constexpr int kRounds = 16;
    uint8_t chunk[256];
    int32_t total = 0;
    for (int round = 0; round < kRounds; ++round) {
        int32_t got = via->readWaiting(portHandle, chunk, sizeof chunk);
        if (got < 0) {
            return LinkFailed();
        }
        if (got == 0) {
            break;
        }
        for (int32_t i = 0; i < got && kept != nullptr && uint32_t(total + i) < keepSize; ++i) {
            kept[total + i] = chunk[i];
        }
        total += got;
    }
    return total;
}

bool SetModemLine(ModemLine line, bool asserted) {
    return PortIsOpen() && via->setModemLine(portHandle, line, asserted) == 0;
}

bool SetPortTimeouts(uint32_t readConstantMs, uint32_t writeConstantMs) {
    return PortIsOpen() && via->setTimeouts(portHandle, readConstantMs, writeConstantMs) == 0;
}

void ClosePort() {
    if (PortIsOpen()) {
        via->close(portHandle);
        portHandle = kNoPort;
    }
}

int32_t PortWrite(const void* bytes, uint32_t n) {
    if (!PortIsOpen()) {
        return -1;
    }
    const auto* p = static_cast<const uint8_t*>(bytes);
    uint32_t total = 0;
    for (;;) {
        int32_t written = via->writeAttempt(portHandle, p + total, n - total);
        if (written < 0) {
            return LinkFailed();
        }
        if (written == 0) {
            return static_cast<int32_t>(total);
        }
        total += static_cast<uint32_t>(written);
        unsentBytes += static_cast<uint32_t>(written);
        if (total >= n) {
            return static_cast<int32_t>(total);
        }
    }
}

namespace {

// The empty attempts a read may make beyond its idle limit while the bytes written
// before it are still on the wire: an empty attempt lasts the read constant. Whole
// attempts only, so that at 115200 baud, where a frame takes under 25 ms, nothing
// changes.
int32_t WireAttempts() {
    const uint64_t wireMs = unsentBytes * kBitsPerByte * 1000 / openRate;
    unsentBytes = 0;
    return static_cast<int32_t>(wireMs / kReadConstantMs);
}

} // namespace

int32_t PortRead(void* buf, uint32_t n, int32_t idleLimit) {
    if (!PortIsOpen()) {
        return -1;
    }
    auto* p = static_cast<uint8_t*>(buf);
    uint32_t total = 0;
    const int32_t onTheWire = WireAttempts();
    int32_t idle = idleLimit > INT32_MAX - onTheWire ? idleLimit : idleLimit + onTheWire;
    for (;;) {
        StatusCallback callback = GetStatusCallback();
        if (callback != nullptr && callback(Poll, 0) != 0) {
            return 0; // an abort discards what came in this call
        }
        int32_t got = via->readAttempt(portHandle, p + total, n - total);
        if (got < 0) {
            return LinkFailed();
        }
        if (got == 0) {
            // Counts every empty attempt of the call, never reset by arriving bytes. Tested
            // before decreasing: a limit of INT32_MIN must not wrap round to INT32_MAX.
            if (idle <= 1) {
                return static_cast<int32_t>(total);
            }
            --idle;
        }
        total += static_cast<uint32_t>(got);
        if (total >= n) {
            return static_cast<int32_t>(total);
        }
    }
}

void PortSleepMs(uint32_t ms) {
    SysSleepMs(ms);
}
