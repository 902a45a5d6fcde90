// libFuzzer target: the Intel HEX reader on arbitrary text.
#include "fuzz/record_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    // ":", count, address, type and checksum take 11 characters besides the data.
    return FuzzRecordReader(bytes, size, ReadHexText, RecordBounds{11, 255});
}
