// Serial link: the one COM port of a programming run (8E1 at the chosen rate, bounded
// time-outs).
//
// Results, for the whole engine: a step that succeeds or fails returns a [[nodiscard]] bool,
// true on success; byte transfers return the count moved or -1, and a caller treats any
// count other than the one it asked for as failure; a run returns a ResultCode
// (engine/program.h). The platform primitives below (serial_platform.h) keep the
// system's own 0-for-success form. The handle is owned here and nobody else touches it.
#pragma once
#include "device/protocol.h"

#include <cstddef>
#include <cstdint>

// What a front end may choose of the line; the framing (8E1) is the protocol's own.
struct LineSettings {
    // The bootloader measures the rate from its first byte; the dialog always uses the
    // default (device/protocol.h).
    // Flow control is not a choice: it is off on every open of a local port (and restored
    // at close), since binary frames and memory read back carry 0x11 and 0x13.
    uint32_t baudRate = kDefaultBaudRate;
};

// The standard rates that the F10x bootloader detects and both platforms name: the one
// list a run and the command line check a rate against (a new rate also needs its termios
// constant in serial_posix.cpp).
inline constexpr uint32_t kBaudRates[] = {1200,  2400,  4800,  9600,
                                          19200, 38400, 57600, kDefaultBaudRate};

bool BaudRateSupported(uint32_t baudRate);

// Opens and configures the port. true when open and fully configured.
// Refuses (false) while a port is open. A port opened but not configured stays open:
// callers call ClosePort on every path, also after a failed OpenPort.
[[nodiscard]] bool OpenPort(const char* portPath);
// The same at the given line settings. The write constant grows with the time a whole
// Write Memory frame takes on the wire, so that slow rates are not cut short.
[[nodiscard]] bool OpenPort(const char* portPath, const LineSettings& line);

// The operating system's error number (errno, GetLastError) of the step that made the
// last OpenPort fail, or the code of the transport it went through; 0 when it did not fail
// for a reason the system gave.
int PortOpenError();

// The text for such an error number, from the transport of the last OpenPort.
void PortErrorText(int error, char* out, size_t outSize);

// The next step that fits such an error number, as a sentence: what the transport of the
// last OpenPort knows of it (a missing device, a port another program holds, a device's
// owner and group); "" when none fits.
void PortErrorAdvice(int error, char* out, size_t outSize);

// The error number of the first read or write attempt that failed since the last
// OpenPort: the port or the server went away. 0 when none failed.
int PortLinkError();

// Lets OpenPort reach ports whose path begins with the transport's prefix (a network
// port: engine/serial_net.h). The table must outlive every run; up to four are kept,
// later ones are ignored. The window registers none and opens local ports only.
struct SerialTransport;
void RegisterSerialTransport(const SerialTransport* transport);

// The modem control lines a board may wire to BOOT0 and reset.
enum class ModemLine { Rts, Dtr };

// Asserts (true) or clears a modem line of the open port. false when no port is open or
// the port has no such line (a pseudo-terminal).
[[nodiscard]] bool SetModemLine(ModemLine line, bool asserted);

// Applies the read and write total constants (milliseconds) to the open port.
[[nodiscard]] bool SetPortTimeouts(uint32_t readConstantMs, uint32_t writeConstantMs);

// Closes the open port, if any. Safe to call twice.
void ClosePort();

// Writes all n bytes through repeated attempts. Returns the count written (less than n
// when an attempt wrote nothing), or -1 when no port is open or an attempt failed.
int32_t PortWrite(const void* bytes, uint32_t n);

// Reads up to n bytes. Polls the status callback (Poll, 0) before every attempt and
// returns 0 at once on abort. Allows idleLimit empty attempts in all (never reset by
// arriving bytes; at least one attempt is made). Returns the count read, or -1 when no
// port is open (no poll then) or an attempt failed.
int32_t PortRead(void* buf, uint32_t n, int32_t idleLimit);

// The time n bytes take on the wire at the open port's rate, in whole milliseconds.
uint32_t PortWireMs(uint32_t n);

// Drops whatever has arrived and not been read yet, without waiting for more, and
// returns how many bytes that was (0 when none, -1 when the attempt failed). Up to
// keepSize of them are copied to kept, when given, for the caller to look at.
int32_t PortDiscardInput(uint8_t* kept = nullptr, uint32_t keepSize = 0);

// Waits ms milliseconds: the pauses the protocol asks for between bytes.
void PortSleepMs(uint32_t ms);

// True while a port handle is held (open, configured or not).
bool PortIsOpen();
