// The shared check of the text record readers (Intel HEX, S-records) under libFuzzer: the
// text sits in an exact-size heap block, so that a read past its end is caught; every
// record handed on must be one the text can hold, and the verdict must agree with the
// problem it reports.
#pragma once
#include "image/hex.h"

#include <cstdlib>
#include <cstring>
#include <memory>

using TextRecordReader = ReadResult (*)(const uint8_t*, size_t, HexRecordVisitor, void*,
                                        HexProblem*);

struct RecordBounds {
    size_t charsAround; // the fewest characters a data record takes besides its data
    int maxLength;      // the most data bytes a record can carry
    size_t handed = 0;  // characters the records handed on take at the least
};

inline int FuzzRecordReader(const uint8_t* bytes, size_t size, TextRecordReader reader,
                            RecordBounds bounds) {
    std::unique_ptr<uint8_t[]> text(new uint8_t[size]);
    memcpy(text.get(), bytes, size);
    HexProblem problem;
    auto visit = [](void* context, const HexRecord& record) {
        auto* seen = static_cast<RecordBounds*>(context);
        if (record.length < 1 || record.length > seen->maxLength) {
            abort(); // records without data are never handed on
        }
        seen->handed += seen->charsAround + 2 * static_cast<size_t>(record.length);
        uint8_t sum = 0;
        for (int i = 0; i < record.length; ++i) {
            sum = static_cast<uint8_t>(sum + record.data[i]); // every byte readable
        }
        return sum == 0x5A && record.address == 0x7F ? 1 : 0;
    };
    const ReadResult result = reader(text.get(), size, visit, &bounds, &problem);
    if (bounds.handed > size) {
        abort();
    }
    // A refusal names its line and reason, a stop its line; a whole read neither.
    if ((result == ReadResult::Damaged) != (problem.why != nullptr) ||
        (result != ReadResult::Ok) != (problem.line != 0)) {
        abort();
    }
    return 0;
}
