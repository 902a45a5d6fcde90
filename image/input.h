// Reading input files (images, updaters, executables) by UTF-8 path on every platform.
// Only regular files are read: a directory, device, FIFO or socket is refused when it is
// opened, before anything can block or run on without end.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

enum InputResult : int {
    InputOk = 0,
    InputCantOpen,   // missing, no access, or a name the system cannot take
    InputNotRegular, // a directory, device, FIFO, socket (also through a symlink)
    InputReadError,  // the read failed, or the file ended before the bytes asked for
    InputTooLarge,   // more bytes than the caller's limit
};

// Platform: opens path (UTF-8) for binary reading if it names a regular file. On InputOk
// *file is an open stream the caller closes; otherwise *file is nullptr.
InputResult OpenInputFile(const char* path, FILE** file);

// The whole file, refused with InputTooLarge when it holds more than limit bytes.
InputResult ReadInputFile(const char* path, size_t limit, std::vector<uint8_t>* bytes);

// Exactly length bytes from offset; InputReadError when the file ends before them.
InputResult ReadInputSlice(const char* path, uint64_t offset, size_t length,
                           std::vector<uint8_t>* bytes);
