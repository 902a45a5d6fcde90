// The registry access of the registry tests (registry_fake.cpp): the walk reads below a key
// the test owns, sees the Windows version the test picks, and counts what it takes.
#pragma once
#include <windows.h>

// The key below which the root paths are opened; nullptr restores HKEY_LOCAL_MACHINE.
void SetPortsRegistryBase(HKEY base);

// use != 0: the version query answers platformId and majorVersion instead of the system's.
void SetPortsFakeVersion(int use, DWORD platformId, DWORD majorVersion);

// Running totals of the walk's key opens and closes and buffer allocations and frees, so
// that tests can see every path release what it acquired.
struct PortsResourceCounts {
    long keysOpened;
    long keysClosed;
    long buffersAllocated;
    long buffersFreed;
};
PortsResourceCounts GetPortsResourceCounts();
