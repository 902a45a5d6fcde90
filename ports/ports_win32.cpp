// Serial port enumeration from the Windows registry. The source depends on the Windows
// version: the Windows 95 family keeps its device tree under HKLM\ENUM, NT 4 has only the
// flat HARDWARE\DEVICEMAP\SERIALCOMM list, and NT 5 and later keep the device tree under
// SYSTEM\CURRENTCONTROLSET\ENUM. Everything is read with the ANSI calls and read access only,
// through the registry access of ports_test_seam.h.
#include "ports/ports.h"
#include "ports/ports_test_seam.h"

#include <cstring>

namespace {

constexpr char kSerialCommPath[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr char kWin9xEnumPath[] = "ENUM";
constexpr char kNtEnumPath[] = "SYSTEM\\CURRENTCONTROLSET\\ENUM";
constexpr char kPortsClass[] = "PORTS";
constexpr char kPortsClassGuid[] = "{4D36E978-E325-11CE-BFC1-08002BE10318}";
constexpr DWORD kFirstListSize = 32;  // NT 4 value names and data
constexpr DWORD kFirstTextSize = 128; // subkey names and value texts
// The visitor asked to stop: not a Windows code (those are positive), and the listing
// still succeeds.
constexpr LONG kVisitorStopped = -1;

int Finish(LONG code) {
    if (code == ERROR_SUCCESS || code == kVisitorStopped) {
        return 1;
    }
    SetLastError(static_cast<DWORD>(code));
    return 0;
}

// The handle is taken only from a successful open: older systems may leave anything in it.
LONG OpenKey(HKEY parent, const char* path, REGSAM access, RegKey& key) {
    key.Close();
    HKEY opened = nullptr;
    LONG code = RegistryOpenKey(parent, path, access, &opened);
    if (code == ERROR_SUCCESS) {
        key.handle = opened;
    }
    return code;
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

// Calls visit(child, name) for each subkey of parent in index order, each opened with
// access. The first code other than ERROR_SUCCESS, from opening a subkey or from visit,
// ends the loop and is returned.
template <typename Visit> LONG ForEachSubKey(HKEY parent, REGSAM access, Visit visit) {
    RegText name;
    for (DWORD index = 0;; ++index) {
        RegKey child;
        LONG code = OpenSubKeyByIndex(parent, index, access, child, name);
        if (code == ERROR_NO_MORE_ITEMS) {
            return ERROR_SUCCESS;
        }
        if (code == ERROR_SUCCESS) {
            code = visit(child.handle, static_cast<const char*>(name.text));
        }
        if (code != ERROR_SUCCESS) {
            return code;
        }
    }
}

// ---- NT 4: HARDWARE\DEVICEMAP\SERIALCOMM ----

// Enumerates value index into name and data, growing them until the value fits. On
// success the data is terminated after the bytes read.
LONG ReadSerialCommValue(HKEY key, DWORD index, RegText& name, RegText& data) {
    DWORD nameSize = kFirstListSize;
    DWORD dataSize = kFirstListSize;
    for (;;) {
        if (!name.Allocate(nameSize) || !data.Allocate(dataSize)) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        LONG code = RegEnumValueA(key, index, name.text, &nameSize, nullptr, nullptr,
                                  reinterpret_cast<BYTE*>(data.text), &dataSize);
        if (code != ERROR_MORE_DATA) {
            if (code == ERROR_SUCCESS) {
                data.text[dataSize] = '\0';
            }
            return code;
        }
        nameSize = nameSize * 2 + 2; // the data size is left at what the value needs
    }
}

LONG ListValues(HKEY key, PortVisitor visitor, intptr_t userValue) {
    RegText name;
    RegText data;
    for (DWORD index = 0;; ++index) {
        LONG code = ReadSerialCommValue(key, index, name, data);
        if (code == ERROR_NO_MORE_ITEMS) {
            return ERROR_SUCCESS;
        }
        if (code != ERROR_SUCCESS) {
            return code;
        }
        PortEntry entry = {data.text, data.text, ""};
        if (visitor(userValue, &entry) == 0) {
            return kVisitorStopped;
        }
    }
}

int ListSerialCommValues(PortVisitor visitor, intptr_t userValue) {
    RegKey key;
    LONG code = OpenKey(RegistryRoot(), kSerialCommPath, KEY_READ, key);
    if (code == ERROR_FILE_NOT_FOUND) {
        code = ERROR_SUCCESS; // no serial ports at all
    } else if (code == ERROR_SUCCESS) {
        code = ListValues(key.handle, visitor, userValue);
    }
    return Finish(code);
}

// ---- NT 5 and the Windows 95 family: the device tree ----

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
LONG ReadPortName(HKEY instance, RegText& portName) {
    LONG code = QueryStringValue(instance, "PORTNAME", portName);
    if (code != ERROR_FILE_NOT_FOUND) {
        return code;
    }
    RegKey parameters;
    if (OpenKey(instance, "DEVICE PARAMETERS", KEY_READ, parameters) != ERROR_SUCCESS) {
        return ERROR_FILE_NOT_FOUND;
    }
    return QueryStringValue(parameters.handle, "PORTNAME", portName);
}

LONG VisitInstance(HKEY instance, const char* enumeratorName, PortVisitor visitor,
                   intptr_t userValue) {
    if (!IsPortsClass(instance)) {
        return ERROR_SUCCESS;
    }
    RegText portName;
    LONG code = ReadPortName(instance, portName);
    if (code == ERROR_FILE_NOT_FOUND) {
        return ERROR_SUCCESS;
    }
    if (code != ERROR_SUCCESS) {
        return code;
    }
    if (!StartsWithIgnoreCase(portName.text, "COM")) {
        return ERROR_SUCCESS;
    }
    RegText friendlyName;
    code = QueryStringValue(instance, "FRIENDLYNAME", friendlyName);
    if (code != ERROR_SUCCESS && code != ERROR_FILE_NOT_FOUND) {
        return code;
    }
    PortEntry entry = {portName.text, code == ERROR_SUCCESS ? friendlyName.text : portName.text,
                       enumeratorName};
    return visitor(userValue, &entry) != 0 ? ERROR_SUCCESS : kVisitorStopped;
}

// Three levels below the root: enumerator, device, instance. A key that cannot be opened
// at any level ends the walk with its code.
int WalkEnumTree(const char* rootPath, PortVisitor visitor, intptr_t userValue) {
    RegKey root;
    LONG code = OpenKey(RegistryRoot(), rootPath, KEY_ENUMERATE_SUB_KEYS, root);
    if (code != ERROR_SUCCESS) {
        return Finish(code);
    }
    auto eachInstance = [&](HKEY device, const char* enumeratorName) {
        return ForEachSubKey(device, KEY_READ, [&](HKEY instance, const char*) {
            return VisitInstance(instance, enumeratorName, visitor, userValue);
        });
    };
    auto eachDevice = [&](HKEY enumerator, const char* enumeratorName) {
        return ForEachSubKey(enumerator, KEY_ENUMERATE_SUB_KEYS, [&](HKEY device, const char*) {
            return eachInstance(device, enumeratorName);
        });
    };
    return Finish(ForEachSubKey(root.handle, KEY_ENUMERATE_SUB_KEYS, eachDevice));
}

} // namespace

void RegKey::Close() {
    if (handle != nullptr) {
        RegistryCloseKey(handle);
        handle = nullptr;
    }
}

bool RegText::Allocate(DWORD size) {
    Free();
    if (size == MAXDWORD) {
        return false; // the extra byte would wrap around
    }
    text = static_cast<char*>(RegistryAllocText(size + 1u));
    if (text != nullptr) {
        text[0] = '\0';
    }
    return text != nullptr;
}

void RegText::Free() {
    if (text != nullptr) {
        RegistryFreeText(text);
        text = nullptr;
    }
}

LONG OpenSubKeyByIndex(HKEY parent, DWORD index, REGSAM access, RegKey& key, RegText& name) {
    key.Close();
    DWORD nameSize = kFirstTextSize;
    for (;;) {
        if (!name.Allocate(nameSize)) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        LONG code =
            RegEnumKeyExA(parent, index, name.text, &nameSize, nullptr, nullptr, nullptr, nullptr);
        if (code == ERROR_SUCCESS) {
            name.text[nameSize] = '\0';
            return OpenKey(parent, name.text, access, key);
        }
        if (code != ERROR_MORE_DATA) {
            return code;
        }
        nameSize = nameSize * 2 + 2;
    }
}

LONG QueryStringValue(HKEY key, const char* valueName, RegText& text) {
    DWORD size = kFirstTextSize;
    for (;;) {
        if (!text.Allocate(size)) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        LONG code = RegQueryValueExA(key, valueName, nullptr, nullptr,
                                     reinterpret_cast<BYTE*>(text.text), &size);
        if (code == ERROR_SUCCESS) {
            text.text[size] = '\0'; // also ends a value stored without its NUL
        }
        if (code != ERROR_MORE_DATA) {
            return code;
        }
    }
}

int EnumSerialPorts(PortVisitor visitor, intptr_t userValue) {
    if (visitor == nullptr) {
        return Finish(ERROR_INVALID_PARAMETER);
    }
    DWORD platformId = 0;
    DWORD major = 0;
    RegistryVersion(&platformId, &major);
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
