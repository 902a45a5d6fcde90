#include "image/hex.h"

#include <cstring>

namespace {

constexpr uint8_t kByteOrderMark[] = {0xEF, 0xBB, 0xBF};
constexpr uint8_t kDosEndOfFile = 0x1A;

enum RecordType : uint8_t {
    kData = 0x00,
    kEndOfFile = 0x01,
    kSegmentAddress = 0x02,
    kStartSegment = 0x03,
    kLinearAddress = 0x04,
    kStartLinear = 0x05,
};

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

// One record line, decoded: count, address high, address low, type, data, checksum.
struct Decoded {
    uint8_t bytes[5 + 255];
    int count;
};

// The record of a line of length characters. nullptr when it is one, else why not.
const char* DecodeRecord(const uint8_t* line, size_t length, Decoded* record) {
    if (line[0] != ':') {
        return "not a record: it does not begin with \":\"";
    }
    if (length < 11 || !DecodeHexPairs(line + 1, 1, record->bytes)) {
        return length < 11 ? "record too short" : "not a hexadecimal digit";
    }
    record->count = record->bytes[0];
    const size_t pairs = 5 + static_cast<size_t>(record->count);
    if (length < 1 + 2 * pairs) {
        return "record shorter than its byte count";
    }
    if (!DecodeHexPairs(line + 1, pairs, record->bytes)) {
        return "not a hexadecimal digit";
    }
    if (length > 1 + 2 * pairs) {
        return "characters after the checksum";
    }
    uint8_t sum = 0;
    for (size_t i = 0; i < pairs; ++i) {
        sum = static_cast<uint8_t>(sum + record->bytes[i]);
    }
    return sum != 0 ? "bad checksum" : nullptr;
}

// nullptr when a record of this type may carry count data bytes, else why not.
const char* CheckType(uint8_t type, int count) {
    static constexpr struct {
        uint8_t type;
        int count; // -1: any
        const char* wrongLength;
    } kTypes[] = {
        {kData, -1, nullptr},
        {kEndOfFile, 0, "end-of-file record with data"},
        {kLinearAddress, 2, "extended linear address record without exactly two bytes"},
        {kStartLinear, 4, "start linear address record without exactly four bytes"},
    };
    if (type == kSegmentAddress || type == kStartSegment) {
        return "segment address record (type 02 or 03): FLASH is reached through type 04 "
               "records only";
    }
    for (const auto& known : kTypes) {
        if (known.type == type) {
            return known.count < 0 || known.count == count ? nullptr : known.wrongLength;
        }
    }
    return "unknown record type";
}

bool Blank(const uint8_t* line, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (line[i] != ' ' && line[i] != '\t' && line[i] != kDosEndOfFile) {
            return false;
        }
    }
    return true;
}

// The state of one file being read.
struct Reader {
    HexRecordVisitor visit;
    void* context;
    uint32_t upperAddress = 0;
    bool ended = false;
};

// One non-blank line without its terminator. Ok to go on, else the result of the read.
ReadResult ReadLine(void* context, const uint8_t* line, size_t length, const char** why) {
    auto* reader = static_cast<Reader*>(context);
    Decoded record;
    *why = DecodeRecord(line, length, &record);
    if (*why != nullptr) {
        return ReadResult::Damaged;
    }
    const uint8_t type = record.bytes[3];
    *why = reader->ended ? "record after the end-of-file record" : CheckType(type, record.count);
    if (*why != nullptr) {
        return ReadResult::Damaged;
    }
    const uint8_t* data = record.bytes + 4;
    if (type == kEndOfFile) {
        reader->ended = true;
    } else if (type == kLinearAddress) {
        reader->upperAddress = static_cast<uint32_t>(data[0] << 8 | data[1]);
    } else if (type == kData && record.count > 0) {
        const uint32_t address =
            reader->upperAddress << 16 | record.bytes[1] << 8 | record.bytes[2];
        return reader->visit(reader->context, HexRecord{address, data, record.count}) != 0
                   ? ReadResult::Stopped
                   : ReadResult::Ok;
    }
    return ReadResult::Ok;
}

} // namespace

bool DecodeHexPairs(const uint8_t* digits, size_t pairs, uint8_t* bytes) {
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

ReadResult ReadRecordLines(const uint8_t* text, size_t size, RecordLineReader readLine,
                           void* reader, const bool* ended, const char* missingEnd,
                           HexProblem* problem) {
    size_t at = 0;
    if (size >= sizeof kByteOrderMark && memcmp(text, kByteOrderMark, sizeof kByteOrderMark) == 0) {
        at = sizeof kByteOrderMark;
    }
    while (size > at && text[size - 1] == kDosEndOfFile) {
        --size; // a DOS end of file behind the last line end
    }
    size_t lineNumber = 0;
    ReadResult result = ReadResult::Ok;
    const char* why = nullptr;
    while (at < size && result == ReadResult::Ok) {
        size_t end = at;
        while (end < size && text[end] != '\n' && text[end] != '\r') {
            ++end;
        }
        ++lineNumber;
        if (!Blank(text + at, end - at)) {
            result = readLine(reader, text + at, end - at, &why);
        }
        // A CR LF pair ends one line.
        at = end + (end + 1 < size && text[end] == '\r' && text[end + 1] == '\n' ? 2 : 1);
    }
    if (result == ReadResult::Ok && !*ended) {
        result = ReadResult::Damaged;
        why = missingEnd;
        ++lineNumber;
    }
    if (result != ReadResult::Ok && problem != nullptr) {
        *problem = {lineNumber, why};
    }
    return result;
}

ReadResult ReadHexText(const uint8_t* text, size_t size, HexRecordVisitor visit, void* context,
                       HexProblem* problem) {
    Reader reader{visit, context};
    return ReadRecordLines(text, size, ReadLine, &reader, &reader.ended,
                           "no end-of-file record: the file may be cut short", problem);
}
