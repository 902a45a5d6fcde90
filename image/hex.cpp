#include "image/hex.h"

#include <cstring>

namespace {

constexpr uint8_t kByteOrderMark[] = {0xEF, 0xBB, 0xBF};

int DigitValue(uint8_t c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// Decodes pairs of hexadecimal digits; false at the first character that is not one.
bool DecodePairs(const uint8_t* digits, size_t pairs, uint8_t* bytes) {
    for (size_t i = 0; i < pairs; ++i) {
        const int high = DigitValue(digits[2 * i]);
        const int low = DigitValue(digits[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        bytes[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

// One record line, decoded: count, address high, address low, type, data, checksum.
struct Decoded {
    uint8_t bytes[5 + 255];
    int count;
};

// The record behind the ":" of a line of length characters (":" included). nullptr when
// it is fine, else why it is not a record.
const char* DecodeRecord(const uint8_t* line, size_t length, Decoded* record) {
    if (length < 11 || !DecodePairs(line + 1, 1, record->bytes)) {
        return length < 11 ? "record too short" : "not a hexadecimal digit";
    }
    record->count = record->bytes[0];
    const size_t pairs = 5 + static_cast<size_t>(record->count);
    if (length < 1 + 2 * pairs) {
        return "record shorter than its byte count";
    }
    if (!DecodePairs(line + 1, pairs, record->bytes)) {
        return "not a hexadecimal digit";
    }
    uint8_t sum = 0;
    for (size_t i = 0; i < pairs; ++i) {
        sum = static_cast<uint8_t>(sum + record->bytes[i]);
    }
    if (sum != 0) {
        return "bad checksum";
    }
    if (record->bytes[3] == HexExtendedLinearAddress && record->count < 2) {
        return "extended address record without its address";
    }
    return nullptr;
}

// The state of one file being read.
struct Reader {
    HexRecordVisitor visit;
    void* context;
    uint32_t upperAddress = 0;
    bool ended = false;
};

// One line without its terminator. 0 to go on, else the result of the whole read.
int ReadLine(Reader* reader, const uint8_t* line, size_t length, const char** why) {
    while (length > 0 && (*line == ' ' || *line == '\t')) {
        ++line;
        --length;
    }
    if (length == 0 || *line != ':') {
        return 0;
    }
    Decoded record;
    *why = DecodeRecord(line, length, &record);
    if (*why != nullptr) {
        return kHexDamaged;
    }
    const uint8_t type = record.bytes[3];
    const uint32_t address = static_cast<uint32_t>(record.bytes[1] << 8 | record.bytes[2]);
    const uint8_t* data = record.bytes + 4;
    if (type == HexEndOfFile) {
        reader->ended = true;
        return 0;
    }
    if (type == HexExtendedLinearAddress) {
        reader->upperAddress = static_cast<uint32_t>(data[0] << 8 | data[1]);
        return 0;
    }
    if (type == HexData && record.count == 0) {
        return 0;
    }
    const uint32_t full = type == HexData ? reader->upperAddress << 16 | address : address;
    return reader->visit(reader->context, HexRecord{type, full, data, record.count});
}

} // namespace

int ReadHexText(const uint8_t* text, size_t size, HexRecordVisitor visit, void* context,
                HexProblem* problem, bool* sawEndRecord) {
    Reader reader{visit, context};
    size_t at = 0;
    if (size >= sizeof kByteOrderMark && memcmp(text, kByteOrderMark, sizeof kByteOrderMark) == 0) {
        at = sizeof kByteOrderMark;
    }
    size_t lineNumber = 0;
    int result = 0;
    while (at < size && result == 0 && !reader.ended) {
        size_t end = at;
        while (end < size && text[end] != '\n' && text[end] != '\r') {
            ++end;
        }
        ++lineNumber;
        const char* why = nullptr;
        result = ReadLine(&reader, text + at, end - at, &why);
        if (result == kHexDamaged && problem != nullptr) {
            *problem = {lineNumber, why};
        }
        // A CR LF pair ends one line.
        at = end + (end + 1 < size && text[end] == '\r' && text[end + 1] == '\n' ? 2 : 1);
    }
    if (sawEndRecord != nullptr) {
        *sawEndRecord = reader.ended;
    }
    return result;
}
