// libFuzzer target: the S-record reader on arbitrary text held in an exact-size heap
// block, so that a read past its end is caught; every record handed on must be one the
// text can hold.
#include "image/srec.h"

#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    std::unique_ptr<uint8_t[]> text(new uint8_t[size]);
    memcpy(text.get(), bytes, size);
    size_t handed = 0;
    HexProblem problem;
    auto visit = [](void* context, const HexRecord& record) {
        // Each data record takes at least 10 + 2 * length characters ("S1", count, a
        // 16-bit address, checksum); records without data are never handed on.
        auto* handed = static_cast<size_t*>(context);
        if (record.length < 1 || record.length > 252) {
            abort();
        }
        *handed += 10 + 2 * static_cast<size_t>(record.length);
        uint8_t sum = 0;
        for (int i = 0; i < record.length; ++i) {
            sum = static_cast<uint8_t>(sum + record.data[i]); // every byte readable
        }
        return sum == 0x5A && record.address == 0x7F ? 1 : 0;
    };
    const ReadResult result = ReadSRecordText(text.get(), size, visit, &handed, &problem);
    if (handed > size) {
        abort();
    }
    // A refusal names its line and reason, a stop its line; a whole read neither.
    if ((result == ReadResult::Damaged) != (problem.why != nullptr) ||
        (result != ReadResult::Ok) != (problem.line != 0)) {
        abort();
    }
    return 0;
}
