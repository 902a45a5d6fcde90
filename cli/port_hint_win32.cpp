// Port hints for Windows: GetLastError and Winsock values, and the port's friendly name.
#include "cli/port_hint.h"

#include <winsock2.h>
#include <windows.h>

const char* PortOpenHint(int error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return "is the adapter plugged in? --list-ports shows the ports there are";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return "another program holds the port";
    case WSAECONNREFUSED:
        return "is the server running, and is that its port?";
    case WSAETIMEDOUT:
    case WSAEHOSTUNREACH:
    case WSAENETUNREACH:
        return "can this machine reach the server?";
    default:
        return "";
    }
}

std::string PortShownAs(const char* /*portName*/, const char* displayName) {
    return displayName;
}
