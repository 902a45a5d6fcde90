// Image formats and the rule that picks one from a file name, shared by the programming
// run and zuva-pack, so that both read a name the same way.
//
// The extension is the text behind the last "." of the whole path. "bin" and "exe" name a
// raw image, "hex" an Intel HEX file. The run takes them in all lower or all upper case
// only (Exact: "Hex" names no format); zuva-pack takes any case (Any).
#pragma once

enum class ImageFormat { None, Binary, IntelHex };

enum class ExtensionCase { Exact, Any };

ImageFormat FormatFromExtension(const char* extension, ExtensionCase match = ExtensionCase::Exact);

// The text behind the last "." of the whole path (not only its last component);
// "" when the path holds no ".". Points into path.
const char* PathExtension(const char* path);
