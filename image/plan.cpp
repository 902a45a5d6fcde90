#include "image/plan.h"

#include "image/elf.h"
#include "image/embedded.h"
#include "image/hex.h"
#include "image/input.h"
#include "image/srec.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kWord = 4;

// The image from kFlashBase, 0xFF where the file gives nothing, a multiple of a block.
InputBytes image;
// HEX, S-records, ELF: one flag per byte of image that the file gives. Raw: empty,
// every byte from rawStart up to rawEnd is given.
InputBytes given;
size_t rawStart = 0;
size_t rawEnd = 0;
size_t nextChunk = 0;
PlanSummary summary;

PlanResult FromInput(InputResult result) {
    static constexpr PlanProblem kProblems[] = {PlanProblem::None, PlanProblem::CantOpen,
                                                PlanProblem::NotRegular, PlanProblem::ReadError,
                                                PlanProblem::TooLarge};
    summary.problem = kProblems[result];
    summary.systemError = result == InputCantOpen ? InputOpenError() : 0;
    return result == InputOk         ? PlanResult::Ok
           : result == InputTooLarge ? PlanResult::Invalid
                                     : PlanResult::CantOpen;
}

size_t RoundUp(size_t value, size_t unit) {
    return (value + unit - 1) / unit * unit;
}

// The file's bytes placed at rawStart in an image of whole blocks, 0xFF around them;
// rawEnd marks the file's end, rounded up to a word.
bool PlaceRawImage(const InputBytes& file) {
    rawEnd = rawStart + RoundUp(file.size, kWord);
    if (!image.Reset(RoundUp(rawStart + file.size, kRawBlockSize), 0xFF)) {
        return false;
    }
    if (file.size != 0) {
        memcpy(image.data + rawStart, file.data, file.size);
    }
    return true;
}

// A raw image that is a Windows program or an ELF file: no firmware, refused.
bool NotFirmware(const InputBytes& file) {
    static constexpr uint8_t kElf[] = {0x7F, 'E', 'L', 'F'};
    if (file.size >= 2 && file.data[0] == 'M' && file.data[1] == 'Z') {
        summary.problem = PlanProblem::WindowsProgram;
    } else if (file.size >= sizeof kElf && memcmp(file.data, kElf, sizeof kElf) == 0) {
        summary.problem = PlanProblem::ElfAsRaw;
    }
    return summary.problem != PlanProblem::None;
}

PlanResult LoadRaw(const char* path, uint32_t rawBase) {
    if (rawBase % kWord != 0 || rawBase < kFlashBase || rawBase - kFlashBase >= kImageSpan) {
        summary.problem = PlanProblem::BadAddress;
        summary.outsideAddress = rawBase;
        return PlanResult::Invalid;
    }
    rawStart = rawBase - kFlashBase;
    const size_t room = kMaxRawImageSize - rawStart;
    const EmbeddedImage& embedded = GetEmbeddedImage();
    InputBytes file;
    InputResult read = InputOk;
    if (embedded.imageOffset != 0) {
        if (static_cast<size_t>(embedded.imageLength) > room) {
            return FromInput(InputTooLarge);
        }
        read = ReadInputSlice(path, static_cast<uint64_t>(embedded.imageOffset),
                              static_cast<size_t>(embedded.imageLength), &file);
        uint8_t chain = 0;
        for (size_t at = 0; read == InputOk && at < file.size; at += kRawBlockSize) {
            const size_t n = std::min<size_t>(kRawBlockSize, file.size - at);
            DescrambleBlock(file.data + at, static_cast<uint32_t>(n), &chain);
        }
    } else {
        read = ReadInputFile(path, room, &file);
        if (read == InputOk && NotFirmware(file)) {
            return PlanResult::Invalid;
        }
    }
    if (read == InputOk && !PlaceRawImage(file)) {
        read = InputReadError;
    }
    return FromInput(read);
}

// Why PlaceRecord stopped a reading.
enum class Stop { None, OutsideFlash, Overlap };

