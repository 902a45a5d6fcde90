// Portable half of the serial link: the open state and the transfer loops. The platform
// file (serial_win32.cpp, serial_posix.cpp) supplies one attempt at a time.
#include "engine/serial.h"

#include "engine/serial_platform.h"
#include "engine/status.h"

namespace {
SysPort portHandle = kNoPort;

constexpr uint32_t kReadConstantMs = 100;
constexpr uint32_t kWriteConstantMs = 1000;
} // namespace

bool PortIsOpen() {
    return portHandle != kNoPort;
}

int OpenPort(const char* portPath) {
    if (PortIsOpen() || portPath == nullptr) {
        return 1;
    }
    // Stored before configuring, so a port whose configuration fails is still released
    // by the caller's ClosePort.
    portHandle = SysOpenPort(portPath);
    if (!PortIsOpen()) {
        return 1;
    }
    if (SysConfigureLine(portHandle) != 0) {
        return 1;
    }
    return SetPortTimeouts(kReadConstantMs, kWriteConstantMs);
}

int SetPortTimeouts(uint32_t readConstantMs, uint32_t writeConstantMs) {
    if (!PortIsOpen()) {
        return 1;
    }
    return SysSetTimeouts(portHandle, readConstantMs, writeConstantMs) == 0 ? 0 : 1;
}

void ClosePort() {
    if (PortIsOpen()) {
        SysClosePort(portHandle);
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
        int32_t written = SysWriteAttempt(portHandle, p + total, n - total);
        if (written < 0) {
            return -1;
        }
        if (written == 0) {
            return static_cast<int32_t>(total);
        }
        total += static_cast<uint32_t>(written);
        if (total >= n) {
            return static_cast<int32_t>(total);
        }
    }
}

int32_t PortRead(void* buf, uint32_t n, int32_t idleLimit) {
    if (!PortIsOpen()) {
        return -1;
    }
    auto* p = static_cast<uint8_t*>(buf);
    uint32_t total = 0;
    int32_t idle = idleLimit;
    for (;;) {
        StatusCallback callback = GetStatusCallback();
        if (callback != nullptr && callback(Poll, 0) != 0) {
            return 0; // an abort discards what came in this call
        }
        int32_t got = SysReadAttempt(portHandle, p + total, n - total);
        if (got < 0) {
            return -1;
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
