// libFuzzer target: LoadEmbeddedImage on arbitrary files, checking that whatever it
// accepts is a trailer the programming run can use safely. A seed is a signed updater, so
// that the PE headers and the certificate table are mutated too.
#include "image/embedded.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

const std::string& ScratchPath() {
    // tmpfs: the target writes one file per input.
    static const std::string path = "/dev/shm/zuva-fuzz-embedded-" + std::to_string(getpid());
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FILE* file = fopen(ScratchPath().c_str(), "wb");
    if (file == nullptr) {
        return 0;
    }
    fwrite(bytes, 1, size, file);
    // Random trailers almost never hold infoOffset = imageOffset + imageLength; make half
    // of them do, so that the later tests and the description read are exercised too.
    if (size >= 13 && (bytes[0] & 1) != 0) {
        uint32_t fields[2];
        memcpy(fields, bytes + size - 12, sizeof fields);
        const uint32_t infoOffset = fields[0] + fields[1];
        fseek(file, -4, SEEK_END);
        fwrite(&infoOffset, 4, 1, file);
    }
    fclose(file);
    const EmbeddedResult result = LoadEmbeddedImage(ScratchPath().c_str());
    const EmbeddedImage& image = GetEmbeddedImage();
    if (result == EmbeddedFound) {
        // The run seeks to imageOffset, divides by imageLength and reads whole blocks
        // that must lie inside the file, before the description.
        const int64_t end = static_cast<int64_t>(image.imageOffset) + image.imageLength;
        if (image.imageOffset <= 0 || image.imageLength <= 0 || image.imageLength % 256 != 0 ||
            end > static_cast<int64_t>(size) - 13 ||
            strnlen(image.description, sizeof image.description) > 255) {
            abort();
        }
    } else if (image.imageOffset != 0 || image.imageLength != 0) {
        abort();
    }
    return 0;
}
