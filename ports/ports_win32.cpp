// Serial port enumeration from the Windows registry. The source depends on the Windows
// version: the Windows 95 family keeps its device tree under HKLM\ENUM, NT 4 has only the
// flat HARDWARE\DEVICEMAP\SERIALCOMM list, and NT 5 and later keep the device tree under
// SYSTEM\CURRENTCONTROLSET\ENUM. Everything is read with the ANSI calls and read access only.
#include "ports/ports.h"
#include "ports/ports_test_seam.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr char kSerialCommPath[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr char kWin9xEnumPath[] = "ENUM";
constexpr char kNtEnumPath[] = "SYSTEM\\CURRENTCONTROLSET\\ENUM";
constexpr char kPortsClass[] = "PORTS";
constexpr char kPortsClassGuid[] = "{4D36E978-E325-11CE-BFC1-08002BE10318}";
constexpr DWORD kFirstListSize = 32;  // NT 4 value names and data
constexpr DWORD kFirstTextSize = 128; // subkey names and value texts
constexpr DWORD kOsVersionInfoSize = 148;
static_assert(sizeof(OSVERSIONINFOA) == kOsVersionInfoSize);

// Test hooks (see ports_test_seam.h); the product leaves them at their defaults.
HKEY gRegistryBase = HKEY_LOCAL_MACHINE;
bool gUseFakeVersion = false;
DWORD gFakePlatform = 0;
DWORD gFakeMajor = 0;
PortsResourceCounts gCounts = {};

// Buffers get one byte more than the registry is told about, so that whatever the registry
// wrote, a NUL always fits behind it.
char* AllocBuffer(DWORD size) {
    if (size == MAXDWORD) {
        return nullptr; // the extra byte would wrap around
    }
    char* buffer = static_cast<char*>(std::malloc(size + 1u));
    if (buffer != nullptr) {
        buffer[0] = '\0';
        ++gCounts.buffersAllocated;
    }
    return buffer;
}

void FreeBuffer(char** buffer) {
    if (*buffer != nullptr) {
        std::free(*buffer);
        ++gCounts.buffersFreed;
        *buffer = nullptr;
    }
}

LONG OpenKey(HKEY parent, const char* path, REGSAM access, HKEY* keyOut) {
    HKEY key = nullptr;
    LONG code = RegOpenKeyExA(parent, path, 0, access, &key);
    if (code == ERROR_SUCCESS) {
        ++gCounts.keysOpened;
        *keyOut = key;
    }
    return code;
}

void CloseKey(HKEY* key) {
    if (*key != nullptr) {
        RegCloseKey(*key);
        ++gCounts.keysClosed;
        *key = nullptr;
    }
}

int Finish(LONG code) {
    if (code == ERROR_SUCCESS) {
        return 1;
    }
    SetLastError(static_cast<DWORD>(code));
    return 0;
}

// ASCII comparisons: registry names and these keywords are plain ASCII, and the result must
// not depend on the user's locale.
char UpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool StartsWithIgnoreCase(const char* text, const char* prefix) {
    for (; *prefix != '\0'; ++text, ++prefix) {
        if (UpperAscii(*text) != UpperAscii(*prefix)) {
            return false; // also when text ends first
        }
    }
    return true;
}

bool EqualsIgnoreCase(const char* a, const char* b) {
    return std::strlen(a) == std::strlen(b) && StartsWithIgnoreCase(a, b);
}

void QueryVersion(DWORD* platformId, DWORD* majorVersion) {
    OSVERSIONINFOA info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = kOsVersionInfoSize;
    GetVersionExA(&info); // a failed query leaves platform 0, which has no source
    *platformId = gUseFakeVersion ? gFakePlatform : info.dwPlatformId;
    *majorVersion = gUseFakeVersion ? gFakeMajor : info.dwMajorVersion;
}

// ---- NT 4: HARDWARE\DEVICEMAP\SERIALCOMM ----

struct ListState {
    HKEY key = nullptr;
    char* name = nullptr;
    char* data = nullptr;
};

// Enumerates value `index` into the state's buffers, growing them until the value fits.
// On success the data is terminated after the bytes read.
LONG ReadSerialCommValue(ListState& s, DWORD index) {
    DWORD nameSize = kFirstListSize;
    DWORD dataSize = kFirstListSize;
    for (;;) {
        FreeBuffer(&s.name);
        FreeBuffer(&s.data);
        s.name = AllocBuffer(nameSize);
        s.data = AllocBuffer(dataSize);
        if (s.name == nullptr || s.data == nullptr) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        LONG code = RegEnumValueA(s.key, index, s.name, &nameSize, nullptr, nullptr,
                                  reinterpret_cast<BYTE*>(s.data), &dataSize);
        if (code != ERROR_MORE_DATA) {
            if (code == ERROR_SUCCESS) {
                s.data[dataSize] = '\0';
            }
            return code;
        }
        nameSize = nameSize * 2 + 2; // the data size is left at what the value needs
    }
}

