// Serial port enumeration from sysfs. Linux has no COM names, so each port's device node is
// named by the one rule of ports/port_names.h (COM1..100 = ttyS0..99, COM101..200 =
// ttyUSB0..99, COM201..300 = ttyACM0..99); tty devices outside that rule (consoles, ptys,
// ttyAMA and the like) cannot be opened by a COM name and are not listed.
//
// For every /sys/class/tty/NAME that maps to a COM number and has a hardware device behind it:
// - skip 8250 ports that the kernel registered without finding a UART ("type" reads 0,
//   PORT_UNKNOWN): PCs show up to 32 such ttyS nodes;
// - displayName: the USB device's product and manufacturer strings where there are any,
//   "PRODUCT (MANUFACTURER) - /dev/NAME", else "USB serial port VID:PID - /dev/NAME" for USB,
//   else "Serial port - /dev/NAME";
// - enumeratorName: the upper-cased bus of the nearest device, from the tty's device upwards,
//   that is not a serial-layer device (usb-serial, serial-base): "USB", "PNP", "PLATFORM",
//   "PCI", "ACPI"; "" when none is found.
// Entries are visited in COM number order. ZUVA_SYSFS_ROOT, when set, replaces "/sys" so that
// tests can run against a fake tree.
#include "ports/ports.h"

#include "ports/port_names.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct FoundPort {
    int comNumber;
    std::string portName;
    std::string displayName;
    std::string enumeratorName;
};

std::string SysfsRoot() {
    const char* root = std::getenv("ZUVA_SYSFS_ROOT");
    return (root != nullptr && *root != '\0') ? root : "/sys";
}

// The first line of a sysfs attribute, without trailing blanks; false if it cannot be read.
bool ReadAttribute(const fs::path& path, std::string& text) {
    std::ifstream in(path);
    if (!in || !std::getline(in, text)) {
        return false;
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.pop_back();
    }
    return true;
}

bool IsPhantomUart(const fs::path& ttyDir) {
    std::string type;
    return ReadAttribute(ttyDir / "type", type) && type == "0";
}

// The name of the subsystem a sysfs device belongs to ("usb", "pnp", ...), or "".
std::string SubsystemOf(const fs::path& deviceDir) {
    std::error_code ec;
    fs::path target = fs::read_symlink(deviceDir / "subsystem", ec);
    return ec ? std::string() : target.filename().string();
}

// Calls step(dir) for the device and each parent up to (not including) the devices root,
// until step returns true.
template <typename Step>
void WalkUp(const fs::path& deviceDir, const fs::path& devicesRoot, Step step) {
    std::string rootText = devicesRoot.string() + "/";
    for (fs::path dir = deviceDir; dir.string().rfind(rootText, 0) == 0 && dir != dir.parent_path();
         dir = dir.parent_path()) {
        if (step(dir)) {
            return;
        }
    }
}

std::string EnumeratorOf(const fs::path& deviceDir, const fs::path& devicesRoot) {
    std::string bus;
    WalkUp(deviceDir, devicesRoot, [&](const fs::path& dir) {
        std::string subsystem = SubsystemOf(dir);
        if (subsystem.empty() || subsystem == "usb-serial" || subsystem == "serial-base" ||
            subsystem == "tty") {
            return false;
        }
        bus = subsystem;
        return true;
    });
    for (char& c : bus) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return bus;
}

// The USB device's own words for itself, if the port sits on one.
std::string DescriptionOf(const fs::path& deviceDir, const fs::path& devicesRoot) {
    std::string text = "Serial port";
    WalkUp(deviceDir, devicesRoot, [&](const fs::path& dir) {
        std::string vendorId;
        if (!ReadAttribute(dir / "idVendor", vendorId)) {
            return false;
        }
        std::string product;
        std::string maker;
        bool hasProduct = ReadAttribute(dir / "product", product) && !product.empty();
        bool hasMaker = ReadAttribute(dir / "manufacturer", maker) && !maker.empty();
        if (hasProduct) {
            text = hasMaker ? product + " (" + maker + ")" : product;
        } else if (hasMaker) {
            text = maker;
        } else {
            std::string productId;
            ReadAttribute(dir / "idProduct", productId);
            text = "USB serial port " + vendorId + ":" + productId;
        }
        return true;
    });
    return text;
}

// Fills port from /sys/class/tty/NAME; false when NAME is not a listable serial port.
bool ReadPort(const fs::path& ttyDir, const std::string& name, const fs::path& devicesRoot,
              FoundPort& port) {
    std::string node = "/dev/" + name;
    port.comNumber = DevicePathToComNumber(node.c_str());
    if (port.comNumber == 0 || IsPhantomUart(ttyDir)) {
        return false;
    }
    std::error_code ec;
    fs::path deviceDir = fs::canonical(ttyDir / "device", ec);
    if (ec) {
        return false; // a virtual tty: nothing behind it
    }
    char comName[16] = "";
    ComPortName(port.comNumber, comName, sizeof comName);
    port.portName = comName;
    port.displayName = DescriptionOf(deviceDir, devicesRoot) + " - " + node;
    port.enumeratorName = EnumeratorOf(deviceDir, devicesRoot);
    return true;
}

// 0, or an errno value.
int CollectPorts(std::vector<FoundPort>& ports) {
    fs::path root = SysfsRoot();
    fs::path classDir = root / "class" / "tty";
    DIR* dir = opendir(classDir.c_str());
    if (dir == nullptr) {
        return errno;
    }
    std::error_code ec;
    fs::path devicesRoot = fs::canonical(root / "devices", ec);
    while (const dirent* item = readdir(dir)) {
        std::string name = item->d_name;
        FoundPort port;
        if (name[0] != '.' && ReadPort(classDir / name, name, devicesRoot, port)) {
            ports.push_back(std::move(port));
        }
    }
    closedir(dir);
    std::sort(ports.begin(), ports.end(),
              [](const FoundPort& a, const FoundPort& b) { return a.comNumber < b.comNumber; });
    return 0;
}

} // namespace

int EnumSerialPorts(PortVisitor visitor, intptr_t userValue) {
    if (visitor == nullptr) {
        errno = EINVAL;
        return 0;
    }
    std::vector<FoundPort> ports;
    try {
        int error = CollectPorts(ports);
        if (error != 0) {
            errno = error;
            return 0;
        }
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return 0;
    }
    for (const FoundPort& port : ports) {
        PortEntry entry = {port.portName.c_str(), port.displayName.c_str(),
                           port.enumeratorName.c_str()};
        if (visitor(userValue, &entry) == 0) {
            break;
        }
    }
    return 1;
}
