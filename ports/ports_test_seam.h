// Windows registry enumeration: the internal steps and the hooks through which tests point
// the enumeration at registry keys they own and pretend to run on another Windows version.
// The product never calls the hooks, so it always reads HKEY_LOCAL_MACHINE and the real
// version.
#pragma once
#include "ports/ports.h"

#include <windows.h>

// The two sources. Both return 1, or 0 with the cause set through SetLastError.
int ListSerialCommValues(PortVisitor visitor, intptr_t userValue);
int WalkEnumTree(const char* rootPath, PortVisitor visitor, intptr_t userValue);

// Opens subkey number index of parent into *keyOut (left nullptr unless the open succeeds).
// nameOut, if given, is the caller's malloc'ed name buffer (or nullptr): it is replaced and
// belongs to the caller whatever the result. Returns a Windows error code.
LONG OpenSubKeyByIndex(HKEY parent, DWORD index, REGSAM access, HKEY* keyOut, char** nameOut);

// Replaces *bufferInOut by a new malloc'ed buffer holding the value as a NUL-terminated text
// (terminated after the bytes read even when the stored value lacks a NUL); the buffer
// belongs to the caller whatever the result. Returns a Windows error code.
LONG QueryStringValue(HKEY key, const char* valueName, char** bufferInOut);

// The key below which the root paths are opened; nullptr restores HKEY_LOCAL_MACHINE.
void SetPortsRegistryBase(HKEY base);

// use != 0: the version query answers platformId and majorVersion instead of the system's.
void SetPortsFakeVersion(int use, DWORD platformId, DWORD majorVersion);

// Running totals of the enumeration's own key opens and closes and buffer allocations and
// frees, so that tests can see every path release what it acquired.
struct PortsResourceCounts {
    long keysOpened;
    long keysClosed;
    long buffersAllocated;
    long buffersFreed;
};
PortsResourceCounts GetPortsResourceCounts();
