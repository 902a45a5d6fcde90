// Registry port enumeration against real registry keys: each test builds its own tree below
// HKCU\Software\ZuvaTest\Ports<pid>, points the enumeration there, and deletes it afterwards.
#include "ports/ports.h"
#include "ports/ports_test_seam.h"
#include "tests/fakes/port_recorder.h"
#include "tests/win32/registry_fake.h"
#include "tests/win32/registry_tree.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <string>
#include <vector>

namespace {

constexpr char kGuid[] = "{4D36E978-E325-11CE-BFC1-08002BE10318}";
constexpr char kNtEnum[] = "SYSTEM\\CurrentControlSet\\Enum\\";

// A key with values; a value given as REG_BINARY is stored without any terminator.
struct Value {
    const char* name;
    std::string data;
    DWORD type = REG_SZ;
};

class Registry : public ::testing::Test {
  protected:
    std::string basePath;
    HKEY base = nullptr;
    PortsResourceCounts before{};

    void SetUp() override {
        basePath = "Software\\ZuvaTest\\Ports" + std::to_string(GetCurrentProcessId());
        DeleteTree(HKEY_CURRENT_USER, basePath.c_str());
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, basePath.c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &base, nullptr),
                  ERROR_SUCCESS);
        SetPortsRegistryBase(base);
        SetPortsFakeVersion(1, VER_PLATFORM_WIN32_NT, 6);
        before = GetPortsResourceCounts();
    }

    // Every path through the enumeration releases what it acquired. (Wine's
    // GetProcessHandleCount always answers 0, so the enumeration's own counts are used.)
    void TearDown() override {
        PortsResourceCounts after = GetPortsResourceCounts();
        EXPECT_EQ(after.keysOpened - before.keysOpened, after.keysClosed - before.keysClosed);
        EXPECT_EQ(after.buffersAllocated - before.buffersAllocated,
                  after.buffersFreed - before.buffersFreed);
        SetPortsFakeVersion(0, 0, 0);
        SetPortsRegistryBase(nullptr);
        RegCloseKey(base);
        DeleteTree(HKEY_CURRENT_USER, basePath.c_str());
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\ZuvaTest"); // only once it is empty
    }

    void Key(const std::string& path, const std::vector<Value>& values) {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(base, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS)
            << path;
        for (const Value& v : values) {
            DWORD size = static_cast<DWORD>(v.data.size() + (v.type == REG_SZ ? 1 : 0));
            ASSERT_EQ(RegSetValueExA(key, v.name, 0, v.type,
                                     reinterpret_cast<const BYTE*>(v.data.c_str()), size),
                      ERROR_SUCCESS);
        }
        RegCloseKey(key);
    }

    void SetAcl(const std::string& path, const char* sddl) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd,
                                                                         nullptr));
        HKEY key;
        ASSERT_EQ(RegOpenKeyExA(base, path.c_str(), 0, WRITE_DAC, &key), ERROR_SUCCESS);
        EXPECT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd), ERROR_SUCCESS);
        RegCloseKey(key);
        LocalFree(sd);
    }

    int Enumerate(Recorder& r) {
        SetLastError(0);
        return EnumSerialPorts(Record, reinterpret_cast<intptr_t>(&r));
    }
};

void ExpectSeen(const Recorder& r, const std::vector<Seen>& expected) {
    ASSERT_EQ(r.seen.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(r.seen[i].port, expected[i].port) << "entry " << i;
        EXPECT_EQ(r.seen[i].display, expected[i].display) << "entry " << i;
        EXPECT_EQ(r.seen[i].enumerator, expected[i].enumerator) << "entry " << i;
    }
}