// Places a data record; one with a byte outside FLASH, or one that gives a byte another
// record gave otherwise, stops the reading with its reason in *context (a Stop).
int PlaceRecord(void* context, const HexRecord& record) {
    Stop* stop = static_cast<Stop*>(context);
    const uint64_t end = uint64_t{record.address} + static_cast<uint64_t>(record.length);
    if (record.address < kFlashBase || end > uint64_t{kFlashBase} + kImageSpan) {
        const uint32_t flashEnd = kFlashBase + kImageSpan;
        summary.outsideAddress =
            record.address < kFlashBase ? record.address : std::max(record.address, flashEnd);
        *stop = Stop::OutsideFlash;
        return 1;
    }
    const size_t at = record.address - kFlashBase;
    for (size_t i = 0; i < static_cast<size_t>(record.length); ++i) {
        if (given.data[at + i] != 0 && image.data[at + i] != record.data[i]) {
            summary.outsideAddress = record.address + static_cast<uint32_t>(i);
            *stop = Stop::Overlap;
            return 1;
        }
    }
    memcpy(image.data + at, record.data, static_cast<size_t>(record.length));
    memset(given.data + at, 1, static_cast<size_t>(record.length));
    return 0;
}

// Stops at the first record that covers the address in context.
int FindGiver(void* context, const HexRecord& record) {
    const uint32_t address = *static_cast<uint32_t*>(context);
    return address >= record.address && address - record.address < uint32_t(record.length) ? 1 : 0;
}

constexpr size_t kNoSegment = SIZE_MAX;

// Reads the file's records with its format's reader. *where: the line (the segment for
// ELF) the reading stopped at; *why, *address: what a refusal gives.
ReadResult ReadRecords(ImageFormat format, const InputBytes& file, HexRecordVisitor visit,
                       void* context, size_t* where, const char** why, uint32_t* address) {
    if (format == ImageFormat::Elf) {
        ElfProblem problem;
        const ReadResult result = ReadElfImage(file.data, file.size, visit, context, &problem);
        *where = problem.segment < 0 ? kNoSegment : static_cast<size_t>(problem.segment);
        *why = problem.why;
        *address = problem.address;
        return result;
    }
    HexProblem problem;
    const auto reader = format == ImageFormat::SRecord ? ReadSRecordText : ReadHexText;
    const ReadResult result = reader(file.data, file.size, visit, context, &problem);
    *where = problem.line;
    *why = problem.why;
    return result;
}

// Records why the file's records were refused; an overlap names both records.
PlanResult Refuse(ImageFormat format, const InputBytes& file, Stop stop, size_t where,
                  const char* why, uint32_t address) {
    const bool elf = format == ImageFormat::Elf;
    summary.hexLine = where == kNoSegment ? 0 : where;
    summary.hexWhy = why;
    if (stop == Stop::OutsideFlash) {
        summary.problem = PlanProblem::OutsideFlash;
    } else if (stop == Stop::Overlap) {
        summary.problem = PlanProblem::Overlap;
        uint32_t twice = summary.outsideAddress;
        ReadRecords(format, file, FindGiver, &twice, &summary.otherLine, &why, &address);
    } else if (elf) {
        summary.problem = where != kNoSegment ? PlanProblem::ElfSegment : PlanProblem::ElfDamaged;
        summary.outsideAddress = address;
    } else {
        summary.problem = PlanProblem::HexDamaged;
    }
    return PlanResult::Invalid;
}

// HEX, S-records and ELF: the records placed into the image of the largest FLASH.
PlanResult LoadRecords(const char* path, ImageFormat format) {
    InputBytes file;
    const size_t limit = format == ImageFormat::Elf ? kMaxElfFileSize : kMaxHexFileSize;
    const PlanResult read = FromInput(ReadInputFile(path, limit, &file));
    if (read != PlanResult::Ok) {
        return read;
    }
    if (!image.Reset(kImageSpan, 0xFF) || !given.Reset(kImageSpan, 0)) {
        summary.problem = PlanProblem::ReadError;
        return PlanResult::CantOpen;
    }
    size_t where = 0;
    const char* why = nullptr;
    uint32_t address = 0;
    Stop stop = Stop::None;
    const ReadResult records =
        ReadRecords(format, file, PlaceRecord, &stop, &where, &why, &address);
    return records == ReadResult::Ok ? PlanResult::Ok
                                     : Refuse(format, file, stop, where, why, address);
}

