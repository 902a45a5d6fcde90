// Programming run: one image file to one device, in the fixed command order.
#pragma once
#include "image/plan.h"

#include <cstdint>

using ResultCode = uint32_t; // class in bits 16 and up; 0 = success

constexpr ResultCode kResultOk = 0x00000;
constexpr ResultCode kResultCantOpenPort = 0x10000;
constexpr ResultCode kResultCantOpenFile = 0x20000;
constexpr ResultCode kResultInvalidFormat = 0x30000;
constexpr ResultCode kResultCommError = 0x40000;
constexpr ResultCode kResultNotPresent = 0x80000;
constexpr ResultCode kResultCantProtect = 0x90000;
constexpr ResultCode kResultCantUnprotect = 0xA0000;
constexpr ResultCode kResultCantErase = 0xB0000;

// Exact, case-sensitive: "bin"/"BIN"/"exe"/"EXE" -> Binary, "hex"/"HEX" -> IntelHex.
ImageFormat FormatFromExtension(const char* extension);

// The text behind the last "." of the whole path (not only its last component);
// "" when the path holds no ".". Points into path. Shared by the dialog and the CLI.
const char* PathExtension(const char* path);

// Runs one programming run. The image becomes a write plan (image/plan.h) after the port
// is opened and before anything is sent: a file that is not a regular file or cannot be
// read gives kResultCantOpenFile, a damaged HEX record or an image with nothing to write
// kResultInvalidFormat, and neither sends a byte. Progress runs from 1 to 101 over the
// plan's bytes, one report before each block and one after the last; blocks that are all
// 0xFF are counted but not sent, since the device was just erased. Returns only after the
// port is closed.
ResultCode ProgramDevice(const char* imagePath, const char* extension, const char* portPath);

// The constant text of a result code's class.
const char* ResultMessage(ResultCode code);
