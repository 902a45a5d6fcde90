// The JSON line of a port's outcome, and the image's CRC-32 for it.
#include "cli/gang.h"

#include "image/input.h"
#include "ports/ports.h"

#include <cstdio>
#include <zlib.h>

namespace {

// A JSON string; control characters as \u00XX, other bytes as they are (UTF-8).
std::string Quote(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", byte);
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

} // namespace

std::string OutcomeJson(const PortOutcome& o, const char* time) {
    char chip[16] = "null";
    if (o.productId != 0) {
        std::snprintf(chip, sizeof chip, "\"0x%03X\"", o.productId);
    }
    char numbers[160];
    std::snprintf(numbers, sizeof numbers, ",\"chip\":%s,\"bytes\":%llu,\"seconds\":%.2f", chip,
                  static_cast<unsigned long long>(o.bytes), o.seconds);
    std::string line = "{";
    if (time != nullptr) {
        line += "\"time\":" + Quote(time) + ",";
    }
    line += "\"port\":" + (o.port.empty() ? std::string("null") : Quote(o.port)) +
            ",\"result\":" + std::to_string(o.result) + ",\"message\":" + Quote(o.message) +
            ",\"detail\":" + Quote(o.detail) + numbers + ",\"image\":" + Quote(o.image);
    if (o.imageSize >= 0) {
        char crc[16];
        std::snprintf(crc, sizeof crc, "%08x", static_cast<unsigned>(o.imageCrc32));
        line += ",\"image_size\":" + std::to_string(o.imageSize) + ",\"image_crc32\":" + Quote(crc);
    } else {
        line += ",\"image_size\":null,\"image_crc32\":null";
    }
    line += ",\"flash_kib\":" + (o.flashKib != 0 ? std::to_string(o.flashKib) : "null") +
            ",\"uid\":" + (o.uid.empty() ? std::string("null") : Quote(o.uid));
    if (!o.description.empty()) {
        line += ",\"description\":" + Quote(o.description);
    }
    return line + "}";
}

bool FileSizeAndCrc32(const char* path, int64_t* size, uint32_t* crc) {
    FILE* file = nullptr;
    if (OpenInputFile(path, &file) != InputOk) {
        return false;
    }
    uLong sum = crc32(0L, Z_NULL, 0);
    int64_t total = 0;
    unsigned char buffer[65536];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        sum = crc32(sum, buffer, static_cast<uInt>(got));
        total += static_cast<int64_t>(got);
    }
    bool ok = std::ferror(file) == 0;
    std::fclose(file);
    *size = total;
    *crc = static_cast<uint32_t>(sum);
    return ok;
}

std::string PortEntryJson(const PortEntry& e) {
    // Texts the system does not know are null rather than empty.
    auto textOrNull = [](const char* text) { return text[0] != '\0' ? Quote(text) : "null"; };
    return "{\"port\":" + Quote(e.portName) + ",\"description\":" + Quote(e.displayName) +
           ",\"enumerator\":" + textOrNull(e.enumeratorName) +
           ",\"stable_name\":" + textOrNull(e.stableName) + ",\"usb_id\":" + textOrNull(e.usbId) +
           ",\"serial_number\":" + textOrNull(e.serialNumber) + "}";
}