LONG ListValues(ListState& s, PortVisitor visitor, intptr_t userValue) {
    for (DWORD index = 0;; ++index) {
        LONG code = ReadSerialCommValue(s, index);
        if (code == ERROR_NO_MORE_ITEMS) {
            return ERROR_SUCCESS;
        }
        if (code != ERROR_SUCCESS) {
            return code;
        }
        PortEntry entry = {s.data, s.data, ""};
        if (visitor(userValue, &entry) == 0) {
            return ERROR_SUCCESS;
        }
    }
}

// ---- NT 5 and the Windows 95 family: the device tree ----

struct WalkState {
    PortVisitor visitor = nullptr;
    intptr_t userValue = 0;
    HKEY root = nullptr;
    HKEY enumerator = nullptr;
    HKEY device = nullptr;
    HKEY instance = nullptr;
    HKEY parameters = nullptr; // "DEVICE PARAMETERS", kept until the next instance needs one
    char* enumeratorName = nullptr;
    char* portName = nullptr;
    char* friendlyName = nullptr;
    bool noFriendlyName = false;
    bool stopped = false; // the visitor asked to stop
};

void ReleaseWalk(WalkState& w) {
    FreeBuffer(&w.enumeratorName);
    FreeBuffer(&w.friendlyName);
    FreeBuffer(&w.portName);
    CloseKey(&w.parameters);
    CloseKey(&w.instance);
    CloseKey(&w.device);
    CloseKey(&w.enumerator);
    CloseKey(&w.root);
}

// A value read into a fixed buffer; a value too long for it counts as unreadable.
bool FixedValueEquals(HKEY key, const char* valueName, DWORD bufferSize, const char* expected) {
    char text[sizeof kPortsClassGuid + 1];
    DWORD size = bufferSize;
    if (RegQueryValueExA(key, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size) !=
        ERROR_SUCCESS) {
        return false;
    }
    text[size] = '\0';
    return EqualsIgnoreCase(text, expected);
}

bool IsPortsClass(HKEY instance) {
    return FixedValueEquals(instance, "CLASS", sizeof kPortsClass, kPortsClass) ||
           FixedValueEquals(instance, "CLASSGUID", sizeof kPortsClassGuid, kPortsClassGuid);
}

// "PORTNAME" of the instance, or else of its "DEVICE PARAMETERS" subkey. ERROR_FILE_NOT_FOUND
// means: not in either place, or the subkey could not be opened; both skip the instance.
LONG ReadPortName(WalkState& w) {
    LONG code = QueryStringValue(w.instance, "PORTNAME", &w.portName);
    if (code != ERROR_FILE_NOT_FOUND) {
        return code;
    }
    CloseKey(&w.parameters);
    if (OpenKey(w.instance, "DEVICE PARAMETERS", KEY_READ, &w.parameters) != ERROR_SUCCESS) {
        return ERROR_FILE_NOT_FOUND;
    }
    return QueryStringValue(w.parameters, "PORTNAME", &w.portName);
}

LONG VisitInstance(WalkState& w) {
    if (!IsPortsClass(w.instance)) {
        return ERROR_SUCCESS;
    }
    LONG code = ReadPortName(w);
    if (code == ERROR_FILE_NOT_FOUND) {
        return ERROR_SUCCESS;
    }
    if (code != ERROR_SUCCESS) {
        return code;
    }
    if (!StartsWithIgnoreCase(w.portName, "COM")) {
        return ERROR_SUCCESS;
    }
    code = QueryStringValue(w.instance, "FRIENDLYNAME", &w.friendlyName);
    if (code == ERROR_FILE_NOT_FOUND) {
        w.noFriendlyName = true;
    } else if (code != ERROR_SUCCESS) {
        return code;
    }
    PortEntry entry = {w.portName, w.noFriendlyName ? w.portName : w.friendlyName,
                       w.enumeratorName};
    w.stopped = w.visitor(w.userValue, &entry) == 0;
    return ERROR_SUCCESS;
}

LONG WalkInstances(WalkState& w) {
    for (DWORD i = 0;; ++i) {
        w.noFriendlyName = false;
        CloseKey(&w.instance);
        LONG code = OpenSubKeyByIndex(w.device, i, KEY_READ, &w.instance, nullptr);
        if (code == ERROR_NO_MORE_ITEMS) {
            return ERROR_SUCCESS;
        }
        if (code == ERROR_SUCCESS) {
            code = VisitInstance(w);
        }
        if (code != ERROR_SUCCESS || w.stopped) {
            return code;
        }
    }
}

