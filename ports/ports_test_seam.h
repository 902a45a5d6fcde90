// Windows registry enumeration: the steps tests reach directly, and the registry access the
// walk goes through. The product links registry_win32.cpp, which reads HKEY_LOCAL_MACHINE
// and the system's own version; the registry tests link tests/win32/registry_fake.cpp
// instead, to point the walk at keys they own, pretend another Windows version and count
// every key and buffer the walk takes and gives back.
#pragma once
#include "ports/ports.h"

#include <cstddef>
#include <windows.h>

// ---- Registry access: registry_win32.cpp, or the tests' fake ----

HKEY RegistryRoot(); // where the root paths are opened
void RegistryVersion(DWORD* platformId, DWORD* majorVersion);
LONG RegistryOpenKey(HKEY parent, const char* path, REGSAM access, HKEY* key);
void RegistryCloseKey(HKEY key);
void* RegistryAllocText(size_t size);
void RegistryFreeText(void* text);

// ---- The walk's own steps (ports_win32.cpp) ----

// An open key, closed when it goes out of scope or is opened again.
struct RegKey {
    HKEY handle = nullptr;
    RegKey() = default;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey() { Close(); }
    void Close();
};

// A text buffer, one byte longer than the registry is told about, so that a NUL always fits
// behind whatever the registry wrote; freed when it goes out of scope or is allocated again.
struct RegText {
    char* text = nullptr;
    RegText() = default;
    RegText(const RegText&) = delete;
    RegText& operator=(const RegText&) = delete;
    ~RegText() { Free(); }
    bool Allocate(DWORD size); // false when out of memory
    void Free();
};

// Opens subkey number index of parent into key (left closed unless the open succeeds), its
// name into name. Returns a Windows error code.
LONG OpenSubKeyByIndex(HKEY parent, DWORD index, REGSAM access, RegKey& key, RegText& name);

// The value as a NUL-terminated text in text (terminated after the bytes read even when the
// stored value lacks a NUL). Returns a Windows error code.
LONG QueryStringValue(HKEY key, const char* valueName, RegText& text);
