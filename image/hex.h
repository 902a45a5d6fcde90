// Intel HEX reader, shared by the programmer and the packer.
//
// Text rules: a UTF-8 byte-order mark at the start is skipped; CR and LF each end a line,
// and a last line without a line end counts; blanks (spaces, tabs) before the ":" are
// skipped; a line that does not then begin with ":" is not a record and is skipped.
// A line that begins with ":" must be a whole record: hexadecimal digits only, long
// enough for its byte count (up to 255 data bytes), with a matching checksum; characters
// behind the checksum are ignored. A type 04 record must carry its two address bytes.
// Reading stops at the first end-of-file record (type 01): later lines are never read.
#pragma once
#include <cstddef>
#include <cstdint>

enum HexRecordType : uint8_t {
    HexData = 0x00,
    HexEndOfFile = 0x01,
    HexExtendedSegmentAddress = 0x02,
    HexExtendedLinearAddress = 0x04,
};

struct HexRecord {
    uint8_t type;
    // Data records: the upper address of the last type 04 record (0 before the first) in
    // bits 16 to 31, the record's own 16-bit address below. Other types: the 16-bit field.
    uint32_t address;
    const uint8_t* data;
    int length;
};

// Where and why a file was refused.
struct HexProblem {
    size_t line = 0;           // 1-based; 0 when the file was read whole
    const char* why = nullptr; // "bad checksum", "record too short", ...
};

// Handed every valid record except types 01 and 04 (which the reader acts on itself) and
// data records of length 0 (which add nothing), with the caller's context. Returns 0 to go
// on; anything else stops the reading and becomes ReadHexText's result.
using HexRecordVisitor = int (*)(void* context, const HexRecord& record);

constexpr int kHexDamaged = -1;

// Reads the HEX text of size bytes. 0 when it was read to its end or its end-of-file
// record; kHexDamaged for a damaged record (problem says where); or the visitor's stop
// value. *sawEndRecord (may be null) tells whether an end-of-file record was found.
int ReadHexText(const uint8_t* text, size_t size, HexRecordVisitor visit, void* context,
                HexProblem* problem, bool* sawEndRecord);
