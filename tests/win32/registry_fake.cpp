// The registry access of ports_test_seam.h for the registry tests: the real registry calls,
// below a base key of the test's choosing, with a pretended version and counts.
#include "tests/win32/registry_fake.h"

#include "ports/ports_test_seam.h"

#include <cstdlib>

namespace {
HKEY registryBase = HKEY_LOCAL_MACHINE;
bool useFakeVersion = false;
DWORD fakePlatform = 0;
DWORD fakeMajor = 0;
PortsResourceCounts counts = {};
} // namespace

void SetPortsRegistryBase(HKEY base) {
    registryBase = base != nullptr ? base : HKEY_LOCAL_MACHINE;
}

void SetPortsFakeVersion(int use, DWORD platformId, DWORD majorVersion) {
    useFakeVersion = use != 0;
    fakePlatform = platformId;
    fakeMajor = majorVersion;
}

PortsResourceCounts GetPortsResourceCounts() {
    return counts;
}

HKEY RegistryRoot() {
    return registryBase;
}

void RegistryVersion(DWORD* platformId, DWORD* majorVersion) {
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof info;
    GetVersionExA(&info);
    *platformId = useFakeVersion ? fakePlatform : info.dwPlatformId;
    *majorVersion = useFakeVersion ? fakeMajor : info.dwMajorVersion;
}

LONG RegistryOpenKey(HKEY parent, const char* path, REGSAM access, HKEY* key) {
    LONG code = RegOpenKeyExA(parent, path, 0, access, key);
    counts.keysOpened += code == ERROR_SUCCESS ? 1 : 0;
    return code;
}

void RegistryCloseKey(HKEY key) {
    RegCloseKey(key);
    ++counts.keysClosed;
}

void* RegistryAllocText(size_t size) {
    void* text = std::malloc(size);
    counts.buffersAllocated += text != nullptr ? 1 : 0;
    return text;
}

void RegistryFreeText(void* text) {
    std::free(text);
    ++counts.buffersFreed;
}