// Which instances count as ports, where the port name comes from, the display name rule and
// the enumerator name, in the registry's index order.
TEST_F(Registry, WalkFindsPortsByClassOrGuidInAnyCase) {
    std::string e = kNtEnum;
    std::string longEnumerator(200, 'E');
    std::string longFriendly = "Long friendly name " + std::string(300, 'f');
    Key(e + "ACPI\\PNP0501\\1",
        {{"CLASS", "Ports"}, {"PORTNAME", "COM1"}, {"FRIENDLYNAME", "Communications Port (COM1)"}});
    Key(e + "ACPI\\PNP0501\\2", {{"Class", "ports"}});
    Key(e + "ACPI\\PNP0501\\2\\Device Parameters", {{"PortName", "COM2"}});
    Key(e + "ACPI\\PNP0501\\3", {{"CLASS", "Mouse"}, {"PORTNAME", "COM9"}});
    Key(e + longEnumerator + "\\DEV\\0", {{"CLASS", "PORTSX"},
                                          {"CLASSGUID", "{4d36e978-e325-11ce-bfc1-08002be10318}"},
                                          {"FRIENDLYNAME", longFriendly}});
    Key(e + longEnumerator + "\\DEV\\0\\DEVICE PARAMETERS", {{"PORTNAME", "com7"}});
    Key(e + "USB\\VID_0483\\A", {{"CLASSGUID", kGuid}, {"PORTNAME", "LPT1"}});
    Key(e + "USB\\VID_0483\\B", {{"CLASSGUID", kGuid}, {"PORTNAME", "CO"}});
    Key(e + "USB\\VID_0483\\C", {{"CLASSGUID", kGuid}});
    Key(e + "USB\\VID_0483\\D", {{"CLASSGUID", kGuid}, {"PORTNAME", "COM3"}});
    Key(e + "USB\\VID_10C4\\" + std::string(180, 'i'),
        {{"CLASSGUID", kGuid}, {"PORTNAME", "COM" + std::string(200, '4')}});

    Recorder r;
    EXPECT_EQ(Enumerate(r), 1);
    ExpectSeen(r, {{"COM1", "Communications Port (COM1)", "ACPI"},
                   {"COM2", "COM2", "ACPI"},
                   {"com7", longFriendly, longEnumerator},
                   {"COM3", "COM3", "USB"},
                   {"COM" + std::string(200, '4'), "COM" + std::string(200, '4'), "USB"}});
}

// Values stored without a terminator (or of a non-text type) still end inside their buffers;
// the 128-byte friendly name fills the first buffer exactly.
TEST_F(Registry, ValuesWithoutTerminatorAreReadAsWholeTexts) {
    std::string e = kNtEnum;
    std::string friendly(128, 'x');
    Key(e + "ACPI\\PNP0501\\1", {{"CLASS", "PORTS", REG_BINARY},
                                 {"PORTNAME", "COM5", REG_BINARY},
                                 {"FRIENDLYNAME", friendly, REG_BINARY}});
    // A GUID with one more character fills the 39-byte buffer and must not match.
    Key(e + "ACPI\\PNP0501\\2",
        {{"CLASSGUID", std::string(kGuid) + "X", REG_BINARY}, {"PORTNAME", "COM6"}});
    Key(e + "ACPI\\PNP0501\\3",
        {{"CLASSGUID", kGuid, REG_BINARY}, {"PORTNAME", std::string("COM8\0junk", 9), REG_BINARY}});
    Recorder r;
    EXPECT_EQ(Enumerate(r), 1);
    ExpectSeen(r, {{"COM5", friendly, "ACPI"}, {"COM8", "COM8", "ACPI"}});
}

TEST_F(Registry, VisitorThatStopsGetsExactlyOneVisit) {
    Key(std::string(kNtEnum) + "ACPI\\PNP0501\\1", {{"CLASS", "Ports"}, {"PORTNAME", "COM1"}});
    Key(std::string(kNtEnum) + "ACPI\\PNP0501\\2", {{"CLASS", "Ports"}, {"PORTNAME", "COM2"}});
    Recorder r;
    r.stopAt = 1;
    EXPECT_EQ(Enumerate(r), 1);
    ExpectSeen(r, {{"COM1", "COM1", "ACPI"}});
}

