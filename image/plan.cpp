#include "image/plan.h"

#include "image/embedded.h"
#include "image/hex.h"
#include "image/input.h"

#include <algorithm>
#include <vector>

namespace {

constexpr uint32_t kWord = 4;
// Where HEX bytes can land: the window, plus the run of a record that starts at its end.
constexpr size_t kHexSpan = kHexWindowLast - kHexWindowFirst + 1 + kRawBlockSize;

// The image from kFlashBase, 0xFF where the file gives nothing, a multiple of a block.
std::vector<uint8_t> image;
// HEX: one flag per byte of image that the file gives. Raw: empty, every byte up to
// rawEnd is given.
std::vector<uint8_t> given;
size_t rawEnd = 0;
size_t nextChunk = 0;
PlanSummary summary;

PlanResult FromInput(InputResult result) {
    return result == InputOk         ? PlanResult::Ok
           : result == InputTooLarge ? PlanResult::Invalid
                                     : PlanResult::CantOpen;
}

size_t RoundUp(size_t value, size_t unit) {
    return (value + unit - 1) / unit * unit;
}

PlanResult LoadRaw(const char* path) {
    const EmbeddedImage& embedded = GetEmbeddedImage();
    InputResult read = InputOk;
    if (embedded.imageOffset != 0) {
        if (static_cast<size_t>(embedded.imageLength) > kMaxRawImageSize) {
            return PlanResult::Invalid;
        }
        read = ReadInputSlice(path, static_cast<uint64_t>(embedded.imageOffset),
                              static_cast<size_t>(embedded.imageLength), &image);
        uint8_t chain = 0;
        for (size_t at = 0; read == InputOk && at < image.size(); at += kRawBlockSize) {
            const size_t n = std::min<size_t>(kRawBlockSize, image.size() - at);
            DescrambleBlock(image.data() + at, static_cast<uint32_t>(n), &chain);
        }
    } else {
        read = ReadInputFile(path, kMaxRawImageSize, &image);
    }
    rawEnd = RoundUp(image.size(), kWord);
    image.resize(RoundUp(image.size(), kRawBlockSize), 0xFF);
    return FromInput(read);
}

PlanResult LoadHex(const char* path) {
    std::vector<uint8_t> text;
    const PlanResult read = FromInput(ReadInputFile(path, kMaxHexFileSize, &text));
    if (read != PlanResult::Ok) {
        return read;
    }
    image.assign(kHexSpan, 0xFF);
    given.assign(kHexSpan, 0);
    auto place = [](const HexRecord& record) {
        if (record.type != HexData) {
            return 0;
        }
        if (record.address < kHexWindowFirst || record.address > kHexWindowLast) {
            ++summary.recordsOutside;
            return 0;
        }
        const size_t at = record.address - kHexWindowFirst;
        std::copy_n(record.data, record.length, image.begin() + static_cast<long>(at));
        std::fill_n(given.begin() + static_cast<long>(at), record.length, 1);
        return 0;
    };
    HexProblem problem;
    if (ReadHexText(text.data(), text.size(), place, &problem, nullptr) != 0) {
        summary.damagedLine = problem.line;
        summary.problem = problem.why;
        return PlanResult::Invalid;
    }
    return PlanResult::Ok;
}

// The given bytes of chunk as a word-aligned [first, end) range; false when there are none.
bool ChunkRange(size_t chunk, size_t* first, size_t* end) {
    const size_t start = chunk * kRawBlockSize;
    const size_t stop = start + kRawBlockSize;
    if (given.empty()) {
        *first = start;
        *end = std::min(stop, rawEnd);
        return *first < *end;
    }
    const auto from = given.begin() + static_cast<long>(start);
    const auto to = given.begin() + static_cast<long>(stop);
    const auto head = std::find(from, to, 1);
    if (head == to) {
        return false;
    }
    const auto tail =
        std::find(std::make_reverse_iterator(to), std::make_reverse_iterator(head), 1);
    *first = static_cast<size_t>(head - given.begin()) / kWord * kWord;
    *end = RoundUp(static_cast<size_t>(tail.base() - given.begin()), kWord);
    return true;
}

void Summarise() {
    PlanBlock block;
    while (NextPlanBlock(&block)) {
        summary.totalBytes += block.length;
        ++summary.blocks;
        summary.erasedBlocks += block.erased ? 1 : 0;
    }
    nextChunk = 0;
}

} // namespace

PlanResult OpenWritePlan(const char* path, ImageFormat format) {
    CloseWritePlan();
    summary = {};
    const bool raw = format == ImageFormat::Binary || GetEmbeddedImage().imageOffset != 0;
    PlanResult result = raw ? LoadRaw(path) : LoadHex(path);
    if (result == PlanResult::Ok) {
        Summarise();
        // Nothing to write (an empty file, or no HEX data in the window) is no image.
        if (summary.blocks == 0) {
            result = PlanResult::Invalid;
        }
    }
    if (result != PlanResult::Ok) {
        CloseWritePlan();
    }
    return result;
}

bool NextPlanBlock(PlanBlock* block) {
    const size_t chunks = image.size() / kRawBlockSize;
    size_t first = 0;
    size_t end = 0;
    while (nextChunk < chunks) {
        if (ChunkRange(nextChunk++, &first, &end)) {
            const uint8_t* data = image.data() + first;
            block->address = kFlashBase + static_cast<uint32_t>(first);
            block->length = static_cast<uint32_t>(end - first);
            block->data = data;
            block->erased =
                std::all_of(data, data + block->length, [](uint8_t b) { return b == 0xFF; });
            return true;
        }
    }
    return false;
}

const PlanSummary& GetPlanSummary() {
    return summary;
}

void CloseWritePlan() {
    image = {};
    given = {};
    rawEnd = 0;
    nextChunk = 0;
}
