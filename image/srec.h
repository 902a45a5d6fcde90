// Motorola S-record reader, as strict as the Intel HEX reader and under the same text rules
// (image/hex.h: byte-order mark, line ends, blank lines, DOS end of file). A file is read
// whole or refused, with the line and the reason.
//
// Every other line must be exactly one record: "S", its type digit, then hexadecimal
// digits only: the byte count, the address, the data and a checksum (the ones' complement
// of the sum of the count, address and data bytes), nothing behind it.
// Records: S0 header (skipped), S1, S2 and S3 data at 16-, 24- and 32-bit addresses, S5
// and S6 the count of data records so far (16 and 24 bits; it must match), S7, S8 and S9
// the end (a start address, ignored). S4 is no record. The end record must come, and
// nothing but blank lines after it.
#pragma once
#include "image/hex.h"

// Reads the S-record text of size bytes, handing each data record with at least one byte
// to visit: Ok when it was read whole, Damaged when it breaks a rule above (problem says
// where and why), Stopped when the visitor stopped it (problem->line names its record).
ReadResult ReadSRecordText(const uint8_t* text, size_t size, HexRecordVisitor visit, void* context,
                           HexProblem* problem);
