// Image files written from bytes that lie at an address (a chip read back): raw, Intel HEX
// (type 04 and 00 records, an end record) or S-records (S3 data, an S7 end), chosen by the
// name's extension as image/format.h reads it. A file is written under a temporary name
// beside it and renamed when complete, so that a failed write never leaves part of one
// and an existing file stays as it was.
//
// Core code: nothing is printed; buffers are the caller's.
#pragma once
#include "image/format.h"

#include <cstddef>
#include <cstdint>

enum OutputResult : int {
    OutputOk = 0,
    OutputNotRegular, // a directory, a device, a FIFO or a socket: never replaced
    OutputCantWrite,  // the system refused; see the error number
};

// The format a file of this name is written in: Binary for .bin, IntelHex, SRecord; None
// for every other name (an .exe or an ELF file is never written from a chip).
ImageFormat OutputFormatForPath(const char* path);

// Whether path may take an image, checked before any work: a regular file or a new name
// in a folder that may be written. *systemError receives the system's error number
// (errno, GetLastError), or 0.
OutputResult CheckOutputPath(const char* path, int* systemError);

// Writes the n bytes that lie at address into path in format (Binary, IntelHex or
// SRecord). On failure *systemError tells why and nothing new is left at path.
OutputResult WriteImageFile(const char* path, ImageFormat format, uint32_t address,
                            const uint8_t* data, size_t n, int* systemError);
