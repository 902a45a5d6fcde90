// The version rule through Wine's own version setting, against the real HKEY_LOCAL_MACHINE:
// for each row the test sets HKCU\Software\Wine\AppDefaults\<this exe>\Version, puts a port
// where that version's source looks, and runs this program again as a child, which checks
// that GetVersionExA reports the version and that EnumSerialPorts finds the port.
#include "ports/ports.h"

#include <gtest/gtest.h>

#include <windows.h>

#include "tests/win32/registry_tree.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Row {
    const char* wineVersion;
    DWORD platform, major;
    int result;
    DWORD error;
    const char* keyPath;   // key made (volatile) under HKLM for the port, or nullptr
    const char* valueName; // value written into keyPath
    const char* valueData;
    const char* subKey; // instance key below keyPath holding the values, or nullptr
    const char* port;   // port the child must see, or nullptr for no visits at all
    const char* display;
    const char* enumerator;
};

const Row kRows[] = {
    {"nt351", VER_PLATFORM_WIN32_NT, 3, 0, ERROR_OLD_WIN_VERSION, nullptr, nullptr, nullptr,
     nullptr, nullptr, nullptr, nullptr},
    {"win31", VER_PLATFORM_WIN32s, 3, 0, ERROR_OLD_WIN_VERSION, nullptr, nullptr, nullptr, nullptr,
     nullptr, nullptr, nullptr},
    {"nt40", VER_PLATFORM_WIN32_NT, 4, 1, 0, "HARDWARE\\DEVICEMAP\\SERIALCOMM", "ZuvaTest", "COM43",
     nullptr, "COM43", "COM43", ""},
    {"win98", VER_PLATFORM_WIN32_WINDOWS, 4, 1, 0, "ENUM\\ZUVATEST", "PORTNAME", "COM42",
     "DEV\\0000", "COM42", "Zuva test port", "ZUVATEST"},
    {"win7", VER_PLATFORM_WIN32_NT, 6, 1, 0, "SYSTEM\\CurrentControlSet\\Enum\\ZUVATEST",
     "PORTNAME", "COM44", "DEV\\0000", "COM44", "Zuva test port", "ZUVATEST"},
};

struct Found {
    const Row* row;
    int visits = 0;
    bool matched = false;
};

int Check(intptr_t userValue, const PortEntry* entry) {
    auto* f = reinterpret_cast<Found*>(userValue);
    ++f->visits;
    if (f->row->port != nullptr && std::strcmp(entry->portName, f->row->port) == 0) {
        f->matched = std::strcmp(entry->displayName, f->row->display) == 0 &&
                     std::strcmp(entry->enumeratorName, f->row->enumerator) == 0;
        std::printf("found %s \"%s\" \"%s\"\n", entry->portName, entry->displayName,
                    entry->enumeratorName);
    }
    return 1;
}

// The child: 0 when everything matched the row.
int RunChild(const Row& row) {
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof info;
    GetVersionExA(&info);
    if (info.dwPlatformId != row.platform || info.dwMajorVersion != row.major) {
        std::printf("%s: version %lu/%lu, expected %lu/%lu\n", row.wineVersion, info.dwPlatformId,
                    info.dwMajorVersion, row.platform, row.major);
        return 2;
    }
    Found found{&row};
    SetLastError(0);
    int result = EnumSerialPorts(Check, reinterpret_cast<intptr_t>(&found));
    DWORD error = GetLastError();
    std::printf("%s: result %d error %lu visits %d\n", row.wineVersion, result, error,
                found.visits);
    bool ok = result == row.result && (result == 1 || error == row.error);
    ok = ok && (row.port != nullptr ? found.matched : found.visits == 0);
    return ok ? 0 : 1;
}

std::string SelfPath() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, n);
}

std::string AppDefaultsKey() {
    std::string self = SelfPath();
    return "Software\\Wine\\AppDefaults\\" + self.substr(self.find_last_of("\\/") + 1);
}

void SetString(HKEY key, const char* name, const char* text) {
    ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                             static_cast<DWORD>(std::strlen(text) + 1)),
              ERROR_SUCCESS);
}

// Volatile keys, so that nothing is left in the prefix even if the test dies half-way.
HKEY CreateVolatile(HKEY parent, const char* path) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(parent, path, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS)
        << path;
    return key;
}

// Puts the row's port where its source looks, under HKLM.
void PlacePort(const Row& row) {
    if (row.keyPath == nullptr) {
        return;
    }
    HKEY key = CreateVolatile(HKEY_LOCAL_MACHINE, row.keyPath);
    ASSERT_NE(key, nullptr);
    if (row.subKey == nullptr) {
        SetString(key, row.valueName, row.valueData);
    } else {
        HKEY instance = CreateVolatile(key, row.subKey);
        ASSERT_NE(instance, nullptr);
        SetString(instance, "ClassGUID", "{4D36E978-E325-11CE-BFC1-08002BE10318}");
        SetString(instance, "FriendlyName", row.display);
        HKEY parameters = CreateVolatile(instance, "Device Parameters");
        SetString(parameters, row.valueName, row.valueData);
        RegCloseKey(parameters);
        RegCloseKey(instance);
    }
    RegCloseKey(key);
}

void RemovePort(const Row& row) {
    if (row.keyPath == nullptr) {
        return;
    }
    if (row.subKey == nullptr) {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, row.keyPath, 0, KEY_SET_VALUE, &key) == 0) {
            RegDeleteValueA(key, row.valueName);
            RegCloseKey(key);
        }
    } else {
        DeleteTree(HKEY_LOCAL_MACHINE, row.keyPath);
    }
}

DWORD RunSelfAsChild(size_t rowIndex) {
    std::string command = "\"" + SelfPath() + "\" --child " + std::to_string(rowIndex);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return 1000 + GetLastError();
    }
    DWORD code = 999;
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.hProcess, &code);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

TEST(WineVersion, EachVersionReadsItsOwnSource) {
    HKEY appKey = CreateVolatile(HKEY_CURRENT_USER, AppDefaultsKey().c_str());
    ASSERT_NE(appKey, nullptr);
    for (size_t i = 0; i < std::size(kRows); ++i) {
        const Row& row = kRows[i];
        SCOPED_TRACE(row.wineVersion);
        SetString(appKey, "Version", row.wineVersion);
        PlacePort(row);
        EXPECT_EQ(RunSelfAsChild(i), 0u);
        RemovePort(row);
    }
    RegCloseKey(appKey);
    DeleteTree(HKEY_CURRENT_USER, AppDefaultsKey().c_str());
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--child") == 0) {
        size_t row = std::strtoul(argv[2], nullptr, 10);
        return row < std::size(kRows) ? RunChild(kRows[row]) : 3;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