// A key that cannot be opened, at any of the three levels below the root, stops the walk
// with its code after the ports before it. Each row has a tree of its own: Wine keeps
// answering "access denied" for a key until the wineserver restarts.
TEST_F(Registry, AccessDeniedAtAnyLevelFailsAfterEarlierPorts) {
    const char* const deniedKeys[] = {"USB", "USB\\VID_0483", "USB\\VID_0483\\1"};
    for (size_t row = 0; row < std::size(deniedKeys); ++row) {
        SCOPED_TRACE(deniedKeys[row]);
        std::string rowPath = "Row" + std::to_string(row);
        std::string e = rowPath + "\\" + kNtEnum;
        Key(e + "ACPI\\PNP0501\\1", {{"CLASS", "Ports"}, {"PORTNAME", "COM1"}});
        Key(e + "USB\\VID_0483\\1", {{"CLASS", "Ports"}, {"PORTNAME", "COM2"}});
        Key(e + "USB\\VID_10C4\\1", {{"CLASS", "Ports"}, {"PORTNAME", "COM3"}});
        Key(e + "XYZ\\VID_0001\\1", {{"CLASS", "Ports"}, {"PORTNAME", "COM4"}});
        SetAcl(e + deniedKeys[row], "D:(D;;KR;;;WD)(A;;KA;;;WD)");
        HKEY rowBase = nullptr;
        ASSERT_EQ(RegOpenKeyExA(base, rowPath.c_str(), 0, KEY_READ, &rowBase), ERROR_SUCCESS);
        SetPortsRegistryBase(rowBase);
        Recorder r;
        EXPECT_EQ(Enumerate(r), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        ExpectSeen(r, {{"COM1", "COM1", "ACPI"}});
        SetPortsRegistryBase(base);
        RegCloseKey(rowBase);
        SetAcl(e + deniedKeys[row], "D:(A;;KA;;;WD)");
    }
}

TEST_F(Registry, MissingRootFailsWithFileNotFound) {
    Recorder r;
    EXPECT_EQ(Enumerate(r), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(r.seen.empty());
}

// The source follows the platform and major version.
TEST_F(Registry, VersionChoosesTheSource) {
    Key("ENUM\\BIOS\\*PNP0501\\0000", {{"CLASS", "Ports"}, {"PORTNAME", "COM1"}});
    Key(std::string(kNtEnum) + "ACPI\\PNP0501\\1", {{"CLASS", "Ports"}, {"PORTNAME", "COM2"}});
    Key("HARDWARE\\DEVICEMAP\\SERIALCOMM", {{"\\Device\\Serial0", "COM3"}});
    struct Row {
        DWORD platform, major;
        int result;
        DWORD error;
        std::vector<Seen> seen;
    };
    const Row rows[] = {
        {VER_PLATFORM_WIN32_WINDOWS, 4, 1, 0, {{"COM1", "COM1", "BIOS"}}},
        {VER_PLATFORM_WIN32_NT, 4, 1, 0, {{"COM3", "COM3", ""}}},
        {VER_PLATFORM_WIN32_NT, 5, 1, 0, {{"COM2", "COM2", "ACPI"}}},
        {VER_PLATFORM_WIN32_NT, 10, 1, 0, {{"COM2", "COM2", "ACPI"}}},
        {VER_PLATFORM_WIN32_NT, 3, 0, ERROR_OLD_WIN_VERSION, {}},
        {VER_PLATFORM_WIN32s, 3, 0, ERROR_OLD_WIN_VERSION, {}},
        {VER_PLATFORM_WIN32s, 6, 0, ERROR_OLD_WIN_VERSION, {}},
        {3, 10, 0, ERROR_OLD_WIN_VERSION, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("platform " + std::to_string(row.platform) + " major " +
                     std::to_string(row.major));
        SetPortsFakeVersion(1, row.platform, row.major);
        Recorder r;
        EXPECT_EQ(Enumerate(r), row.result);
        if (row.result == 0) {
            EXPECT_EQ(GetLastError(), row.error);
        }
        ExpectSeen(r, row.seen);
    }
}

TEST_F(Registry, NoVisitorIsInvalidParameter) {
    SetLastError(0);
    EXPECT_EQ(EnumSerialPorts(nullptr, 0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    PortsResourceCounts now = GetPortsResourceCounts();
    EXPECT_EQ(now.keysOpened, before.keysOpened); // the registry is not touched
}

// NT 4: every value's data is a port, in value order, whole even past the 32-byte buffers.
TEST_F(Registry, SerialCommListsEveryValueWhole) {
    SetPortsFakeVersion(1, VER_PLATFORM_WIN32_NT, 4);
    std::string longName = "\\Device\\Serial1" + std::string(100, 'n');
    std::string longData = "COM" + std::string(60, '9');
    std::string exact(32, 'Z');
    Key("HARDWARE\\DEVICEMAP\\SERIALCOMM", {{"\\Device\\Serial0", "COM1"},
                                            {longName.c_str(), longData},
                                            {"\\Device\\Serial2", exact, REG_BINARY},
                                            {"\\Device\\Serial3", "LPT9"}});
    Recorder r;
    EXPECT_EQ(Enumerate(r), 1);
    ExpectSeen(
        r,
        {{"COM1", "COM1", ""}, {longData, longData, ""}, {exact, exact, ""}, {"LPT9", "LPT9", ""}});

    Recorder stop;
    stop.stopAt = 2;
    EXPECT_EQ(Enumerate(stop), 1);
    EXPECT_EQ(stop.seen.size(), 2u);
}

TEST_F(Registry, SerialCommMissingMeansNoPorts) {
    SetPortsFakeVersion(1, VER_PLATFORM_WIN32_NT, 4);
    Recorder r;
    EXPECT_EQ(Enumerate(r), 1);
    EXPECT_TRUE(r.seen.empty());
}

TEST_F(Registry, SerialCommDeniedFailsWithThatCode) {
    SetPortsFakeVersion(1, VER_PLATFORM_WIN32_NT, 4);
    Key("HARDWARE\\DEVICEMAP\\SERIALCOMM", {{"\\Device\\Serial0", "COM1"}});
    SetAcl("HARDWARE\\DEVICEMAP\\SERIALCOMM", "D:(D;;KR;;;WD)(A;;KA;;;WD)");
    Recorder r;
    EXPECT_EQ(Enumerate(r), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(r.seen.empty());
    SetAcl("HARDWARE\\DEVICEMAP\\SERIALCOMM", "D:(A;;KA;;;WD)");
}

// The two reading steps on their own: names and texts past the first 128-byte buffer, and
// the caller's buffer and key replaced.
TEST_F(Registry, SubKeyNamesAndValueTextsGrowPastFirstBuffer) {
    std::string name(250, 'k');
    Key("P\\" + name, {{"V", std::string(1000, 'v')}});
    HKEY parent = nullptr;
    ASSERT_EQ(RegOpenKeyExA(base, "P", 0, KEY_READ, &parent), ERROR_SUCCESS);
    RegText nameBuffer;
    RegKey child;
    ASSERT_EQ(OpenSubKeyByIndex(parent, 0, KEY_READ, child, nameBuffer), ERROR_SUCCESS);
    EXPECT_EQ(std::string(nameBuffer.text), name);
    RegText text;
    EXPECT_EQ(QueryStringValue(child.handle, "V", text), ERROR_SUCCESS);
    EXPECT_EQ(std::string(text.text), std::string(1000, 'v'));
    EXPECT_EQ(QueryStringValue(child.handle, "Missing", text), ERROR_FILE_NOT_FOUND);

    EXPECT_EQ(OpenSubKeyByIndex(parent, 1, KEY_READ, child, nameBuffer), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(child.handle, nullptr);
    RegCloseKey(parent);
}

} // namespace
