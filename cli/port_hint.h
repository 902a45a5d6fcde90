// What the command line says about a port, one file per platform: the next step after a
// port that would not open, and the port's own name for the user.
#pragma once
#include <string>

// A short hint for the system's error number of a failed open, or "" when there is none.
const char* PortOpenHint(int error);

// How a port found by enumeration is shown: its device node where COM names are only this
// program's convention, else its display name.
std::string PortShownAs(const char* portName, const char* displayName);
