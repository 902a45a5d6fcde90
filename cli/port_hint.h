// What the command line says about a port, one file per platform: the port's own name for
// the user. (Why a port would not open, and what to do, is the engine's ResultDetail.)
#pragma once
#include <string>

// How a port found by enumeration is shown: its device node where COM names are only this
// program's convention, else its display name.
std::string PortShownAs(const char* portName, const char* displayName);
