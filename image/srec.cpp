#include "image/srec.h"

namespace {

// Per record type: the address's size in bytes; 0 for no record.
constexpr uint8_t kAddressBytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

struct Reader {
    HexRecordVisitor visit;
    void* context;
    uint32_t dataRecords = 0;
    bool ended = false;
};

// The record of a line: its type digit's value and its bytes (count, address, data,
// checksum). nullptr when it is one, else why not.
const char* DecodeRecord(const uint8_t* line, size_t length, int* type, uint8_t* bytes) {
    if (line[0] != 'S') {
        return "not a record: it does not begin with \"S\"";
    }
    if (length < 4) {
        return "record too short";
    }
    *type = line[1] >= '0' && line[1] <= '9' ? line[1] - '0' : 4;
    if (kAddressBytes[*type] == 0) {
        return "unknown record type";
    }
    if (!DecodeHexPairs(line + 2, 1, bytes)) {
        return "not a hexadecimal digit";
    }
    const size_t pairs = 1 + static_cast<size_t>(bytes[0]);
    if (bytes[0] < kAddressBytes[*type] + 1) {
        return "byte count too small for the record's address and checksum";
    }
    if (length < 2 + 2 * pairs) {
        return "record shorter than its byte count";
    }
    if (!DecodeHexPairs(line + 2, pairs, bytes)) {
        return "not a hexadecimal digit";
    }
    if (length > 2 + 2 * pairs) {
        return "characters after the checksum";
    }
    uint8_t sum = 0;
    for (size_t i = 0; i < pairs; ++i) {
        sum = static_cast<uint8_t>(sum + bytes[i]);
    }
    return sum != 0xFF ? "bad checksum" : nullptr;
}

uint32_t BigEndian(const uint8_t* bytes, int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) {
        value = value << 8 | bytes[i];
    }
    return value;
}

// One non-blank line without its terminator. Ok to go on, else the result of the read.
ReadResult ReadLine(void* context, const uint8_t* line, size_t length, const char** why) {
    auto* reader = static_cast<Reader*>(context);
    int type = 0;
    uint8_t bytes[1 + 255];
    *why = DecodeRecord(line, length, &type, bytes);
    if (*why == nullptr && reader->ended) {
        *why = "record after the end record";
    }
    if (*why != nullptr) {
        return ReadResult::Damaged;
    }
    const int addressBytes = kAddressBytes[type];
    const uint32_t address = BigEndian(bytes + 1, addressBytes);
    const int dataLength = bytes[0] - addressBytes - 1;
    if (type >= 5 && dataLength != 0) {
        *why =
            type <= 6 ? "count record (S5 or S6) with data" : "end record (S7, S8 or S9) with data";
        return ReadResult::Damaged;
    }
    if (type >= 1 && type <= 3) {
        ++reader->dataRecords;
        const HexRecord data{address, bytes + 1 + addressBytes, dataLength};
        return dataLength == 0 || reader->visit(reader->context, data) == 0 ? ReadResult::Ok
                                                                            : ReadResult::Stopped;
    }
    if ((type == 5 || type == 6) && address != reader->dataRecords) {
        *why = "record count (S5 or S6) differs from the data records before it: records are "
               "missing or doubled";
        return ReadResult::Damaged;
    }
    reader->ended = type >= 7;
    return ReadResult::Ok;
}

} // namespace

ReadResult ReadSRecordText(const uint8_t* text, size_t size, HexRecordVisitor visit, void* context,
                           HexProblem* problem) {
    Reader reader{visit, context};
    return ReadRecordLines(text, size, ReadLine, &reader, &reader.ended,
                           "no end record (S7, S8 or S9): the file may be cut short", problem);
}
