// Intel HEX reader, the one that the programmer, the window and the packer share. It is
// strict: a file is either read whole or refused, with the line and the reason.
//
// Text rules: a UTF-8 byte-order mark at the start is skipped; CR, LF and CR LF end a
// line, and a last line without a line end counts; blank lines (nothing, or only spaces,
// tabs and the DOS end-of-file character 0x1A) are skipped, and so are 0x1A characters at
// the very end. Every other line must be exactly one record: ":" first, then hexadecimal
// digits only, as many as its byte count asks, with a matching checksum and nothing
// behind it.
// Records: 00 data, 01 end of file (no data), 04 extended linear address (two bytes),
// 05 start linear address (four bytes, ignored). Types 02 and 03 (segment addressing) are
// refused: FLASH is reached through type 04 records only. The end-of-file record must
// come, and nothing but blank lines after it: a file cut short, or two files joined,
// would otherwise lose data without a word.
#pragma once
#include <cstddef>
#include <cstdint>

// A data record with at least one byte: the upper address of the last type 04 record (0
// before the first) in bits 16 to 31, the record's own 16-bit address below.
struct HexRecord {
    uint32_t address;
    const uint8_t* data;
    int length;
};

// Where and why a file was refused.
struct HexProblem {
    size_t line = 0;           // 1-based; 0 when the file was read whole
    const char* why = nullptr; // "bad checksum", "record too short", ...
};

// What a record reader (HEX, S-records, ELF) found: the file read whole, a file that
// breaks its format's rules (the problem says where and why), or a stop of its visitor.
enum class ReadResult { Ok, Damaged, Stopped };

// Handed every data record with the caller's context. Returns 0 to go on; anything else
// stops the reading: the reader's result is then Stopped (problem->line names the record's
// line), and the visitor keeps its reason in its context.
using HexRecordVisitor = int (*)(void* context, const HexRecord& record);

// The text rules above, shared with the S-record reader (image/srec.h): one non-blank
// line, without its line end, is handed to the format's line reader, which returns 0 to
// go on (Ok), or else the result of the whole read (setting *why when the line is refused).
using RecordLineReader = ReadResult (*)(void* reader, const uint8_t* line, size_t length,
                                        const char** why);

// Hands every non-blank line of text to readLine until one stops the reading: then its
// result, with problem naming that line. When every line was taken, the file must have
// ended with its end record (*ended, set by readLine): Ok, or else Damaged with
// missingEnd as the reason, on the line after the last.
ReadResult ReadRecordLines(const uint8_t* text, size_t size, RecordLineReader readLine,
                           void* reader, const bool* ended, const char* missingEnd,
                           HexProblem* problem);

// Decodes pairs of hexadecimal digits (either case); false at the first character that is
// not one.
bool DecodeHexPairs(const uint8_t* digits, size_t pairs, uint8_t* bytes);

// Reads the HEX text of size bytes: Ok when it was read whole, Damaged when it breaks a
// rule above (problem says where and why), Stopped when the visitor stopped it.
ReadResult ReadHexText(const uint8_t* text, size_t size, HexRecordVisitor visit, void* context,
                       HexProblem* problem);
