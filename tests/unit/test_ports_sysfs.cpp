// Port enumeration on Linux: a fake sysfs tree shaped like the kernel's (class/tty links into
// devices/, "device" and "subsystem" links, USB string attributes), and the machine's own /sys.
#include "ports/ports.h"

#include "ports/port_names.h"
#include "tests/fakes/port_recorder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream(path) << text << "\n";
}

class FakeSysfs : public ::testing::Test {
  protected:
    fs::path root;

    void SetUp() override {
        char pattern[] = "/tmp/zuva-sysfs-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        fs::create_directories(root / "class" / "tty");
        setenv("ZUVA_SYSFS_ROOT", root.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("ZUVA_SYSFS_ROOT");
        fs::remove_all(root);
    }

    // A device directory under devices/ belonging to the given bus.
    fs::path Device(const std::string& rel, const std::string& subsystem) {
        fs::path dir = root / "devices" / rel;
        fs::create_directories(dir);
        fs::create_directories(root / "bus" / subsystem);
        fs::create_symlink(fs::relative(root / "bus" / subsystem, dir), dir / "subsystem");
        return dir;
    }
    void Usb(const std::string& rel, const std::string& vid, const std::string& pid,
             const std::string& product, const std::string& maker) {
        fs::path dir = Device(rel, "usb");
        WriteFile(dir / "idVendor", vid);
        WriteFile(dir / "idProduct", pid);
        if (!product.empty()) {
            WriteFile(dir / "product", product);
        }
        if (!maker.empty()) {
            WriteFile(dir / "manufacturer", maker);
        }
    }
    // A tty class device below deviceRel ("" = virtual, no device link); type "" = no attribute.
    void Tty(const std::string& name, const std::string& deviceRel, const std::string& type) {
        fs::path parent =
            deviceRel.empty() ? root / "devices" / "virtual" : root / "devices" / deviceRel;
        fs::path dir = parent / "tty" / name;
        fs::create_directories(dir);
        if (!deviceRel.empty()) {
            fs::create_symlink(fs::relative(parent, dir), dir / "device");
        }
        if (!type.empty()) {
            WriteFile(dir / "type", type);
        }
        fs::create_symlink(fs::relative(dir, root / "class" / "tty"),
                           root / "class" / "tty" / name);
    }

    // A PC with one real UART and phantom 8250 ports, two USB serial converters, one CDC ACM
    // device, an ARM UART and the usual virtual ttys.
    void BuildMachine() {
        Device("pnp0/00:01", "pnp");
        Device("pnp0/00:01/00:01:0", "serial-base");
        Device("pnp0/00:01/00:01:0/00:01:0.0", "serial-base");
        Tty("ttyS0", "pnp0/00:01/00:01:0/00:01:0.0", "4");
        Device("platform/serial8250", "platform");
        Tty("ttyS1", "platform/serial8250", "0");
        Tty("ttyS3", "platform/serial8250", "0");
        Tty("ttyS12", "platform/serial8250", "4");
        Device("pci0000:00/0000:00:14.0", "pci");
        Usb("pci0000:00/0000:00:14.0/usb1", "1d6b", "0002", "xHCI Host Controller", "Linux");
        const std::string hub = "pci0000:00/0000:00:14.0/usb1/";
        Usb(hub + "1-1", "10c4", "ea60", "CP2102 USB to UART Bridge Controller", "Silicon Labs");
        Device(hub + "1-1/1-1:1.0", "usb");
        Device(hub + "1-1/1-1:1.0/ttyUSB0", "usb-serial");
        Tty("ttyUSB0", hub + "1-1/1-1:1.0/ttyUSB0", "");
        Usb(hub + "1-2", "0483", "5740", "STM32 Virtual ComPort", "");
        Device(hub + "1-2/1-2:1.0", "usb");
        Tty("ttyACM0", hub + "1-2/1-2:1.0", "");
        Usb(hub + "1-3", "0403", "6001", "", "");
        Device(hub + "1-3/1-3:1.0", "usb");
        Device(hub + "1-3/1-3:1.0/ttyUSB1", "usb-serial");
        Tty("ttyUSB1", hub + "1-3/1-3:1.0/ttyUSB1", "");
        Device("platform/fe201000.serial", "amba");
        Tty("ttyAMA0", "platform/fe201000.serial", "");
        Tty("ttyS5", "", "");
        Tty("tty0", "", "");
        Tty("console", "", "");
        Tty("ptmx", "", "");
    }
};

TEST_F(FakeSysfs, ListsRealPortsInComOrderWithNamesAndEnumerators) {
    BuildMachine();
    Recorder r;
    ASSERT_EQ(EnumSerialPorts(Record, reinterpret_cast<intptr_t>(&r)), 1);
    std::vector<Seen> expected = {
        {"COM1", "Serial port - /dev/ttyS0", "PNP"},
        {"COM13", "Serial port - /dev/ttyS12", "PLATFORM"},
        {"COM101", "CP2102 USB to UART Bridge Controller (Silicon Labs) - /dev/ttyUSB0", "USB"},
        {"COM102", "USB serial port 0403:6001 - /dev/ttyUSB1", "USB"},
        {"COM201", "STM32 Virtual ComPort - /dev/ttyACM0", "USB"},
    };
    ASSERT_EQ(r.seen.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(r.seen[i].port, expected[i].port) << "entry " << i;
        EXPECT_EQ(r.seen[i].display, expected[i].display) << "entry " << i;
        EXPECT_EQ(r.seen[i].enumerator, expected[i].enumerator) << "entry " << i;
    }
}

TEST_F(FakeSysfs, VisitorStopEndsListingWithSuccess) {
    BuildMachine();
    Recorder r;
    r.stopAt = 2;
    EXPECT_EQ(EnumSerialPorts(Record, reinterpret_cast<intptr_t>(&r)), 1);
    ASSERT_EQ(r.seen.size(), 2u);
    EXPECT_EQ(r.seen[1].port, "COM13");
}

TEST_F(FakeSysfs, NoPortsIsSuccessAndMissingTreeIsFailureWithErrno) {
    Recorder r;
    EXPECT_EQ(EnumSerialPorts(Record, reinterpret_cast<intptr_t>(&r)), 1);
    EXPECT_TRUE(r.seen.empty());

    fs::remove_all(root / "class");
    errno = 0;
    EXPECT_EQ(EnumSerialPorts(Record, reinterpret_cast<intptr_t>(&r)), 0);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(r.seen.empty());
}

TEST_F(FakeSysfs, NoVisitorIsInvalidArgument) {
    errno = 0;
    EXPECT_EQ(EnumSerialPorts(nullptr, 0), 0);
    EXPECT_EQ(errno, EINVAL);
}

// The machine's own /sys, whatever its kernel's layout: the listing succeeds in strictly
// ascending COM order, and every entry is a tty of the kernel's class with hardware behind
// it, shown with its device node and an enumerator. (Which ttys belong in the list is
// checked against the fake trees above.)
TEST(SysfsOfThisMachine, EveryEntryIsAHardwareTtyInComOrder) {
    unsetenv("ZUVA_SYSFS_ROOT");
    Recorder r;
    ASSERT_EQ(EnumSerialPorts(Record, reinterpret_cast<intptr_t>(&r)), 1);
    int previous = 0;
    for (const Seen& entry : r.seen) {
        SCOPED_TRACE(entry.port + " \"" + entry.display + "\"");
        const int com = ComNumberFromName(entry.port.c_str());
        EXPECT_GT(com, previous);
        previous = com;
        char node[32];
        ASSERT_EQ(ComNumberToDevicePath(com, node, sizeof node), 0);
        const fs::path tty = fs::path("/sys/class/tty") / fs::path(node).filename();
        EXPECT_TRUE(fs::exists(tty / "device")) << tty;
        EXPECT_TRUE(entry.display.ends_with(std::string(" - ") + node));
        struct stat st;
        if (stat(node, &st) == 0) { // containers may lack the node itself
            EXPECT_TRUE(S_ISCHR(st.st_mode)) << node;
        }
        EXPECT_FALSE(entry.enumerator.empty());
    }
}

} // namespace
