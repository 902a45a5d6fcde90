// The JSON line of a port's outcome, and the image's CRC-32 for it.
#include "cli/gang.h"

#include "image/input.h"
#include "ports/ports.h"

#include <cstdio>
#include <zlib.h>

namespace {

// The length of the well-formed UTF-8 sequence at text[i] (RFC 3629: no overlong forms, no
// surrogates, nothing past U+10FFFF), or 0 when the bytes there are not one.
size_t Utf8Length(const std::string& text, size_t i) {
    const auto at = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = at(i);
    const size_t length = lead < 0x80   ? 1
                          : lead < 0xC2 ? 0
                          : lead < 0xE0 ? 2
                          : lead < 0xF0 ? 3
                          : lead < 0xF5 ? 4
                                        : 0;
    if (length == 0 || i + length > text.size()) {
        return 0;
    }
    // The second byte's range depends on the lead; the rest are 0x80..0xBF.
    const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    for (size_t k = 1; k < length; ++k) {
        if (at(i + k) < (k == 1 ? low : 0x80) || at(i + k) > (k == 1 ? high : 0xBF)) {
            return 0;
        }
    }
    return length;
}

// A JSON string; control characters as \u00XX, UTF-8 as it is, and each byte that is not
// part of UTF-8 (a file name in another encoding) as U+FFFD, so that the line stays JSON.
std::string Quote(const std::string& text) {
    std::string quoted = "\"";
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        const auto byte = static_cast<unsigned char>(c);
        const size_t length = Utf8Length(text, i);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", byte);
            quoted += escape;
        } else if (length == 0) {
            quoted += "\xEF\xBF\xBD";
        } else {
            quoted.append(text, i, length);
        }
        i += length != 0 ? length : 1;
    }
    return quoted + "\"";
}

} // namespace

std::string JsonString(const std::string& text) {
    return Quote(text);
}

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
            ",\"board\":" + (o.board > 0 ? std::to_string(o.board) : "null") +
            ",\"uid\":" + (o.uid.empty() ? std::string("null") : Quote(o.uid)) +
            ",\"flash_kib\":" + (o.flashKib > 0 ? std::to_string(o.flashKib) : "null") +
            ",\"serial\":" + (o.serialUsed ? std::to_string(o.serial) : "null") +
            ",\"result\":" + std::to_string(o.result) + ",\"message\":" + Quote(o.message) +
            ",\"detail\":" + Quote(o.detail) + numbers + ",\"image\":" + Quote(o.image);
    if (o.imageSize >= 0) {
        char crc[16];
        std::snprintf(crc, sizeof crc, "%08x", static_cast<unsigned>(o.imageCrc32));
        line += ",\"image_size\":" + std::to_string(o.imageSize) + ",\"image_crc32\":" + Quote(crc);
    } else {
        line += ",\"image_size\":null,\"image_crc32\":null";
    }
    if (!o.description.empty()) {
        line += ",\"description\":" + Quote(o.description);
    }
    return line + "}";
}

std::string UidText(const RunReport& report) {
    char text[25] = "";
    for (int i = 0; i < 12; ++i) {
        std::snprintf(text + 2 * i, 3, "%02x", report.uid[i]);
    }
    return text;
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
