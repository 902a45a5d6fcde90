// libFuzzer target: the ELF reader on arbitrary bytes held in an exact-size heap block, so
// that a read past its end is caught; every segment handed on must lie inside the file.
#include "image/elf.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct File {
    const uint8_t* start;
    size_t size;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[size]);
    memcpy(copy.get(), bytes, size);
    File file{copy.get(), size};
    ElfProblem problem;
    auto visit = [](void* context, const HexRecord& segment) {
        const auto* file = static_cast<File*>(context);
        if (segment.length < 1 || segment.data < file->start ||
            static_cast<size_t>(segment.data - file->start) + static_cast<size_t>(segment.length) >
                file->size) {
            abort();
        }
        uint8_t sum = 0;
        for (int i = 0; i < segment.length; ++i) {
            sum = static_cast<uint8_t>(sum + segment.data[i]); // every byte readable
        }
        return sum == 0x5A && segment.address == 0x08000000 ? 1 : 0;
    };
    const ReadResult result = ReadElfImage(copy.get(), size, visit, &file, &problem);
    // A refusal says why; a stop names its segment; a whole read neither.
    if ((result == ReadResult::Damaged) != (problem.why != nullptr) ||
        (result == ReadResult::Stopped) != (problem.segment >= 0 && problem.why == nullptr)) {
        abort();
    }
    return 0;
}
