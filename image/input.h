// Reading input files (images, updaters, executables) by UTF-8 path on every platform.
// Only regular files are read: a directory, device, FIFO or socket is refused when it is
// opened, before anything can block or run on without end.
//
// Core code: buffers come from malloc, so that nothing here needs the C++ runtime's
// exceptions (the programmer window is built without them).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

enum InputResult : int {
    InputOk = 0,
    InputCantOpen,   // missing, no access, or a name the system cannot take
    InputNotRegular, // a directory, device, FIFO, socket (also through a symlink)
    InputReadError,  // the read failed, the file ended before the bytes asked for, or no memory
    InputTooLarge,   // more bytes than the caller's limit
};

// Bytes read from a file; freed when it goes out of scope.
struct InputBytes {
    uint8_t* data = nullptr;
    size_t size = 0;
    InputBytes() = default;
    InputBytes(const InputBytes&) = delete;
    InputBytes& operator=(const InputBytes&) = delete;
    ~InputBytes();
    // size bytes, each set to fill, in place of what was held. false when out of memory.
    bool Reset(size_t newSize, uint8_t fill);
};

// Platform: opens path (UTF-8) for binary reading if it names a regular file. On InputOk
// *file is an open stream the caller closes; otherwise *file is nullptr.
InputResult OpenInputFile(const char* path, FILE** file);

// The system's error number (errno, GetLastError) of the last open that failed with
// InputCantOpen; 0 when the system gave none.
int InputOpenError();

// The whole file, refused with InputTooLarge when it holds more than limit bytes.
InputResult ReadInputFile(const char* path, size_t limit, InputBytes* bytes);

// Exactly length bytes from offset; InputReadError when the file ends before them.
InputResult ReadInputSlice(const char* path, uint64_t offset, size_t length, InputBytes* bytes);
