// The platform primitives behind the serial link. One file per platform implements them
// (serial_win32.cpp, serial_posix.cpp); tests link a fake (tests/fakes) instead. A port
// elsewhere (a serial port server on the network) is reached through a transport of the
// same shape that a front end registers (SerialTransport below).
// Close to the system calls they wrap, they return 0 on success and 1 on failure; the link
// (engine/serial.h) turns that into the engine's bool.
#pragma once
#include "engine/serial.h"

#include <cstddef>
#include <cstdint>

using SysPort = intptr_t;
// Closed: the platform's invalid handle value, all bits set (INVALID_HANDLE_VALUE).
constexpr SysPort kNoPort = -1;

// Opens the device exclusively for reading and writing, synchronous transfers.
// Returns kNoPort on failure.
SysPort SysOpenPort(const char* portPath);

// Reads the line settings, changes exactly parity checking off, the rate, 8 bits, even
// parity, 1 stop bit, and applies them. 0 on success, 1 on failure.
int SysConfigureLine(SysPort port, const LineSettings& line);

// The error number the system gave for the last failed primitive (errno, GetLastError).
int SysLastError();
// The system's text for an error number.
void SysErrorText(int error, char* out, size_t outSize);
// The next step that fits an error number of a failed open, as a sentence (the last port
// opened may be looked at, e.g. for its owner); "" when none fits.
void SysErrorAdvice(int error, char* out, size_t outSize);

// Asserts or clears RTS or DTR. 0 on success, 1 on failure.
int SysSetModemLine(SysPort port, ModemLine line, bool asserted);

// Read attempts: return at once with waiting bytes, else wait up to readConstantMs for
// the first byte, else return empty. Write attempts are bounded by writeConstantMs.
// 0 on success, 1 on failure.
int SysSetTimeouts(SysPort port, uint32_t readConstantMs, uint32_t writeConstantMs);

// One read attempt: bytes read (0 = empty attempt), or -1 on failure.
int32_t SysReadAttempt(SysPort port, void* buf, uint32_t n);

// One write attempt: bytes written (may be 0 or short), or -1 on failure.
int32_t SysWriteAttempt(SysPort port, const void* bytes, uint32_t n);

// Takes up to n bytes that have already arrived, without waiting: the count (0 when none
// waits), or -1 on failure.
int32_t SysReadWaiting(SysPort port, void* buf, uint32_t n);

// Closes the handle; the result is not looked at.
void SysClosePort(SysPort port);

// The platform's sleep (the 100 ms pause before every sync byte).
void SysSleepMs(uint32_t ms);

// The primitives of one way to reach a port, each with the contract of the Sys* function
// of the same name. The link opens a path through the first registered transport whose
// prefix begins it ("rfc2217://"), else through the local Sys* primitives.
struct SerialTransport {
    const char* prefix;
    SysPort (*open)(const char* portPath);
    int (*configureLine)(SysPort port, const LineSettings& line);
    int (*setModemLine)(SysPort port, ModemLine line, bool asserted);
    int (*setTimeouts)(SysPort port, uint32_t readConstantMs, uint32_t writeConstantMs);
    int32_t (*readAttempt)(SysPort port, void* buf, uint32_t n);
    int32_t (*writeAttempt)(SysPort port, const void* bytes, uint32_t n);
    int32_t (*readWaiting)(SysPort port, void* buf, uint32_t n);
    void (*close)(SysPort port);
    int (*lastError)();
    void (*errorText)(int error, char* out, size_t outSize);
    void (*errorAdvice)(int error, char* out, size_t outSize);
};
