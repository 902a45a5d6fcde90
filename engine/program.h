// Programming run: one image file to one device, in the fixed command order.
#pragma once
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

enum class ImageFormat { None, Binary, IntelHex };

constexpr uint32_t kFlashBase = 0x08000000;
constexpr uint32_t kRawBlockSize = 256;
constexpr int kHexLineLimit = 511;

// Exact, case-sensitive: "bin"/"BIN"/"exe"/"EXE" -> Binary, "hex"/"HEX" -> IntelHex.
ImageFormat FormatFromExtension(const char* extension);

// The text behind the last "." of the whole path (not only its last component);
// "" when the path holds no ".". Points into path. Shared by the dialog and the CLI.
const char* PathExtension(const char* path);

// Runs one programming run. Returns only after the port and the file are closed.
ResultCode ProgramDevice(const char* imagePath, const char* extension, const char* portPath);

// The constant text of a result code's class.
const char* ResultMessage(ResultCode code);
