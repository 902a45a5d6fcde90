#include "tools/pack/pack.h"

#include "image/description.h"
#include "image/embedded.h"
#include "image/format.h"
#include "image/input.h"
#include "image/plan.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

using File = std::unique_ptr<FILE, decltype(&fclose)>;

// No plain ZuvaFlash.exe comes near this; it only keeps a wrong file from filling memory.
constexpr size_t kMaxExeSize = 16 * 1024 * 1024;

PackResult Fail(std::string* message, PackResult result, const std::string& text) {
    if (message != nullptr) {
        *message = text;
    }
    return result;
}

std::string Hex32(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

// Why a file could not be read, for a message; called at once, while errno still holds
// the system's reason.
std::string InputFailure(InputResult result, const char* path) {
    const int error = errno;
    const std::string reason = error != 0 ? std::string(": ") + strerror(error) : "";
    switch (result) {
    case InputNotRegular:
        return std::string(path) + " is not a regular file (a directory or a device)";
    case InputReadError:
        return std::string("cannot read ") + path + (error != 0 ? reason : ": read error");
    default:
        return std::string("cannot open ") + path +
               (error != 0 ? reason : ": the name cannot be used") +
               (error == ENOENT ? "; check the name and the folder" : "");
    }
}

// Why the write plan refused path, in the words of a refusal: "fw.hex: line 2: bad
// checksum".
std::string PlanFailure(const char* path, const PlanSummary& plan) {
    const std::string name = path;
    const std::string where = std::string(plan.format == ImageFormat::Elf ? "segment " : "line ");
    const std::string at = where + std::to_string(plan.hexLine);
    errno = plan.systemError;
    switch (plan.problem) {
    case PlanProblem::CantOpen:
        return InputFailure(InputCantOpen, path);
    case PlanProblem::NotRegular:
        return InputFailure(InputNotRegular, path);
    case PlanProblem::ReadError:
        return InputFailure(InputReadError, path);
    case PlanProblem::TooLarge:
        return name + ": the image is larger than FLASH (" + std::to_string(kFlashMaxSize) +
               " bytes)";
    case PlanProblem::HexDamaged:
    case PlanProblem::ElfDamaged:
        return name + ": " + (plan.problem == PlanProblem::HexDamaged ? at + ": " : "") +
               plan.hexWhy;
    case PlanProblem::ElfSegment:
        return name + ": " + at + " at " + Hex32(plan.outsideAddress) + ": " + plan.hexWhy;
    case PlanProblem::OutsideFlash:
        return name + ": " + at + ": data at " + Hex32(plan.outsideAddress) + " lies outside FLASH";
    case PlanProblem::Overlap:
        return name + ": " + where + std::to_string(plan.otherLine) + " and " +
               std::to_string(plan.hexLine) + " give different bytes at " +
               Hex32(plan.outsideAddress);
    case PlanProblem::WindowsProgram:
        return name + " is a Windows program, not a firmware image";
    case PlanProblem::ElfAsRaw:
        return name + " is an ELF file, not a raw image: give it as it is, with its .elf name";
    default:
        return name + ": the image holds no data";
    }
}

// Reads a regular file of at most limit bytes into held.
PackResult ReadInput(const char* path, size_t limit, InputBytes* held, std::string* message) {
    errno = 0;
    const InputResult read = ReadInputFile(path, limit, held);
    if (read == InputTooLarge) {
        return Fail(message, PackRefused,
                    std::string(path) + " is larger than " + std::to_string(limit) + " bytes");
    }
    if (read != InputOk) {
        return Fail(message, PackIoError, InputFailure(read, path));
    }
    return PackOk;
}

uint32_t LittleEndianAt(const Bytes& bytes, size_t at) {
    return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
           static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

void ToLittleEndian(uint32_t value, uint8_t* bytes) {
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// The open plan's blocks as one image of size bytes from kFlashBase, rounded up to whole
// blocks, 0xFF where the plan gives nothing; the plan is closed.
void TakePlan(uint32_t size, Bytes* image) {
    image->assign((size + kImageBlock - 1) / kImageBlock * kImageBlock, 0xFF);
    PlanBlock block;
    while (NextPlanBlock(&block)) {
        std::copy_n(block.data, block.length, image->begin() + (block.address - kFlashBase));
    }
    CloseWritePlan();
}

} // namespace

bool RemoveSignature(Bytes* exe) {
    if (exe->size() < kPeHeadersAt + 4) {
        return false;
    }
    const size_t headers = LittleEndianAt(*exe, kPeHeadersAt);
    if (headers >= exe->size() || exe->size() - headers < kPeHeadersRead) {
        return false;
    }
    const int entry = PeSecurityEntryAt(exe->data() + headers, kPeHeadersRead);
    if (entry == 0) {
        return false;
    }
    const size_t at = headers + static_cast<size_t>(entry);
    const uint64_t start = LittleEndianAt(*exe, at);
    const uint64_t length = LittleEndianAt(*exe, at + 4);
    if (start == 0 && length == 0) {
        return false;
    }
    std::fill_n(exe->begin() + static_cast<ptrdiff_t>(at), 8, 0);
    std::fill_n(exe->begin() + static_cast<ptrdiff_t>(headers + kPeChecksumAt), 4, 0);
    // A table elsewhere is left as inert bytes: cutting there would cut the program.
    if (start >= at + 8 && start + length == exe->size()) {
        exe->resize(start);
    }
    return true;
}

PackResult CheckDescription(const std::string& description, std::string* message) {
    if (description.size() > static_cast<size_t>(kMaxDescriptionLength)) {
        return Fail(message, PackRefused,
                    "description is " + std::to_string(description.size()) +
                        " bytes long; at most " + std::to_string(kMaxDescriptionLength) +
                        " are allowed");
    }
    for (const char c : description) {
        const auto code = static_cast<unsigned char>(c);
        if (IsDescriptionControl(code)) {
            return Fail(message, PackRefused,
                        "description must be one line without control characters (found "
                        "character code " +
                            std::to_string(code) + ")");
        }
    }
    return PackOk;
}

PackResult ReadWholeFile(const char* path, size_t limit, Bytes* bytes, std::string* message) {
    InputBytes held;
    const PackResult read = ReadInput(path, limit, &held, message);
    if (read == PackOk) {
        bytes->assign(held.data, held.data + held.size);
    }
    return read;
}

PackResult LoadImage(const char* path, Bytes* image, std::string* message) {
    const ImageFormat format = FormatFromExtension(PathExtension(path));
    if (format == ImageFormat::None) {
        return Fail(message, PackRefused,
                    std::string(path) + ": the extension names no image format; zuva-pack reads " +
                        FormatList() + ", all lower or all upper case");
    }
    ForgetEmbeddedImage(); // an image file is read by its extension alone
    PlanResult planned = OpenWritePlan(path, format);
    const PlanSummary& plan = GetPlanSummary();
    if (planned == PlanResult::Ok && plan.imageEnd > kFlashMaxSize) {
        CloseWritePlan();
        return Fail(message, PackRefused,
                    std::string(path) + ": the image ends at " +
                        Hex32(kFlashBase + plan.imageEnd - 1) +
                        ", outside FLASH of the chips an updater programs (" + Hex32(kFlashBase) +
                        " to " + Hex32(kFlashBase + kFlashMaxSize - 1) + ")");
    }
    if (planned != PlanResult::Ok) {
        return Fail(message, planned == PlanResult::CantOpen ? PackIoError : PackRefused,
                    PlanFailure(path, plan));
    }
    TakePlan(plan.imageEnd, image);
    return PackOk;
}

PackResult BuildUpdater(const Bytes& exe, const Bytes& image, const std::string& description,
                        Bytes* updater, std::string* message) {
    const PackResult checked = CheckDescription(description, message);
    if (checked != PackOk) {
        return checked;
    }
    if (image.empty() || image.size() % kImageBlock != 0 || image.size() > kFlashMaxSize) {
        return Fail(message, PackRefused, "the image must be a whole number of 256-byte blocks");
    }
    if (exe.size() < 2 || exe[0] != 'M' || exe[1] != 'Z') {
        return Fail(message, PackRefused, "the executable is not a Windows program (no MZ header)");
    }
    // Trailer values are signed 32-bit file positions for the programmer.
    if (exe.size() > 0x7FFFFFFFu - kFlashMaxSize - kDescriptionSize) {
        return Fail(message, PackRefused, "the executable is too large");
    }
    const auto imageOffset = static_cast<uint32_t>(exe.size());
    const auto imageLength = static_cast<uint32_t>(image.size());

    *updater = exe;
    updater->insert(updater->end(), image.begin(), image.end());
    uint8_t chain = 0;
    ScrambleBlock(updater->data() + imageOffset, imageLength, &chain);
    updater->insert(updater->end(), description.begin(), description.end());
    updater->push_back(0);

    uint8_t trailer[kTrailerSize];
    ToLittleEndian(imageOffset, trailer);
    ToLittleEndian(imageLength, trailer + 4);
    ToLittleEndian(imageOffset + imageLength, trailer + 8);
    updater->insert(updater->end(), trailer, trailer + kTrailerSize);
    return PackOk;
}

PackResult EncodeDescription(const std::string& utf8, std::string* stored, std::string* message) {
    uint32_t refused = 0;
    if (DescriptionFromUtf8(utf8, stored, &refused) != DescriptionOk) {
        char code[16];
        snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(refused));
        return Fail(message, PackRefused,
                    refused == 0xFFFFFFFF
                        ? std::string("description is not UTF-8 text")
                        : "description holds " + std::string(code) +
                              ", which the window's code page (Windows-1252) cannot show");
    }
    return CheckDescription(*stored, message);
}

PackResult ReadUpdaterInfo(const char* path, UpdaterInfo* info, std::string* message) {
    FILE* probe = nullptr;
    errno = 0;
    if (const InputResult opened = OpenInputFile(path, &probe); opened != InputOk) {
        return Fail(message, PackIoError, InputFailure(opened, path));
    }
    fclose(probe);
    if (LoadEmbeddedImage(path) != EmbeddedFound) {
        return Fail(message, PackRefused, std::string(path) + " carries no firmware image");
    }
    const EmbeddedImage& found = GetEmbeddedImage();
    info->imageOffset = static_cast<uint32_t>(found.imageOffset);
    info->imageLength = static_cast<uint32_t>(found.imageLength);
    info->description = found.description;
    return PackOk;
}

PackResult ExtractImage(const char* path, Bytes* image, std::string* message) {
    UpdaterInfo info;
    const PackResult found = ReadUpdaterInfo(path, &info, message);
    if (found != PackOk) {
        return found;
    }
    // The programmer's own plan of an updater: its image, descrambled.
    const bool read = info.imageLength <= kFlashMaxSize &&
                      OpenWritePlan(path, ImageFormat::Binary) == PlanResult::Ok;
    ForgetEmbeddedImage();
    if (!read) {
        CloseWritePlan();
        return Fail(message, PackIoError, std::string("cannot read the image from ") + path);
    }
    TakePlan(info.imageLength, image);
    return PackOk;
}

PackResult CheckOutputIsNotInput(const char* output, const char* inputOption, const char* input,
                                 std::string* message) {
    const std::string refusal = OutputIsInput("--output", output, inputOption, input);
    return refusal.empty() ? PackOk : Fail(message, PackRefused, refusal);
}

PackResult PackUpdater(const char* exePath, const char* imagePath,
                       const std::string& utf8Description, const char* outputPath,
                       std::string* message, bool* signatureRemoved) {
    PackResult result = CheckOutputIsNotInput(outputPath, "--exe", exePath, message);
    if (result == PackOk) {
        result = CheckOutputIsNotInput(outputPath, "--image", imagePath, message);
    }
    std::string description;
    if (result == PackOk) {
        result = EncodeDescription(utf8Description, &description, message);
    }
    Bytes exe;
    if (result == PackOk) {
        result = ReadWholeFile(exePath, kMaxExeSize, &exe, message);
    }
    UpdaterInfo existing;
    if (result == PackOk && ReadUpdaterInfo(exePath, &existing, nullptr) == PackOk) {
        // Refused rather than replaced: stacking or swapping images is easy to do by
        // mistake, and the plain ZuvaFlash.exe is what every updater should start from.
        return Fail(message, PackRefused,
                    std::string(exePath) + " already carries an image (\"" +
                        DescriptionForTerminal(existing.description.c_str()) +
                        "\"); pack from the plain ZuvaFlash.exe");
    }
    const bool removed = result == PackOk && RemoveSignature(&exe);
    if (signatureRemoved != nullptr) {
        *signatureRemoved = removed;
    }
    Bytes image;
    if (result == PackOk) {
        result = LoadImage(imagePath, &image, message);
    }
    Bytes updater;
    if (result == PackOk) {
        result = BuildUpdater(exe, image, description, &updater, message);
    }
    if (result == PackOk) {
        result = WriteFileAtomically(outputPath, updater, message);
    }
    return result;
}
