// zuva-pack: builds an updater by appending a scrambled firmware image, its description
// and the trailer to ZuvaFlash.exe, and reads such an updater back.
//
// Every function returns a PackResult; on failure it fills message (when given) with a
// one-line reason for the user and leaves its outputs unspecified. Nothing here prints.
#pragma once
#include "console/console.h"
#include "device/chips.h"

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Also the process exit codes of zuva-pack.
enum PackResult : int {
    PackOk = 0,
    PackUsage = 64,  // bad command line (kExitUsage, as in every tool)
    PackRefused = 2, // input that cannot make a valid updater (or is not one)
    PackIoError = 3, // a file could not be read or written
};

// Updaters program the low-, medium- and high-density chips only.
constexpr uint32_t kFlashMaxSize = MaxFlashSize(false);
constexpr uint32_t kImageBlock = 256;

struct UpdaterInfo {
    uint32_t imageOffset;
    uint32_t imageLength;
    std::string description;
};

// Accepts at most 242 stored bytes with no control character (LF, CR, NUL, ESC, DEL and
// the bytes Windows-1252 leaves undefined): the description is one line shown in a
// single-line field.
PackResult CheckDescription(const std::string& description, std::string* message);

// Reads a whole regular file of at most limit bytes. PackIoError when it cannot be opened
// or read or is not a regular file (a FIFO or device is refused at once); PackRefused when
// it is larger than limit.
PackResult ReadWholeFile(const char* path, size_t limit, Bytes* bytes, std::string* message);

// Reads the image through the programmer's own write plan (image/plan.h), by its
// extension (image/format.h): raw, Intel HEX, S-records or ELF, flattened from kFlashBase
// with gaps of 0xFF. Refuses what the plan refuses, and an image that ends beyond the
// FLASH of the chips an updater programs; pads it with 0xFF to whole blocks.
PackResult LoadImage(const char* path, Bytes* image, std::string* message);

// The updater's bytes: exe, the scrambled image, description, NUL, trailer. The image
// must be a positive multiple of 256 bytes and the description must pass
// CheckDescription; exe must not carry an image already.
PackResult BuildUpdater(const Bytes& exe, const Bytes& image, const std::string& description,
                        Bytes* updater, std::string* message);

// The stored description (Windows-1252, the window's code page) for one given in UTF-8;
// refuses characters that code page lacks, text that is not UTF-8, and what
// CheckDescription refuses.
PackResult EncodeDescription(const std::string& utf8, std::string* stored, std::string* message);

// Reads an updater's trailer and description with the programmer's own loader.
// PackRefused when the file carries no image.
PackResult ReadUpdaterInfo(const char* path, UpdaterInfo* info, std::string* message);

// The plain image of an updater, descrambled block by block as the programmer does.
PackResult ExtractImage(const char* path, Bytes* image, std::string* message);

// Writes bytes to path (UTF-8) through a temporary file beside it, renamed into place, so
// that path never holds a half-written file; the temporary file is removed on failure.
// Only a regular file or a new name is replaced, keeping an existing file's mode; a
// directory, device, FIFO or socket, or a symbolic link to one, is refused (PackIoError)
// and left as it is. A link to a regular file stays a link: the file it names is replaced.
// Windows has no modes and no FIFOs; there devices (NUL, COM1) and pipes are refused.
PackResult WriteFileAtomically(const char* path, const Bytes& bytes, std::string* message);

// PackRefused, with a message that names both, when output is the file of input (given as
// inputOption, e.g. "--image"): replacing it would destroy what the output is made from.
// PackOk otherwise, and for a null input. Files are told apart by console.h's SameFile.
PackResult CheckOutputIsNotInput(const char* output, const char* inputOption, const char* input,
                                 std::string* message);

// Whether path (UTF-8) names a file that WriteFileAtomically would replace: a regular
// file, or a link to one. The command line replaces one only when asked to; other targets
// are left to WriteFileAtomically's refusal.
bool OutputExists(const char* path);

// Removes an Authenticode signature from a PE executable: appending an image breaks it
// anyway, and a certificate table left before the image would no longer end the file, where
// signing tools and the loader look for it. Clears the security directory entry and the
// CheckSum that signing set, and cuts the table off when it ends the file. true when exe
// was signed.
bool RemoveSignature(Bytes* exe);

// The whole --exe/--image/--description/--output command; the description in UTF-8. A
// signed executable loses its signature first (signatureRemoved, when given, says so). An
// output that is the executable or the image is refused before anything is read.
PackResult PackUpdater(const char* exePath, const char* imagePath,
                       const std::string& utf8Description, const char* outputPath,
                       std::string* message, bool* signatureRemoved = nullptr);
