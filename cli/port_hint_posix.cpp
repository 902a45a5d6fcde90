// Port hints for POSIX systems: errno values (of local ports and of network ones), and the
// device node behind a COM name.
#include "cli/port_hint.h"

#include "ports/port_names.h"

#include <cerrno>

const char* PortOpenHint(int error) {
    switch (error) {
    case EACCES:
    case EPERM:
        return "add yourself to the dialout group (sudo usermod -aG dialout $USER) and log in "
               "again";
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return "is the adapter plugged in? --list-ports shows the ports there are";
    case EBUSY:
        return "another program holds the port";
    case ENOTTY:
        return "this is not a serial port";
    case ECONNREFUSED:
        return "is the server running, and is that its port?";
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case ENETUNREACH:
        return "can this machine reach the server?";
    default:
        return "";
    }
}

// The port list names ports by their device nodes; a COM name is shown as the node it
// stands for.
std::string PortShownAs(const char* portName, const char* displayName) {
    char node[64];
    if (ComNumberToDevicePath(ComNumberFromName(portName), node, sizeof node) == 0) {
        return node;
    }
    return displayName;
}
