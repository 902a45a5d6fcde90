// Port hints for Windows: GetLastError values, and the port's friendly name.
#include "cli/port_hint.h"

#include <windows.h>

const char* PortOpenHint(int error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return "is the adapter plugged in? --list-ports shows the ports there are";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return "another program holds the port";
    default:
        return "";
    }
}

std::string PortShownAs(const char* /*portName*/, const char* displayName) {
    return displayName;
}
