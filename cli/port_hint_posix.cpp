// Port names for POSIX systems: the device node behind a COM name.
#include "cli/port_hint.h"

#include "ports/port_names.h"

// The port list names ports by their device nodes; a COM name is shown as the node it
// stands for.
std::string PortShownAs(const char* portName, const char* displayName) {
    char node[64];
    if (ComNumberToDevicePath(ComNumberFromName(portName), node, sizeof node) == 0) {
        return node;
    }
    return displayName;
}
