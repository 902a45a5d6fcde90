// libFuzzer target: the S-record reader on arbitrary text.
#include "fuzz/record_fuzz.h"
#include "image/srec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    // "S1", count, a 16-bit address and checksum take at least 10 characters besides the
    // data; a count byte leaves room for 252 data bytes at the most.
    return FuzzRecordReader(bytes, size, ReadSRecordText, RecordBounds{10, 252});
}
