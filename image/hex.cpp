#include "image/hex.h"

namespace {

// Bits 16 to 31 of every later data record's address, from the file's last type 04 record.
uint16_t upperAddress = 0;

enum RecordType : uint8_t {
    DataRecord = 0x00,
    EndOfFileRecord = 0x01,
    ExtendedLinearAddressRecord = 0x04,
};

// The longest record a line can hold: 255 data bytes.
constexpr int kMaxRecordChars = 11 + 2 * 255;

// Counts the characters of line up to its NUL, but never more than limit, so that a
// short line is measured without looking past its terminator.
int BoundedLength(const char* line, int limit) {
    int n = 0;
    while (n < limit && line[n] != '\0') {
        ++n;
    }
    return n;
}

int DigitValue(char c) {
    const auto code = static_cast<int8_t>(c);
    if (code <= '9') {
        return code - 0x30;
    }
    if (code <= 'F') {
        return code - 0x37;
    }
    return code - 0x57;
}

} // namespace

int ReadTextLine(FILE* stream, char* lineBuffer, int capacity) {
    if (capacity < 1) {
        return 0; // no room even for the NUL
    }
    int room = capacity - 1;
    int stored = 0;
    while (room > 0) {
        const int c = fgetc(stream);
        if (c == EOF) {
            return 0; // the unfinished line is dropped
        }
        if (c == '\n' || c == '\r') {
            break;
        }
        lineBuffer[stored++] = static_cast<char>(c);
        --room;
    }
    lineBuffer[stored] = '\0';
    return 1;
}

uint8_t HexByte(const char* digits) {
    return static_cast<uint8_t>(16 * DigitValue(digits[0]) + DigitValue(digits[1]));
}

int ParseHexRecord(const char* line, uint8_t* data, uint32_t* address, int* length) {
    if (line[0] != ':') {
        return -1;
    }
    // Measure before decoding: a line too short for its own byte count is skipped, and
    // nothing behind its NUL is read.
    const int available = BoundedLength(line, kMaxRecordChars);
    if (available < 11) {
        return -1;
    }
    const int count = HexByte(line + 1);
    if (available < 11 + 2 * count) {
        return -1;
    }
    const uint8_t addressHigh = HexByte(line + 3);
    const uint8_t addressLow = HexByte(line + 5);
    const uint8_t type = HexByte(line + 7);
    const uint8_t checksum = HexByte(line + 9 + 2 * count);

    uint8_t sum = static_cast<uint8_t>(count + addressHigh + addressLow + type);
    // In place: byte i lands at position i, before the characters 9 + 2i it came from.
    for (int i = 0; i < count; ++i) {
        const uint8_t value = HexByte(line + 9 + 2 * i);
        data[i] = value;
        sum = static_cast<uint8_t>(sum + value);
    }
    if (checksum != static_cast<uint8_t>(0x100 - sum)) {
        return -1;
    }

    switch (type) {
    case DataRecord:
        *length = count;
        *address = static_cast<uint32_t>(upperAddress) << 16 |
                   static_cast<uint32_t>(addressHigh) << 8 | addressLow;
        return 1;
    case EndOfFileRecord:
        return 0;
    case ExtendedLinearAddressRecord:
        // A record without its two address bytes names no address: leave the old one.
        if (count >= 2) {
            upperAddress = static_cast<uint16_t>(data[0] << 8 | data[1]);
        }
        return -1;
    default:
        return -1;
    }
}

void ResetHexReader() {
    upperAddress = 0;
}
