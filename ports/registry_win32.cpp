// The registry as the programmer reads it: HKEY_LOCAL_MACHINE and the system's own version.
#include "ports/ports_test_seam.h"

#include <cstdlib>
#include <cstring>

namespace {
constexpr DWORD kOsVersionInfoSize = 148; // the size every Windows version takes
static_assert(sizeof(OSVERSIONINFOA) == kOsVersionInfoSize);
} // namespace

HKEY RegistryRoot() {
    return HKEY_LOCAL_MACHINE;
}

void RegistryVersion(DWORD* platformId, DWORD* majorVersion) {
    OSVERSIONINFOA info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = kOsVersionInfoSize;
    GetVersionExA(&info); // a failed query leaves platform 0, which has no source
    *platformId = info.dwPlatformId;
    *majorVersion = info.dwMajorVersion;
}

LONG RegistryOpenKey(HKEY parent, const char* path, REGSAM access, HKEY* key) {
    return RegOpenKeyExA(parent, path, 0, access, key);
}

void RegistryCloseKey(HKEY key) {
    RegCloseKey(key);
}

void* RegistryAllocText(size_t size) {
    return std::malloc(size);
}

void RegistryFreeText(void* text) {
    std::free(text);
}