// The given bytes of chunk as a word-aligned [first, end) range; false when there are none.
bool ChunkRange(size_t chunk, size_t* first, size_t* end) {
    const size_t start = chunk * kRawBlockSize;
    const size_t stop = start + kRawBlockSize;
    if (given.data == nullptr) {
        *first = std::max(start, rawStart);
        *end = std::min(stop, rawEnd);
        return *first < *end;
    }
    const uint8_t* from = given.data + start;
    const uint8_t* to = given.data + stop;
    const uint8_t* head = std::find(from, to, 1);
    if (head == to) {
        return false;
    }
    const uint8_t* tail = to;
    while (tail[-1] == 0) {
        --tail;
    }
    *first = static_cast<size_t>(head - given.data) / kWord * kWord;
    *end = RoundUp(static_cast<size_t>(tail - given.data), kWord);
    return true;
}

void Summarise() {
    summary.totalBytes = 0;
    summary.blocks = 0;
    summary.erasedBlocks = 0;
    summary.imageEnd = 0;
    PlanBlock block;
    while (NextPlanBlock(&block)) {
        summary.totalBytes += block.length;
        ++summary.blocks;
        summary.erasedBlocks += block.erased ? 1 : 0;
        summary.imageEnd = block.address - kFlashBase + block.length;
    }
    nextChunk = 0;
}

// A raw plan becomes one with a flag per byte over the whole span, so that a word can be
// added anywhere in FLASH. false when memory runs short.
bool WidenToSpan() {
    if (given.data != nullptr) {
        return true;
    }
    InputBytes wide;
    if (!wide.Reset(kImageSpan, 0xFF) || !given.Reset(kImageSpan, 0)) {
        return false;
    }
    memcpy(wide.data, image.data, std::min<size_t>(image.size, kImageSpan));
    std::swap(image.data, wide.data);
    std::swap(image.size, wide.size);
    memset(given.data + rawStart, 1, rawEnd - rawStart);
    return true;
}

} // namespace

PlanResult OpenWritePlan(const char* path, ImageFormat format, uint32_t rawBase) {
    CloseWritePlan();
    summary = {};
    const bool raw = format == ImageFormat::Binary || GetEmbeddedImage().imageOffset != 0;
    summary.format = raw ? ImageFormat::Binary : format;
    PlanResult result = raw ? LoadRaw(path, rawBase) : LoadRecords(path, format);
    if (result == PlanResult::Ok) {
        Summarise();
        // Nothing to write (an empty file, or HEX without data) is no image.
        if (summary.blocks == 0) {
            summary.problem = PlanProblem::NoData;
            result = PlanResult::Invalid;
        }
    }
    if (result != PlanResult::Ok) {
        CloseWritePlan();
    }
    return result;
}

bool NextPlanBlock(PlanBlock* block) {
    const size_t chunks = image.size / kRawBlockSize;
    size_t first = 0;
    size_t end = 0;
    while (nextChunk < chunks) {
        if (ChunkRange(nextChunk++, &first, &end)) {
            const uint8_t* data = image.data + first;
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
    image.Reset(0, 0);
    given.Reset(0, 0);
    rawStart = 0;
    rawEnd = 0;
    nextChunk = 0;
}

void RewindWritePlan() {
    nextChunk = 0;
}

PlanResult AddPlanWord(uint32_t address, uint32_t value) {
    const uint64_t offset = uint64_t{address} - kFlashBase;
    if (address % kWord != 0 || address < kFlashBase || offset + kWord > kImageSpan) {
        summary.problem = PlanProblem::BadAddress;
        summary.outsideAddress = address;
        return PlanResult::Invalid;
    }
    const size_t at = static_cast<size_t>(offset);
    const bool taken = given.data != nullptr ? std::find(given.data + at, given.data + at + kWord,
                                                         1) != given.data + at + kWord
                                             : at < rawEnd && at + kWord > rawStart;
    if (taken) {
        summary.problem = PlanProblem::WordTaken;
        summary.outsideAddress = address;
        return PlanResult::Invalid;
    }
    if (!WidenToSpan()) {
        summary.problem = PlanProblem::ReadError;
        return PlanResult::CantOpen;
    }
    for (uint32_t i = 0; i < kWord; ++i) {
        image.data[at + i] = static_cast<uint8_t>(value >> (8 * i));
        given.data[at + i] = 1;
    }
    Summarise();
    return PlanResult::Ok;
}