LONG WalkDevices(WalkState& w) {
    for (DWORD d = 0;; ++d) {
        CloseKey(&w.device);
        LONG code = OpenSubKeyByIndex(w.enumerator, d, KEY_ENUMERATE_SUB_KEYS, &w.device, nullptr);
        if (code == ERROR_NO_MORE_ITEMS) {
            return ERROR_SUCCESS;
        }
        if (code == ERROR_SUCCESS) {
            code = WalkInstances(w);
        }
        if (code != ERROR_SUCCESS || w.stopped) {
            return code;
        }
    }
}

LONG WalkEnumerators(WalkState& w) {
    for (DWORD e = 0;; ++e) {
        CloseKey(&w.enumerator);
        LONG code =
            OpenSubKeyByIndex(w.root, e, KEY_ENUMERATE_SUB_KEYS, &w.enumerator, &w.enumeratorName);
        if (code == ERROR_NO_MORE_ITEMS) {
            return ERROR_SUCCESS;
        }
        if (code == ERROR_SUCCESS) {
            code = WalkDevices(w);
        }
        if (code != ERROR_SUCCESS || w.stopped) {
            return code;
        }
    }
}

} // namespace

LONG OpenSubKeyByIndex(HKEY parent, DWORD index, REGSAM access, HKEY* keyOut, char** nameOut) {
    char* name = nameOut != nullptr ? *nameOut : nullptr;
    DWORD nameSize = kFirstTextSize;
    LONG code;
    *keyOut = nullptr;
    for (;;) {
        FreeBuffer(&name);
        name = AllocBuffer(nameSize);
        if (name == nullptr) {
            code = ERROR_NOT_ENOUGH_MEMORY;
            break;
        }
        code = RegEnumKeyExA(parent, index, name, &nameSize, nullptr, nullptr, nullptr, nullptr);
        if (code != ERROR_MORE_DATA) {
            break;
        }
        nameSize = nameSize * 2 + 2;
    }
    if (code == ERROR_SUCCESS) {
        name[nameSize] = '\0';
        code = OpenKey(parent, name, access, keyOut);
    }
    if (nameOut != nullptr) {
        *nameOut = name;
    } else {
        FreeBuffer(&name);
    }
    return code;
}

LONG QueryStringValue(HKEY key, const char* valueName, char** bufferInOut) {
    DWORD size = kFirstTextSize;
    for (;;) {
        FreeBuffer(bufferInOut);
        *bufferInOut = AllocBuffer(size);
        if (*bufferInOut == nullptr) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        LONG code = RegQueryValueExA(key, valueName, nullptr, nullptr,
                                     reinterpret_cast<BYTE*>(*bufferInOut), &size);
        if (code == ERROR_SUCCESS) {
            (*bufferInOut)[size] = '\0'; // also ends a value stored without its NUL
        }
        if (code != ERROR_MORE_DATA) {
            return code;
        }
    }
}

int ListSerialCommValues(PortVisitor visitor, intptr_t userValue) {
    ListState s;
    LONG code = OpenKey(gRegistryBase, kSerialCommPath, KEY_READ, &s.key);
    if (code == ERROR_FILE_NOT_FOUND) {
        code = ERROR_SUCCESS; // no serial ports at all
    } else if (code == ERROR_SUCCESS) {
        code = ListValues(s, visitor, userValue);
    }
    FreeBuffer(&s.name);
    FreeBuffer(&s.data);
    CloseKey(&s.key);
    return Finish(code);
}

int WalkEnumTree(const char* rootPath, PortVisitor visitor, intptr_t userValue) {
    WalkState w;
    w.visitor = visitor;
    w.userValue = userValue;
    LONG code = OpenKey(gRegistryBase, rootPath, KEY_ENUMERATE_SUB_KEYS, &w.root);
    if (code == ERROR_SUCCESS) {
        code = WalkEnumerators(w);
    }
    ReleaseWalk(w);
    return Finish(code);
}

int EnumSerialPorts(PortVisitor visitor, intptr_t userValue) {
    if (visitor == nullptr) {
        return Finish(ERROR_INVALID_PARAMETER);
    }
    DWORD platformId;
    DWORD major;
    QueryVersion(&platformId, &major);
    if (platformId == VER_PLATFORM_WIN32_WINDOWS) {
        return WalkEnumTree(kWin9xEnumPath, visitor, userValue);
    }
    if (platformId == VER_PLATFORM_WIN32_NT && major == 4) {
        return ListSerialCommValues(visitor, userValue);
    }
    if (platformId == VER_PLATFORM_WIN32_NT && major >= 5) {
        return WalkEnumTree(kNtEnumPath, visitor, userValue);
    }
    return Finish(ERROR_OLD_WIN_VERSION);
}

void SetPortsRegistryBase(HKEY base) {
    gRegistryBase = base != nullptr ? base : HKEY_LOCAL_MACHINE;
}

void SetPortsFakeVersion(int use, DWORD platformId, DWORD majorVersion) {
    gUseFakeVersion = use != 0;
    gFakePlatform = platformId;
    gFakeMajor = majorVersion;
}

PortsResourceCounts GetPortsResourceCounts() {
    return gCounts;
}
