#include "image/input.h"

#include <algorithm>
#include <climits>
#include <memory>

namespace {

using File = std::unique_ptr<FILE, decltype(&fclose)>;

// Reads until end of file or until more than limit bytes came; never more than limit + 1.
InputResult ReadUpTo(FILE* file, size_t limit, std::vector<uint8_t>* bytes) {
    bytes->clear();
    uint8_t chunk[65536];
    for (;;) {
        const size_t want = std::min(sizeof chunk, limit + 1 - bytes->size());
        const size_t got = fread(chunk, 1, want, file);
        bytes->insert(bytes->end(), chunk, chunk + got);
        if (bytes->size() > limit) {
            return InputTooLarge;
        }
        if (got < want) {
            return ferror(file) ? InputReadError : InputOk;
        }
    }
}

} // namespace

InputResult ReadInputFile(const char* path, size_t limit, std::vector<uint8_t>* bytes) {
    FILE* opened = nullptr;
    const InputResult result = OpenInputFile(path, &opened);
    if (result != InputOk) {
        return result;
    }
    File file(opened, &fclose);
    return ReadUpTo(file.get(), limit, bytes);
}

InputResult ReadInputSlice(const char* path, uint64_t offset, size_t length,
                           std::vector<uint8_t>* bytes) {
    FILE* opened = nullptr;
    const InputResult result = OpenInputFile(path, &opened);
    if (result != InputOk) {
        return result;
    }
    File file(opened, &fclose);
    if (offset > static_cast<uint64_t>(LONG_MAX) ||
        fseek(file.get(), static_cast<long>(offset), SEEK_SET) != 0) {
        return InputReadError;
    }
    const InputResult read = ReadUpTo(file.get(), length, bytes);
    if (read == InputReadError || (read == InputOk && bytes->size() < length)) {
        return InputReadError;
    }
    bytes->resize(length); // a file going on behind the slice is fine
    return InputOk;
}
