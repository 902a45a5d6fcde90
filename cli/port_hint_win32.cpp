// Port names for Windows: the port's friendly name.
#include "cli/port_hint.h"

std::string PortShownAs(const char* /*portName*/, const char* displayName) {
    return displayName;
}
