#include "tests/device/run_files.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <fstream>
#include <random>

namespace {
std::filesystem::path scratch;
}

std::filesystem::path ScratchDir() {
    if (scratch.empty()) {
        // ctest runs every case as a process of its own, two at a time: unique names.
        auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        scratch =
            std::filesystem::temp_directory_path() /
            ("zuva-run-" + std::to_string(now) + "-" + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(scratch);
    }
    return scratch;
}

void RemoveScratch() {
    if (!scratch.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(scratch, ignored);
        scratch.clear();
    }
}

std::string WriteScratchFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::filesystem::path path = ScratchDir() / name;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return path.string();
}

std::string WriteScratchText(const std::string& name, const std::string& text) {
    return WriteScratchFile(name, std::vector<uint8_t>(text.begin(), text.end()));
}

int LowestFreeFd() {
    std::string probe = WriteScratchText("fd-probe", "x");
    FILE* file = std::fopen(probe.c_str(), "rb");
    int fd = file != nullptr ? fileno(file) : -1;
    if (file != nullptr) {
        std::fclose(file);
    }
    return fd;
}

std::vector<uint8_t> PatternBytes(size_t n, uint8_t seed) {
    std::vector<uint8_t> bytes(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        bytes[i] = static_cast<uint8_t>(x >> 16);
    }
    return bytes;
}

namespace {

// Two hexadecimal digits for b, and b added to the record's checksum.
void AppendHexByte(std::string* line, uint8_t* sum, uint8_t b) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02X", b);
    *line += pair;
    *sum = static_cast<uint8_t>(*sum + b);
}

} // namespace

std::string HexLine(uint8_t type, uint16_t address, const uint8_t* data, size_t n) {
    std::string line = ":";
    uint8_t sum = 0;
    auto put = [&](uint8_t b) { AppendHexByte(&line, &sum, b); };
    put(static_cast<uint8_t>(n));
    put(static_cast<uint8_t>(address >> 8));
    put(static_cast<uint8_t>(address));
    put(type);
    for (size_t i = 0; i < n; ++i) {
        put(data[i]);
    }
    put(static_cast<uint8_t>(-sum));
    return line;
}

std::string SRecordLine(int type, uint32_t address, const std::vector<uint8_t>& data) {
    static constexpr int kAddressBytes[10] = {2, 2, 3, 4, 2, 2, 3, 4, 3, 2};
    const int width = kAddressBytes[type];
    std::string line = "S" + std::to_string(type);
    uint8_t sum = 0;
    auto put = [&](uint8_t b) { AppendHexByte(&line, &sum, b); };
    put(static_cast<uint8_t>(width + data.size() + 1));
    for (int i = width - 1; i >= 0; --i) {
        put(static_cast<uint8_t>(address >> (8 * i)));
    }
    for (uint8_t b : data) {
        put(b);
    }
    put(static_cast<uint8_t>(~sum));
    return line;
}

std::vector<uint8_t> ElfFile(const std::vector<ElfSegment>& segments) {
    std::vector<uint8_t> file(52 + 32 * segments.size(), 0);
    auto put = [&](size_t at, uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            file[at + i] = static_cast<uint8_t>(value >> (8 * i));
        }
    };
    const uint8_t ident[] = {0x7F, 'E', 'L', 'F', 1, 1, 1};
    std::copy(std::begin(ident), std::end(ident), file.begin());
    put(16, 2, 2);  // ET_EXEC
    put(18, 40, 2); // EM_ARM
    put(20, 1, 4);
    put(28, 52, 4); // program headers right behind this header
    put(40, 52, 2);
    put(42, 32, 2);
    put(44, static_cast<uint32_t>(segments.size()), 2);
    for (size_t i = 0; i < segments.size(); ++i) {
        const ElfSegment& s = segments[i];
        const size_t at = 52 + 32 * i;
        put(at, s.type, 4);
        put(at + 4, static_cast<uint32_t>(file.size()), 4);
        put(at + 8, s.loadAddress, 4);
        put(at + 12, s.loadAddress, 4);
        put(at + 16, static_cast<uint32_t>(s.bytes.size()), 4);
        put(at + 20, s.memorySize != 0 ? s.memorySize : static_cast<uint32_t>(s.bytes.size()), 4);
        file.insert(file.end(), s.bytes.begin(), s.bytes.end());
    }
    return file;
}
