// Serial port enumeration from sysfs. Each port is named by its device path
// (/dev/ttyUSB0), which is what the POSIX serial link opens; COM names are only aliases for
// the first hundred ttyS, ttyUSB and ttyACM nodes (ports/port_names.h), so that a command
// written for Windows keeps working.
//
// A tty of /sys/class/tty is listed when it has hardware behind it (a "device" link):
// ttyS, ttyUSB, ttyACM, ttyAMA, ttySC and the like; virtual ttys (consoles, ptys) have
// none. Two exceptions: 8250 ports that the kernel registered without finding a UART
// ("type" reads 0, PORT_UNKNOWN; PCs show up to 32 such ttyS nodes) are left out, and
// Bluetooth rfcomm ttys, which hang off no device until connected, are listed.
// - displayName: the USB device's product and manufacturer strings where there are any,
//   "PRODUCT (MANUFACTURER)", else "Serial port"; for USB devices then ", USB vvvv:pppp"
//   and ", serial SERIAL" when the device has a serial number;
// - enumeratorName: the upper-cased bus of the nearest device, from the tty's device upwards,
//   that is not a serial-layer device (usb-serial, serial-base): "USB", "PNP", "PLATFORM",
//   "PCI", "AMBA"; "BLUETOOTH" for rfcomm; "" when none is found;
// - stableName: the /dev/serial/by-id link to the node, where udev made one.
// Entries come family by family (ttyS, ttyUSB, ttyACM, ttyAMA, ttySC, rfcomm, then the
// others by name), each in number order. ZUVA_SYSFS_ROOT, when set, replaces "/sys", and
// ZUVA_DEV_ROOT replaces "/dev" where the by-id links are looked for, so that tests can run
// against a fake tree.
#include "ports/ports.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <new>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct FoundPort {
    int family;         // place of the name's family in kFamilies
    std::string prefix; // "ttyUSB"
    long number;        // 0 in ttyUSB0; -1 when the name ends in no number
    std::string portName;
    std::string displayName;
    std::string enumeratorName;
    std::string stableName;
    std::string usbId;
    std::string serialNumber;
};

constexpr const char* kFamilies[] = {"ttyS", "ttyUSB", "ttyACM", "ttyAMA", "ttySC", "rfcomm"};
constexpr int kOtherFamily = 6;

std::string RootFrom(const char* variable, const char* fallback) {
    const char* root = std::getenv(variable);
    return (root != nullptr && *root != '\0') ? root : fallback;
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

// The USB device's own words for itself, its IDs and serial number, if the port sits on one.
void DescribeUsb(const fs::path& deviceDir, const fs::path& devicesRoot, FoundPort& port) {
    WalkUp(deviceDir, devicesRoot, [&](const fs::path& dir) {
        std::string vendorId;
        if (!ReadAttribute(dir / "idVendor", vendorId)) {
            return false;
        }
        std::string productId;
        std::string product;
        std::string maker;
        ReadAttribute(dir / "idProduct", productId);
        bool hasProduct = ReadAttribute(dir / "product", product) && !product.empty();
        bool hasMaker = ReadAttribute(dir / "manufacturer", maker) && !maker.empty();
        if (hasProduct) {
            port.displayName = hasMaker ? product + " (" + maker + ")" : product;
        } else if (hasMaker) {
            port.displayName = maker;
        }
        port.usbId = vendorId + ":" + productId;
        port.displayName += ", USB " + port.usbId;
        if (ReadAttribute(dir / "serial", port.serialNumber) && !port.serialNumber.empty()) {
            port.displayName += ", serial " + port.serialNumber;
        }
        return true;
    });
}

// The name's family and number: "ttyUSB12" is family 1, number 12.
void Classify(const std::string& name, FoundPort& port) {
    size_t digits = name.find_last_not_of("0123456789") + 1;
    port.prefix = name.substr(0, digits);
    port.number =
        digits < name.size() && name.size() - digits < 9 ? std::stol(name.substr(digits)) : -1;
    port.family = kOtherFamily;
    for (int i = 0; i < kOtherFamily; ++i) {
        if (port.prefix == kFamilies[i]) {
            port.family = i;
        }
    }
}

// Fills port from /sys/class/tty/NAME; false when NAME is not a listable serial port.
bool ReadPort(const fs::path& ttyDir, const std::string& name, const fs::path& devicesRoot,
              FoundPort& port) {
    Classify(name, port);
    std::error_code ec;
    fs::path deviceDir = fs::canonical(ttyDir / "device", ec);
    if (port.prefix == "rfcomm" && ec) {
        port.displayName = "Bluetooth serial port";
        port.enumeratorName = "BLUETOOTH";
    } else if (ec || IsPhantomUart(ttyDir)) {
        return false; // a virtual tty, or a UART the kernel did not find
    } else {
        port.displayName = "Serial port";
        DescribeUsb(deviceDir, devicesRoot, port);
        port.enumeratorName = EnumeratorOf(deviceDir, devicesRoot);
    }
    port.portName = "/dev/" + name;
    return true;
}

// The by-id links, by the tty name they point to.
std::map<std::string, std::string> StableNames() {
    std::map<std::string, std::string> names;
    fs::path dir = fs::path(RootFrom("ZUVA_DEV_ROOT", "/dev")) / "serial" / "by-id";
    std::error_code ec;
    for (const fs::directory_entry& link : fs::directory_iterator(dir, ec)) {
        fs::path target = fs::read_symlink(link.path(), ec);
        if (!ec) {
            names.emplace(target.filename().string(), link.path().string());
        }
    }
    return names;
}

bool InListOrder(const FoundPort& a, const FoundPort& b) {
    if (a.family != b.family || a.prefix != b.prefix) {
        return a.family != b.family ? a.family < b.family : a.prefix < b.prefix;
    }
    return a.number < b.number;
}

// 0, or an errno value.
int CollectPorts(std::vector<FoundPort>& ports) {
    fs::path root = RootFrom("ZUVA_SYSFS_ROOT", "/sys");
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
    std::map<std::string, std::string> stable = StableNames();
    for (FoundPort& port : ports) {
        auto found = stable.find(port.portName.substr(5));
        port.stableName = found != stable.end() ? found->second : "";
    }
    std::sort(ports.begin(), ports.end(), InListOrder);
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
        PortEntry entry = {port.portName.c_str(),       port.displayName.c_str(),
                           port.enumeratorName.c_str(), port.stableName.c_str(),
                           port.usbId.c_str(),          port.serialNumber.c_str()};
        if (visitor(userValue, &entry) == 0) {
            break;
        }
    }
    return 1;
}
