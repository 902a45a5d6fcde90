// Image formats and the rule that picks one from a file name, shared by the programming
// run, the window and zuva-pack, so that all of them read a name the same way.
//
// The extension is the text behind the last "." of the whole path. "bin" and "exe" name a
// raw image, "hex" an Intel HEX file, "srec", "s19", "s28", "s37" and "mot" Motorola
// S-records, "elf" and "axf" an ELF file; each in all lower or all upper case only: "Hex"
// names no format.
#pragma once

enum class ImageFormat { None, Binary, IntelHex, SRecord, Elf };

ImageFormat FormatFromExtension(const char* extension);

// The text behind the last "." of the whole path (not only its last component);
// "" when the path holds no ".". Points into path.
const char* PathExtension(const char* path);

// Every extension with its format, for messages and help texts: "bin or exe (raw), hex
// (Intel HEX), ...". Made from the one list of extensions.
const char* FormatList();

// The format's name in a sentence: "raw", "HEX", "S-record", "ELF".
const char* FormatName(ImageFormat format);
