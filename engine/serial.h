// Serial link: the one COM port of a programming run (115200 8E1, bounded time-outs).
//
// Contract: byte transfers return the count moved or -1; a caller treats any count other
// than the one it asked for as failure. The handle is owned here and nobody else touches it.
#pragma once
#include <cstdint>

// Opens and configures the port. 0 when open and fully configured, 1 otherwise.
// Refuses (1) while a port is open. A port opened but not configured stays open:
// callers call ClosePort on every path, also after a failed OpenPort.
int OpenPort(const char* portPath);

// Applies the read and write total constants (milliseconds) to the open port; 0 or 1.
int SetPortTimeouts(uint32_t readConstantMs, uint32_t writeConstantMs);

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

// True while a port handle is held (open, configured or not).
bool PortIsOpen();
