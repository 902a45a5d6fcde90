// Serial port enumeration: each port found is handed to a visitor, in discovery order.
#pragma once
#include <cstdint>

struct PortEntry {
    const char* portName;       // "COM" and a number
    const char* displayName;    // the text shown to the user
    const char* enumeratorName; // where the port was found, or ""
};
// Valid only during the visit: copy what you keep. Nonzero to go on, 0 to stop.
using PortVisitor = int (*)(intptr_t userValue, const PortEntry* entry);

// 1 when the listing ran to its end or the visitor stopped it (zero ports is success);
// 0 on failure, with the cause in the platform's last-error code (GetLastError on
// Windows, errno elsewhere). Entries visited before a failure stay visited.
int EnumSerialPorts(PortVisitor visitor, intptr_t userValue);
