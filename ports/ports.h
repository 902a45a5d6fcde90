// Serial port enumeration: each port found is handed to a visitor, in discovery order.
#pragma once
#include <cstdint>

struct PortEntry {
    // The name a run opens: "COM" and a number on Windows, the device path elsewhere
    // ("/dev/ttyUSB0"), where COM names are only aliases (ports/port_names.h).
    const char* portName;
    const char* displayName;    // the text shown to the user
    const char* enumeratorName; // where the port was found, or ""
    // Where the system knows more (Linux sysfs), else "":
    const char* stableName = "";   // a link that keeps naming the adapter when it is
                                   // plugged elsewhere: /dev/serial/by-id/...
    const char* usbId = "";        // "vvvv:pppp", the USB vendor and product IDs
    const char* serialNumber = ""; // the USB device's serial number
};
// Valid only during the visit: copy what you keep. Nonzero to go on, 0 to stop.
using PortVisitor = int (*)(intptr_t userValue, const PortEntry* entry);

// 1 when the listing ran to its end or the visitor stopped it (zero ports is success);
// 0 on failure, with the cause in the platform's last-error code (GetLastError on
// Windows, errno elsewhere). Entries visited before a failure stay visited.
int EnumSerialPorts(PortVisitor visitor, intptr_t userValue);
