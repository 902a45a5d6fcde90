// libFuzzer target: zuva-pack's whole input path. One input is split into an executable,
// a description and an image (raw or HEX); whatever PackUpdater accepts must come back
// through the programmer's own loader as the same description and image.
#include "image/description.h"
#include "tools/pack/pack.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

std::string Scratch(const char* name) {
    // tmpfs: the target writes files for every input.
    return "/dev/shm/zuva-fuzz-pack-" + std::to_string(getpid()) + "-" + name;
}

void WriteFile(const std::string& path, const uint8_t* bytes, size_t size) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) {
        abort();
    }
    fwrite(bytes, 1, size, file);
    fclose(file);
}

} // namespace

// Layout: flags, executable length (2 bytes), description length, then the executable,
// the description and the image.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 4) {
        return 0;
    }
    const uint8_t flags = bytes[0];
    const size_t exeSize = (bytes[1] | bytes[2] << 8) % (size - 4 + 1);
    const size_t descriptionSize = std::min<size_t>(bytes[3], size - 4 - exeSize);
    const uint8_t* exe = bytes + 4;
    const std::string description(reinterpret_cast<const char*>(exe + exeSize), descriptionSize);
    const uint8_t* image = exe + exeSize + descriptionSize;
    const size_t imageSize = size - 4 - exeSize - descriptionSize;

    std::string exeBytes(reinterpret_cast<const char*>(exe), exeSize);
    if ((flags & 2) != 0 && exeSize >= 2) {
        exeBytes[0] = 'M', exeBytes[1] = 'Z'; // reach the later tests more often
    }
    const std::string exePath = Scratch("tool.exe");
    const std::string imagePath = Scratch((flags & 1) != 0 ? "fw.hex" : "fw.bin");
    const std::string outPath = Scratch("out.exe");
    WriteFile(exePath, reinterpret_cast<const uint8_t*>(exeBytes.data()), exeBytes.size());
    WriteFile(imagePath, image, imageSize);

    std::string message;
    if (PackUpdater(exePath.c_str(), imagePath.c_str(), description, outPath.c_str(), &message) ==
        PackOk) {
        Bytes loaded;
        Bytes extracted;
        UpdaterInfo info;
        std::string stored; // the packer keeps the description in Windows-1252
        uint32_t refused = 0;
        if (DescriptionFromUtf8(description, &stored, &refused) != DescriptionOk ||
            LoadImage(imagePath.c_str(), &loaded, &message) != PackOk ||
            ExtractImage(outPath.c_str(), &extracted, &message) != PackOk || loaded != extracted ||
            ReadUpdaterInfo(outPath.c_str(), &info, &message) != PackOk ||
            info.description != stored || info.imageOffset != exeBytes.size()) {
            abort();
        }
    } else if (message.empty()) {
        abort(); // every refusal says why
    }
    unlink(exePath.c_str());
    unlink(imagePath.c_str());
    unlink(outPath.c_str());
    return 0;
}
