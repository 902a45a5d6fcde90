#include "ports/port_names.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

struct NameRange {
    const char* prefix; // device node prefix
    int firstCom;       // COM number of node 0
};

constexpr NameRange kRanges[] = {
    {"/dev/ttyS", 1},
    {"/dev/ttyUSB", 101},
    {"/dev/ttyACM", 201},
};
constexpr int kNodesPerRange = 100;

// A decimal number that fills the whole text, or -1.
int WholeNumber(const char* text) {
    if (*text == '\0' || std::strlen(text) > 6) {
        return -1;
    }
    int n = 0;
    for (; *text != '\0'; ++text) {
        if (!std::isdigit(static_cast<unsigned char>(*text))) {
            return -1;
        }
        n = n * 10 + (*text - '0');
    }
    return n;
}

} // namespace

int ComNumberFromName(const char* name) {
    if (name == nullptr) {
        return 0;
    }
    if (std::strncmp(name, "\\\\.\\", 4) == 0) {
        name += 4;
    }
    if (std::toupper(static_cast<unsigned char>(name[0])) != 'C' ||
        std::toupper(static_cast<unsigned char>(name[1])) != 'O' ||
        std::toupper(static_cast<unsigned char>(name[2])) != 'M') {
        return 0;
    }
    int n = WholeNumber(name + 3);
    return n > 0 ? n : 0;
}

int ComPortName(int n, char* out, size_t outSize) {
    int written = n > 0 ? std::snprintf(out, outSize, "COM%d", n) : -1;
    return (written > 0 && static_cast<size_t>(written) < outSize) ? 0 : 1;
}

int ComPortPath(int n, char* out, size_t outSize) {
    int written = n >= 0 ? std::snprintf(out, outSize, "\\\\.\\COM%d", n) : -1;
    return (written > 0 && static_cast<size_t>(written) < outSize) ? 0 : 1;
}

int ComNumberToDevicePath(int n, char* out, size_t outSize) {
    for (const NameRange& range : kRanges) {
        if (n >= range.firstCom && n < range.firstCom + kNodesPerRange) {
            int written = std::snprintf(out, outSize, "%s%d", range.prefix, n - range.firstCom);
            return (written > 0 && static_cast<size_t>(written) < outSize) ? 0 : 1;
        }
    }
    return 1;
}

int DevicePathToComNumber(const char* devicePath) {
    if (devicePath == nullptr) {
        return 0;
    }
    for (const NameRange& range : kRanges) {
        size_t len = std::strlen(range.prefix);
        if (std::strncmp(devicePath, range.prefix, len) == 0) {
            int node = WholeNumber(devicePath + len);
            if (node >= 0 && node < kNodesPerRange) {
                return range.firstCom + node;
            }
        }
    }
    return 0;
}
