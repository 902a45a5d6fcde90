#include "image/input.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// Closes the stream on every way out.
struct OpenFile {
    FILE* stream = nullptr;
    OpenFile() = default;
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    ~OpenFile() {
        if (stream != nullptr) {
            fclose(stream);
        }
    }
};

// Reads until end of file or until more than limit bytes came; never more than limit + 1.
InputResult ReadUpTo(FILE* file, size_t limit, InputBytes* bytes) {
    size_t capacity = 0;
    bytes->Reset(0, 0);
    for (;;) {
        if (bytes->size == capacity) {
            capacity = capacity == 0 ? 65536 : capacity * 2;
            capacity = capacity > limit + 1 ? limit + 1 : capacity;
            auto* grown = static_cast<uint8_t*>(realloc(bytes->data, capacity));
            if (grown == nullptr) {
                return InputReadError;
            }
            bytes->data = grown;
        }
        const size_t want = capacity - bytes->size;
        const size_t got = fread(bytes->data + bytes->size, 1, want, file);
        bytes->size += got;
        if (bytes->size > limit) {
            return InputTooLarge;
        }
        if (got < want) {
            return ferror(file) ? InputReadError : InputOk;
        }
    }
}

} // namespace

InputBytes::~InputBytes() {
    free(data);
}

bool InputBytes::Reset(size_t newSize, uint8_t fill) {
    free(data);
    data = nullptr;
    size = 0;
    if (newSize == 0) {
        return true;
    }
    data = static_cast<uint8_t*>(malloc(newSize));
    if (data == nullptr) {
        return false;
    }
    memset(data, fill, newSize);
    size = newSize;
    return true;
}

InputResult ReadInputFile(const char* path, size_t limit, InputBytes* bytes) {
    OpenFile file;
    const InputResult result = OpenInputFile(path, &file.stream);
    return result != InputOk ? result : ReadUpTo(file.stream, limit, bytes);
}

InputResult ReadInputSlice(const char* path, uint64_t offset, size_t length, InputBytes* bytes) {
    OpenFile file;
    const InputResult result = OpenInputFile(path, &file.stream);
    if (result != InputOk) {
        return result;
    }
    if (offset > static_cast<uint64_t>(LONG_MAX) ||
        fseek(file.stream, static_cast<long>(offset), SEEK_SET) != 0) {
        return InputReadError;
    }
    const InputResult read = ReadUpTo(file.stream, length, bytes);
    if (read == InputReadError || (read == InputOk && bytes->size < length)) {
        return InputReadError;
    }
    bytes->size = length; // a file going on behind the slice is fine
    return InputOk;
}
