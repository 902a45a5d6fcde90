// libFuzzer target: the Intel HEX reader, line by line as the programming run uses it
// (one buffer for the line and the decoded data, capacity 511), plus every line once
// more in an exact-size heap block so that a read past its NUL is caught.
#include "image/hex.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FILE* stream = fmemopen(const_cast<uint8_t*>(bytes), size, "rb");
    if (stream == nullptr) {
        return 0;
    }
    char block[512];
    ResetHexReader();
    while (ReadTextLine(stream, block, 511) == 1) {
        const size_t length = strlen(block);
        std::unique_ptr<char[]> exact(new char[length + 1]);
        memcpy(exact.get(), block, length + 1);
        uint8_t data[256];
        uint32_t address = 0;
        int count = 0;
        // A data record must have come from a line long enough to hold it.
        if (ParseHexRecord(exact.get(), data, &address, &count) == 1 &&
            (count < 0 || 11 + 2 * static_cast<size_t>(count) > length)) {
            abort();
        }
        if (ParseHexRecord(block, reinterpret_cast<uint8_t*>(block), &address, &count) == 0) {
            break;
        }
    }
    fclose(stream);
    return 0;
}
