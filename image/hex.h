// Intel HEX reader: record types 00, 01 and 04; everything else is skipped.
#pragma once
#include <cstdint>
#include <cstdio>

// Reads one line (CR and LF each end a line; the terminator is not stored) into
// lineBuffer, storing at most capacity - 1 characters and a NUL. 1 when a line was
// stored, 0 at end of file or read error before a terminator (the unfinished line is
// dropped). capacity is at least 1.
int ReadTextLine(FILE* stream, char* lineBuffer, int capacity);

// The byte written by the two characters at digits (upper or lower case).
uint8_t HexByte(const char* digits);

// Checks and decodes one NUL-terminated line. data may be the very buffer holding line.
// 1: data record (address = upperAddress << 16 | 16-bit address, length = count);
// 0: end-of-file record; -1: skip (not a record, bad checksum, short line, other type,
// or a type 04 record, which has updated upperAddress).
int ParseHexRecord(const char* line, uint8_t* data, uint32_t* address, int* length);

// Sets upperAddress to 0: called at the start of every file.
void ResetHexReader();
