// Port enumeration on Linux: a fake sysfs tree shaped like the kernel's (class/tty links into
// devices/, "device" and "subsystem" links, USB string attributes) with udev's by-id links
// beside it, and the machine's own /sys.
#include "ports/ports.h"

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
        fs::create_directories(root / "dev" / "serial" / "by-id");
        setenv("ZUVA_SYSFS_ROOT", root.c_str(), 1);
        setenv("ZUVA_DEV_ROOT", (root / "dev").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("ZUVA_SYSFS_ROOT");
        unsetenv("ZUVA_DEV_ROOT");
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
             const std::string& product, const std::string& maker, const std::string& serial = "") {
        fs::path dir = Device(rel, "usb");
        WriteFile(dir / "idVendor", vid);
        WriteFile(dir / "idProduct", pid);
        if (!serial.empty()) {
            WriteFile(dir / "serial", serial);
        }
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

    // A udev link in dev/serial/by-id, relative as udev makes them.
    void ById(const std::string& link, const std::string& tty) {
        fs::create_symlink("../../" + tty, root / "dev" / "serial" / "by-id" / link);
    }

    // A PC with one real UART and phantom 8250 ports, three USB serial converters (one
    // beyond the hundred that COM names reach), one CDC ACM device, an ARM UART, an SPI
    // UART, a Bluetooth rfcomm port and the usual virtual ttys.
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
        Usb(hub + "1-1", "10c4", "ea60", "CP2102 USB to UART Bridge Controller", "Silicon Labs",
            "0001");
        ById("usb-Silicon_Labs_CP2102_USB_to_UART_Bridge_Controller_0001-if00-port0", "ttyUSB0");
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
        Usb(hub + "1-4", "0403", "6015", "FT230X Basic UART", "FTDI", "DK0AB1CD");
        Device(hub + "1-4/1-4:1.0", "usb");
        Device(hub + "1-4/1-4:1.0/ttyUSB100", "usb-serial");
        Tty("ttyUSB100", hub + "1-4/1-4:1.0/ttyUSB100", "");
        ById("usb-FTDI_FT230X_Basic_UART_DK0AB1CD-if00-port0", "ttyUSB100");
        Device("platform/fe201000.serial", "amba");
        Tty("ttyAMA0", "platform/fe201000.serial", "");
        Device("platform/spi0/spi0.0", "spi");
        Tty("ttySC0", "platform/spi0/spi0.0", "");
        Tty("rfcomm0", "", "");
        Tty("ttyS5", "", "");
        Tty("tty0", "", "");
        Tty("console", "", "");
        Tty("ptmx", "", "");
    }
};

// Every field of an entry, "|" between them.
int RecordAll(intptr_t userValue, const PortEntry* e) {
    reinterpret_cast<std::vector<std::string>*>(userValue)->push_back(
        std::string(e->portName) + "|" + e->displayName + "|" + e->enumeratorName + "|" +
        e->stableName + "|" + e->usbId + "|" + e->serialNumber);
    return 1;
}

TEST_F(FakeSysfs, ListsRealPortsByDevicePathFamilyByFamilyWithWhatTheSystemKnows) {
    BuildMachine();
    std::vector<std::string> seen;
    ASSERT_EQ(EnumSerialPorts(RecordAll, reinterpret_cast<intptr_t>(&seen)), 1);
    const std::string byId = (root / "dev" / "serial" / "by-id").string() + "/";
    const std::vector<std::string> expected = {
        "/dev/ttyS0|Serial port|PNP|||",
        "/dev/ttyS12|Serial port|PLATFORM|||",
        "/dev/ttyUSB0|CP2102 USB to UART Bridge Controller (Silicon Labs), USB 10c4:ea60, "
        "serial 0001|USB|" +
            byId + "usb-Silicon_Labs_CP2102_USB_to_UART_Bridge_Controller_0001-if00-port0|" +
            "10c4:ea60|0001",
        "/dev/ttyUSB1|Serial port, USB 0403:6001|USB||0403:6001|",
        "/dev/ttyUSB100|FT230X Basic UART (FTDI), USB 0403:6015, serial DK0AB1CD|USB|" + byId +
            "usb-FTDI_FT230X_Basic_UART_DK0AB1CD-if00-port0|0403:6015|DK0AB1CD",
        "/dev/ttyACM0|STM32 Virtual ComPort, USB 0483:5740|USB||0483:5740|",
        "/dev/ttyAMA0|Serial port|AMBA|||",
        "/dev/ttySC0|Serial port|SPI|||",
        "/dev/rfcomm0|Bluetooth serial port|BLUETOOTH|||",
    };
    EXPECT_EQ(seen, expected);
}

TEST_F(FakeSysfs, VisitorStopEndsListingWithSuccess) {
    BuildMachine();
    Recorder r;
    r.stopAt = 2;
    EXPECT_EQ(EnumSerialPorts(Record, reinterpret_cast<intptr_t>(&r)), 1);
    ASSERT_EQ(r.seen.size(), 2u);
    EXPECT_EQ(r.seen[1].port, "/dev/ttyS12");
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

// The machine's own /sys, whatever its kernel's layout: the listing succeeds, and every
// entry is a device path of a tty of the kernel's class with hardware behind it (or an
// rfcomm port), once. (Which ttys belong in the list is checked against the fake trees
// above.)
TEST(SysfsOfThisMachine, EveryEntryIsAHardwareTtyOnce) {
    unsetenv("ZUVA_SYSFS_ROOT");
    unsetenv("ZUVA_DEV_ROOT");
    Recorder r;
    ASSERT_EQ(EnumSerialPorts(Record, reinterpret_cast<intptr_t>(&r)), 1);
    std::vector<std::string> names;
    for (const Seen& entry : r.seen) {
        SCOPED_TRACE(entry.port + " \"" + entry.display + "\"");
        ASSERT_TRUE(entry.port.starts_with("/dev/"));
        const std::string name = fs::path(entry.port).filename().string();
        const fs::path tty = fs::path("/sys/class/tty") / name;
        EXPECT_TRUE(fs::exists(tty / "device") || name.starts_with("rfcomm")) << tty;
        struct stat st;
        if (stat(entry.port.c_str(), &st) == 0) { // containers may lack the node itself
            EXPECT_TRUE(S_ISCHR(st.st_mode)) << entry.port;
        }
        EXPECT_FALSE(entry.display.empty());
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end());
}

} // namespace
