// Device model: see device_model.h. Host bytes wait in a queue with their wire arrival
// times and are handled strictly in order; every answer is computed when the byte that
// completes its frame is handled, and waits in the output queue until its time.
#include "tools/devsim/device_model.h"

#include <algorithm>
#include <iterator>
#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <deque>

namespace {

struct OutByte {
    uint8_t value;
    uint64_t readyNs;
};

enum class Phase {
    WaitSync,
    WaitCommand,
    Address,
    WriteCount,
    WriteData,
    EraseCount,
    EraseGlobal,
    ErasePages,
    ProtectCount,
    ProtectCodes,
    ReadCount,
    Running,
    Dead,
};

// DevDensity indexes the chip table, one name per row.
const char* const kDensityNames[] = {"low",   "medium",     "high", "connectivity",
                                     "value", "value-high", "xl"};
static_assert(std::size(kChips) == std::size(kDensityNames) && kChips[0].productId == 0x412 &&
              kChips[2].productId == 0x414 && kChips[6].productId == 0x430);

const uint8_t kCommandList[] = {kCmdGet,
                                kCmdGetVersion,
                                kCmdGetId,
                                kCmdReadMemory,
                                kCmdGo,
                                kCmdWriteMemory,
                                kCmdErase,
                                kCmdWriteProtect,
                                kCmdWriteUnprotect,
                                kCmdReadoutProtect,
                                kCmdReadoutUnprotect};

// The short names that --fault and friends take; the titles are the protocol's own.
struct CommandName {
    uint8_t code;
    const char* cli;
};
const CommandName kNames[] = {
    {kDevFaultSync, "sync"},
    {kCmdGet, "get"},
    {kCmdGetVersion, "get-version"},
    {kCmdGetId, "get-id"},
    {kCmdReadMemory, "read"},
    {kCmdGo, "go"},
    {kCmdWriteMemory, "write"},
    {kCmdErase, "erase"},
    {kCmdWriteProtect, "write-protect"},
    {kCmdWriteUnprotect, "write-unprotect"},
    {kCmdReadoutProtect, "readout-protect"},
    {kCmdReadoutUnprotect, "readout-unprotect"},
};

struct Model {
    DevConfig config;
    DevState state;
    std::vector<uint8_t> flash;
    std::vector<uint8_t> ram;
    uint8_t info[kDevInfoSize] = {}; // the size register and unique ID in system memory
    std::deque<OutByte> out;
    uint64_t lastNowNs = 0;
    uint64_t inWireFreeNs = 0;
    uint64_t outWireFreeNs = 0;
    uint64_t busyUntilNs = 0;
    uint64_t bootReadyNs = 0;
    uint64_t holdingUntilNs = 0;  // a byte sits in the receive register until then
    uint64_t nowNs = 0;           // when the current byte is handled
    uint64_t byteNs = kDevByteNs; // one byte on the wire at the host's rate
    uint64_t arriveNs = 0;        // when the current byte arrived
    Phase phase = Phase::WaitSync;
    uint8_t command = 0;
    uint32_t occurrence = 0;
    std::vector<uint8_t> frame;
    size_t need = 0;
    uint32_t address = 0;
    uint32_t seen[256] = {};
    bool extraAck = false; // the next answer goes out with an ACK nobody asked for
    std::vector<DevFrame> transcript;
};

Model g;

uint64_t Ns(uint64_t ns) {
    return g.config.timing ? ns : 0;
}

uint64_t ToUs(uint64_t ns) {
    return (ns + 999) / 1000;
}

uint8_t Xor(const uint8_t* bytes, size_t n) {
    uint8_t x = 0;
    for (size_t i = 0; i < n; ++i) {
        x ^= bytes[i];
    }
    return x;
}

// ---- transcript ----

void Log(DevDir dir, uint64_t atNs, const uint8_t* bytes, size_t n, const std::string& note) {
    DevFrame f;
    f.timeUs = atNs / 1000;
    f.dir = dir;
    f.bytes.assign(bytes, bytes + n);
    f.note = note;
    g.transcript.push_back(std::move(f));
}

void LogEvent(const std::string& note, uint64_t atNs) {
    Log(DevDir::Event, atNs, nullptr, 0, note);
}
void LogEvent(const std::string& note) {
    LogEvent(note, g.nowNs);
}

void LogFrame(const std::string& note) {
    Log(DevDir::HostToDevice, g.arriveNs, g.frame.data(), g.frame.size(), note);
}

// Bytes the device does not take as protocol: runs of them share one line.
void LogDropped(uint8_t b, const char* note) {
    if (!g.transcript.empty()) {
        DevFrame& last = g.transcript.back();
        if (last.dir == DevDir::HostToDevice && last.note == note) {
            last.bytes.push_back(b);
            last.timeUs = g.arriveNs / 1000;
            return;
        }
    }
    Log(DevDir::HostToDevice, g.arriveNs, &b, 1, note);
}

// ---- output ----

// Queues bytes that start leaving no earlier than startNs; returns when the last is out.
uint64_t Emit(const uint8_t* bytes, size_t n, uint64_t startNs, const std::string& note) {
    uint64_t t = startNs;
    for (size_t i = 0; i < n; ++i) {
        if (g.config.timing) {
            t = std::max(t, g.outWireFreeNs) + g.byteNs;
            g.outWireFreeNs = t;
        }
        g.out.push_back({bytes[i], t});
    }
    g.state.counters.bytesOut += n;
    Log(DevDir::DeviceToHost, t, bytes, n, note);
    if (g.extraAck) {
        g.extraAck = false;
        return Emit(&kAck, 1, t, "ACK nobody asked for: injected fault");
    }
    return t;
}

uint64_t AnswerStart(uint64_t workNs) {
    return g.nowNs + Ns(workNs) + Ns(kDevAnswerNs);
}

uint64_t Ack(uint64_t startNs, const char* note = "ACK") {
    g.busyUntilNs = std::max(g.busyUntilNs, startNs);
    return Emit(&kAck, 1, startNs, note);
}

uint64_t Nack(uint64_t startNs, const char* note) {
    ++g.state.counters.nacks;
    g.busyUntilNs = std::max(g.busyUntilNs, startNs);
    return Emit(&kNack, 1, startNs, std::string("NACK: ") + note);
}

void EndCommand() {
    g.phase = Phase::WaitCommand;
    g.frame.clear();
    g.need = 2;
}

// Waits for the next frame of the current command, need bytes long.
void Expect(Phase phase, size_t need) {
    g.phase = phase;
    g.frame.clear();
    g.need = need;
}

void ResetDevice(uint64_t lastAnswerEndNs) {
    g.state.synced = false;
    ++g.state.counters.resets;
    g.bootReadyNs = lastAnswerEndNs + Ns(kDevStartupNs);
    g.busyUntilNs = std::max(g.busyUntilNs, g.bootReadyNs);
    Expect(Phase::WaitSync, 1);
    LogEvent("reset: must be synchronised again", lastAnswerEndNs);
}

void Die(const char* why) {
    g.state.linkDead = true;
    g.state.linkDeadAtUs = g.arriveNs / 1000;
    g.phase = Phase::Dead;
    // Answers that would have left after the link died never arrive.
    while (!g.out.empty() && g.out.back().readyNs > g.arriveNs) {
        g.out.pop_back();
    }
    LogEvent(std::string("link cut: ") + why);
}

// A scripted fault at this answer of the current command: sends NACK or nothing, drops
// the command and says so. False when no fault applies.
bool FaultHits(uint8_t answer) {
    for (const DevFault& f : g.config.faults) {
        if (f.command != g.command || f.answer != answer) {
            continue;
        }
        if (f.occurrence != 0 && f.occurrence != g.occurrence) {
            continue;
        }
        if (f.kind == DevFaultKind::ExtraAck) {
            g.extraAck = true; // the answer itself goes out as usual
            continue;
        }
        if (f.kind == DevFaultKind::Nack) {
            Nack(AnswerStart(0), "injected fault");
        } else {
            LogEvent("silent: injected fault");
        }
        EndCommand();
        return true;
    }
    return false;
}

// The device's own refusal at this answer (a fault there still takes precedence).
void Refuse(uint8_t answer, const char* why) {
    if (!FaultHits(answer)) {
        Nack(AnswerStart(0), why);
        EndCommand();
    }
}

// ---- memory ----

uint32_t FlashEnd() {
    return kFlashBase + g.state.flashSize;
}
uint32_t RamEnd() {
    return kDevRamBase + g.state.ramSize;
}

bool InFlash(uint32_t a) {
    return a >= kFlashBase && a < FlashEnd();
}

bool InInfo(uint32_t a) {
    return a >= kDevInfoBase && a < kDevInfoBase + kDevInfoSize;
}

// The size register (KiB, little-endian) and the unique ID, the rest of the block 0xFF.
void FillInfo(const DevConfig& config) {
    std::fill(std::begin(g.info), std::end(g.info), 0xFF);
    const uint32_t kib = g.state.flashSize / 1024;
    g.info[0] = static_cast<uint8_t>(kib);
    g.info[1] = static_cast<uint8_t>(kib >> 8);
    for (uint32_t i = 0; i < kDevUidSize; ++i) {
        g.info[kDevUidOffset + i] =
            config.uid.size() == kDevUidSize
                ? config.uid[i]
                : static_cast<uint8_t>(g.state.productId * 7 + kib * 13 + i * 37 + 0x21);
    }
}

bool SectorProtected(uint32_t offset) {
    uint32_t sector = std::min(offset / kChips[static_cast<int>(g.config.density)].wrpSectorSize,
                               kDevSectorCount - 1);
    return (g.state.writeProtected >> sector) & 1u;
}

uint32_t PageCount() {
    return g.state.flashSize / g.state.pageSize;
}

bool PageProtected(uint32_t page) {
    return SectorProtected(page * g.state.pageSize);
}

bool WriteFailed(const char* why, uint32_t offset) {
    char note[80];
    std::snprintf(note, sizeof note, "write failed: %s at 0x%08X", why,
                  static_cast<unsigned>(kFlashBase + offset));
    LogEvent(note);
    return false;
}

// Programs half-word by half-word as the FLASH interface does: a half-word must be erased
// unless it is programmed to 0x0000. Half-words in write-protected sectors are left as they
// are without an error, as the real part does. Bytes of a half-word outside the block are
// programmed as 0xFF. Stops at the first failure.
bool ProgramFlash(uint32_t offset, const uint8_t* data, uint32_t n, uint32_t* halfWords) {
    uint32_t first = offset & ~1u;
    uint32_t end = (offset + n + 1) & ~1u;
    bool protectedSkipped = false;
    for (uint32_t hw = first; hw < end; hw += 2) {
        ++*halfWords;
        uint8_t lo = (hw >= offset && hw < offset + n) ? data[hw - offset] : 0xFF;
        uint8_t hi = (hw + 1 >= offset && hw + 1 < offset + n) ? data[hw + 1 - offset] : 0xFF;
        if (SectorProtected(hw)) {
            protectedSkipped = true;
            continue;
        }
        bool erased = g.flash[hw] == 0xFF && g.flash[hw + 1] == 0xFF;
        if (!erased && (lo != 0 || hi != 0)) {
            return WriteFailed("half-word not erased", hw);
        }
        g.flash[hw] = lo;
        g.flash[hw + 1] = hi;
    }
    if (protectedSkipped) {
        LogEvent("write-protected sector: not programmed");
    }
    return true;
}

// The bytes of an unaligned FLASH write that the Drop rule programs: whole words from an
// aligned start, none from an unaligned one.
uint32_t AlignedPart(uint32_t address, uint32_t n) {
    return address % 4 != 0 ? 0 : n & ~3u;
}

// Erases the pages that are not write-protected; returns how many were erased.
template <typename Page> uint32_t ErasePages(const Page* pages, size_t n) {
    uint32_t erased = 0;
    for (size_t i = 0; i < n; ++i) {
        if (PageProtected(pages[i])) {
            continue;
        }
        uint32_t at = pages[i] * g.state.pageSize;
        std::fill(g.flash.begin() + at, g.flash.begin() + at + g.state.pageSize, 0xFF);
        ++erased;
    }
    return erased;
}

// ---- commands without further frames ----

void AnswerData(const std::vector<uint8_t>& data, const char* note) {
    if (FaultHits(1)) {
        return;
    }
    uint64_t end = Ack(AnswerStart(0));
    if (FaultHits(2)) {
        return;
    }
    std::vector<uint8_t> reply = data;
    reply.push_back(kAck);
    Emit(reply.data(), reply.size(), end, note);
    EndCommand();
}

// ACK, the work, ACK, reset: the shape of the option-byte commands.
template <typename Work> void AnswerAndReset(uint64_t workNs, Work work) {
    if (FaultHits(1)) {
        return;
    }
    uint64_t end = Ack(AnswerStart(0));
    if (FaultHits(2)) {
        return;
    }
    g.nowNs = end; // the work starts once the first ACK is out
    work();
    uint64_t done = Ack(end + Ns(workNs), "ACK: done");
    ResetDevice(done);
}

void StartCommand(uint8_t c) {
    switch (c) {
    case kCmdGet: {
        std::vector<uint8_t> d = {sizeof kCommandList, kDevBootloaderVersion};
        d.insert(d.end(), std::begin(kCommandList), std::end(kCommandList));
        AnswerData(d, "command list");
        break;
    }
    case kCmdGetVersion:
        AnswerData({kDevBootloaderVersion, 0x00, 0x00}, "version, option bytes");
        break;
    case kCmdGetId:
        AnswerData({0x01, static_cast<uint8_t>(g.state.productId >> 8),
                    static_cast<uint8_t>(g.state.productId & 0xFF)},
                   "product ID");
        break;
    case kCmdReadoutUnprotect:
        AnswerAndReset(kDevEraseNs + kDevOptionBytesNs, [] {
            std::fill(g.flash.begin(), g.flash.end(), 0xFF);
            std::fill(g.ram.begin(), g.ram.end(), 0x00);
            g.state.readoutProtected = false;
            ++g.state.counters.globalErases;
            LogEvent("mass erase, RAM cleared, read-out protection off");
        });
        break;
    case kCmdWriteUnprotect:
        AnswerAndReset(kDevOptionBytesNs, [] {
            g.state.writeProtected = 0;
            LogEvent("write protection off");
        });
        break;
    case kCmdReadoutProtect:
        AnswerAndReset(kDevOptionBytesNs, [] {
            g.state.readoutProtected = true;
            LogEvent("read-out protection on");
        });
        break;
    default: // the commands that continue with more frames
        if (FaultHits(1)) {
            return;
        }
        Ack(AnswerStart(0));
        if (c == kCmdErase) {
            Expect(Phase::EraseCount, 1);
        } else if (c == kCmdWriteProtect) {
            Expect(Phase::ProtectCount, 1);
        } else {
            Expect(Phase::Address, 5);
        }
        break;
    }
}

bool KnownCommand(uint8_t c) {
    return std::find(std::begin(kCommandList), std::end(kCommandList), c) != std::end(kCommandList);
}

bool AllowedWhileProtected(uint8_t c) {
    return c == kCmdGet || c == kCmdGetVersion || c == kCmdGetId || c == kCmdReadoutUnprotect;
}

void OnCommandPair() {
    uint8_t c = g.frame[0];
    if (g.frame[1] != static_cast<uint8_t>(c ^ 0xFF)) {
        LogFrame("bad command pair");
        Nack(AnswerStart(0), "complement does not match");
        EndCommand();
        return;
    }
    if (!KnownCommand(c)) {
        LogFrame("unknown command");
        Nack(AnswerStart(0), "unknown command");
        EndCommand();
        return;
    }
    ++g.state.counters.commands;
    g.command = c;
    g.occurrence = ++g.seen[c];
    char note[64];
    std::snprintf(note, sizeof note, "%s #%u", DevCommandName(c), g.occurrence);
    LogFrame(note);
    if (g.state.readoutProtected && !AllowedWhileProtected(c)) {
        Refuse(1, "read-out protected");
        return;
    }
    StartCommand(c);
}

void OnSync() {
    g.command = kDevFaultSync;
    g.occurrence = ++g.seen[kDevFaultSync];
    g.frame.assign(1, kSyncByte);
    LogFrame("sync");
    for (const DevFault& f : g.config.faults) {
        if (f.command == kDevFaultSync && (f.occurrence == 0 || f.occurrence == g.occurrence)) {
            if (f.kind == DevFaultKind::ExtraAck) {
                g.extraAck = true;
                continue;
            }
            if (f.kind == DevFaultKind::Nack) {
                Nack(AnswerStart(0), "injected fault");
            } else {
                LogEvent("silent: injected fault");
            }
            Expect(Phase::WaitSync, 1);
            return;
        }
    }
    // The answer ends kDevSyncAckNs after the sync byte: it starts one byte time earlier.
    uint64_t start = g.nowNs + Ns(kDevSyncAckNs - kDevByteNs);
    g.busyUntilNs = std::max(g.busyUntilNs, start);
    Emit(&kAck, 1, start, "ACK: synchronised");
    g.state.synced = true;
    ++g.state.counters.syncs;
    EndCommand();
}

// ---- frames after the command pair ----

void OnAddress() {
    const uint8_t* f = g.frame.data();
    uint32_t a = (uint32_t(f[0]) << 24) | (uint32_t(f[1]) << 16) | (uint32_t(f[2]) << 8) | f[3];
    char note[64];
    std::snprintf(note, sizeof note, "address 0x%08X", static_cast<unsigned>(a));
    LogFrame(note);
    if (Xor(f, 4) != f[4]) {
        Refuse(2, "address checksum");
        return;
    }
    bool flash = InFlash(a);
    bool ramAll = a >= kDevRamBase && a < RamEnd();
    bool ramUser = a >= kDevRamUserStart && a < RamEnd();
    bool valid = g.command == kCmdReadMemory ? flash || ramAll || InInfo(a) : flash || ramUser;
    if (!valid) {
        Refuse(2, "address not valid");
        return;
    }
    if (g.command == kCmdWriteMemory && g.config.unaligned == DevUnaligned::Nack && InFlash(a) &&
        a % 4 != 0) {
        Refuse(2, "address not a multiple of 4");
        return;
    }
    if (FaultHits(2)) {
        return;
    }
    g.address = a;
    Ack(AnswerStart(0));
    if (g.command == kCmdWriteMemory) {
        Expect(Phase::WriteCount, 1);
    } else if (g.command == kCmdReadMemory) {
        Expect(Phase::ReadCount, 2);
    } else {
        g.state.running = true;
        g.state.synced = false;
        Expect(Phase::Running, 1);
        LogEvent("jumped to user code");
    }
}

// Where a block of n bytes at the current address may go, or nullptr.
uint8_t* Target(uint32_t n) {
    uint32_t a = g.address;
    if (InFlash(a)) {
        return uint64_t(a) + n <= FlashEnd() ? &g.flash[a - kFlashBase] : nullptr;
    }
    if (InInfo(a)) { // read only: Write Memory refuses the address
        return uint64_t(a) + n <= kDevInfoBase + kDevInfoSize ? &g.info[a - kDevInfoBase] : nullptr;
    }
    return uint64_t(a) + n <= RamEnd() ? &g.ram[a - kDevRamBase] : nullptr;
}

void OnWriteData() {
    uint32_t n = uint32_t(g.frame[0]) + 1;
    const uint8_t* data = &g.frame[1];
    char note[64];
    std::snprintf(note, sizeof note, "count, %u data bytes, checksum", static_cast<unsigned>(n));
    LogFrame(note);
    if (Xor(g.frame.data(), n + 1) != g.frame[n + 1]) {
        Refuse(3, "data checksum");
        return;
    }
    bool flash = InFlash(g.address);
    bool unaligned = flash && (g.address % 4 != 0 || n % 4 != 0);
    if (unaligned && g.config.unaligned == DevUnaligned::Nack) {
        Refuse(3, "length not a multiple of 4");
        return;
    }
    uint8_t* target = Target(n);
    if (target == nullptr) {
        Refuse(3, "block runs past the end of memory");
        return;
    }
    if (FaultHits(3)) {
        return;
    }
    if (g.config.dropWrite == g.occurrence) {
        LogEvent("write dropped: acknowledged, nothing programmed");
        Ack(AnswerStart(0), "ACK: written (dropped)");
        EndCommand();
        return;
    }
    uint32_t programmed = n;
    if (unaligned) {
        ++g.state.counters.unalignedWrites;
        if (g.config.unaligned == DevUnaligned::Drop) {
            programmed = AlignedPart(g.address, n);
            LogEvent("unaligned write: only whole words from an aligned start programmed");
        }
    }
    uint32_t halfWords = 0;
    bool ok = true;
    if (flash) {
        ok = ProgramFlash(g.address - kFlashBase, data, programmed, &halfWords);
    } else {
        std::memcpy(target, data, n);
    }
    uint64_t start = AnswerStart(halfWords * kDevHalfWordNs);
    if (ok) {
        ++g.state.counters.blocksWritten;
        g.state.counters.bytesWritten += n;
        Ack(start, "ACK: written");
    } else {
        ++g.state.counters.failedWrites;
        Nack(start, "write failed");
    }
    EndCommand();
}

void OnEraseGlobal() {
    LogFrame("global erase");
    if (g.frame[1] != 0x00) {
        Refuse(2, "global erase wants 0xFF 0x00");
        return;
    }
    if (g.config.eraseProtectedNack && g.state.writeProtected != 0) {
        Refuse(2, "write-protected pages");
        return;
    }
    if (FaultHits(2)) {
        return;
    }
    std::vector<uint32_t> all(PageCount());
    for (uint32_t p = 0; p < all.size(); ++p) {
        all[p] = p;
    }
    uint32_t erased = ErasePages(all.data(), all.size());
    ++g.state.counters.globalErases;
    LogEvent(erased == PageCount() ? "mass erase" : "mass erase: write-protected pages kept");
    Ack(AnswerStart(kDevEraseNs), "ACK: erased");
    EndCommand();
}

void OnErasePages() {
    size_t n = size_t(g.frame[0]) + 1;
    const uint8_t* pages = &g.frame[1];
    LogFrame("page erase");
    if (Xor(g.frame.data(), n + 1) != g.frame[n + 1]) {
        Refuse(2, "page list checksum");
        return;
    }
    for (size_t i = 0; i < n; ++i) {
        if (pages[i] >= PageCount()) {
            Refuse(2, "no such page");
            return;
        }
        if (g.config.eraseProtectedNack && PageProtected(pages[i])) {
            Refuse(2, "write-protected page");
            return;
        }
    }
    if (FaultHits(2)) {
        return;
    }
    g.state.counters.pagesErased += ErasePages(pages, n);
    Ack(AnswerStart(n * kDevEraseNs), "ACK: erased");
    EndCommand();
}

void OnProtectCodes() {
    size_t n = size_t(g.frame[0]) + 1;
    LogFrame("sector codes");
    if (Xor(g.frame.data(), n + 1) != g.frame[n + 1]) {
        Refuse(2, "sector list checksum");
        return;
    }
    uint32_t mask = 0;
    for (size_t i = 0; i < n; ++i) {
        uint8_t s = g.frame[1 + i];
        if (s >= kDevSectorCount) {
            Refuse(2, "no such sector");
            return;
        }
        mask |= 1u << s;
    }
    if (FaultHits(2)) {
        return;
    }
    g.state.writeProtected = mask; // the new list replaces the old one
    char note[64];
    std::snprintf(note, sizeof note, "write protection now 0x%08X", static_cast<unsigned>(mask));
    LogEvent(note);
    ResetDevice(Ack(AnswerStart(kDevOptionBytesNs), "ACK: done"));
}

void OnReadCount() {
    LogFrame("count");
    uint32_t n = uint32_t(g.frame[0]) + 1;
    if (g.frame[1] != static_cast<uint8_t>(g.frame[0] ^ 0xFF)) {
        Refuse(3, "count complement");
        return;
    }
    const uint8_t* source = Target(n);
    if (source == nullptr) {
        Refuse(3, "read runs past the end of memory");
        return;
    }
    if (FaultHits(3)) {
        return;
    }
    uint64_t end = Ack(AnswerStart(0));
    Emit(source, n, end, "memory");
    EndCommand();
}

// The first byte of a count-prefixed frame: now the whole length is known.
void OnCountByte() {
    size_t n = size_t(g.frame[0]) + 1;
    switch (g.phase) {
    case Phase::WriteCount:
        g.phase = Phase::WriteData;
        g.need = n + 2;
        break;
    case Phase::EraseCount:
        g.phase = g.frame[0] == 0xFF ? Phase::EraseGlobal : Phase::ErasePages;
        g.need = g.frame[0] == 0xFF ? 2 : n + 2;
        break;
    default: // ProtectCount
        g.phase = Phase::ProtectCodes;
        g.need = n + 2;
        break;
    }
}

void OnFrame() {
    switch (g.phase) {
    case Phase::WaitCommand:
        OnCommandPair();
        break;
    case Phase::Address:
        OnAddress();
        break;
    case Phase::WriteCount:
    case Phase::EraseCount:
    case Phase::ProtectCount:
        OnCountByte();
        break;
    case Phase::WriteData:
        OnWriteData();
        break;
    case Phase::EraseGlobal:
        OnEraseGlobal();
        break;
    case Phase::ErasePages:
        OnErasePages();
        break;
    case Phase::ProtectCodes:
        OnProtectCodes();
        break;
    case Phase::ReadCount:
        OnReadCount();
        break;
    default:
        break;
    }
}

bool DiesInThisBlock() {
    if (g.phase != Phase::WriteData || g.config.dieInBlock == 0) {
        return false;
    }
    if (g.command != kCmdWriteMemory || g.occurrence != g.config.dieInBlock) {
        return false;
    }
    size_t n = size_t(g.frame[0]) + 1;
    return g.frame.size() - 1 == std::max<size_t>(1, n / 2);
}

void HandleByte(uint8_t b) {
    ++g.state.counters.bytesIn;
    if (g.config.dieAfterBytes != 0 && g.state.counters.bytesIn >= g.config.dieAfterBytes) {
        LogDropped(b, "last byte before the link died");
        Die("host byte limit reached");
        return;
    }
    if (g.arriveNs < g.bootReadyNs) {
        LogDropped(b, "lost: device resetting");
        return;
    }
    // While FLASH work stalls the bootloader, the USART's data register keeps the first
    // byte that comes in; any further one overruns it and is lost.
    if (g.arriveNs < g.busyUntilNs) {
        if (g.holdingUntilNs == g.busyUntilNs) {
            LogDropped(b, "lost: overrun while the device was busy");
            return;
        }
        g.holdingUntilNs = g.busyUntilNs;
    }
    switch (g.phase) {
    case Phase::WaitSync:
        if (b == kSyncByte) {
            OnSync();
        } else {
            LogDropped(b, "ignored: waiting for 0x7F");
        }
        return;
    case Phase::Running:
        LogDropped(b, "ignored: user code running");
        return;
    case Phase::Dead:
        return;
    default:
        break;
    }
    g.frame.push_back(b);
    if (DiesInThisBlock()) {
        LogFrame("part of a block");
        Die("in the middle of a block");
        return;
    }
    if (g.frame.size() >= g.need) {
        OnFrame();
    }
}

uint64_t ClockNs(uint64_t nowUs) {
    g.lastNowNs = std::max(g.lastNowNs, nowUs * 1000);
    return g.lastNowNs;
}

} // namespace

int DevReset(const DevConfig& config) {
    const ChipInfo& d = kChips[static_cast<int>(config.density)];
    uint32_t flashSize = config.flashSize != 0 ? config.flashSize : d.flashMaxSize;
    // Page erase names pages in one byte: the model takes the first 256 pages by it, and
    // the rest of an XL part by global erase.
    if (flashSize % d.pageSize != 0 || flashSize > d.flashMaxSize ||
        config.flashImage.size() > flashSize) {
        return 1;
    }
    g = Model{};
    g.config = config;
    g.state.productId = config.productId != 0 ? config.productId : d.productId;
    g.state.flashSize = flashSize;
    g.state.pageSize = d.pageSize;
    g.state.ramSize = d.ramSize;
    g.state.readoutProtected = config.readoutProtected;
    g.state.writeProtected = config.writeProtected;
    g.flash.assign(flashSize, 0xFF);
    std::copy(config.flashImage.begin(), config.flashImage.end(), g.flash.begin());
    FillInfo(config);
    g.ram.assign(d.ramSize, 0x00);
    Expect(Phase::WaitSync, 1);
    return 0;
}

void DevFeed(const uint8_t* bytes, size_t n, uint64_t nowUs) {
    uint64_t now = ClockNs(nowUs);
    for (size_t i = 0; i < n && !g.state.linkDead; ++i) {
        uint64_t arrive = now;
        if (g.config.timing) {
            arrive = std::max(now, g.inWireFreeNs) + g.byteNs;
            g.inWireFreeNs = arrive;
        }
        g.arriveNs = arrive;
        g.nowNs = std::max(arrive, g.busyUntilNs);
        HandleByte(bytes[i]);
    }
}

size_t DevTakeOutput(uint8_t* buf, size_t max, uint64_t nowUs) {
    uint64_t now = ClockNs(nowUs);
    size_t n = 0;
    while (n < max && !g.out.empty() && g.out.front().readyNs <= now) {
        buf[n++] = g.out.front().value;
        g.out.pop_front();
    }
    return n;
}

uint64_t DevNextEventUs() {
    return g.out.empty() ? kDevNever : ToUs(g.out.front().readyNs);
}

void DevSetBaudRate(uint32_t baud) {
    uint64_t byteNs = baud != 0 ? kBitsPerByte * 1000000000ull / baud : g.byteNs;
    if (byteNs != g.byteNs) {
        g.byteNs = byteNs;
        LogEvent("line now " + std::to_string(baud) + " baud", g.lastNowNs);
    }
}

void DevSystemReset(uint64_t nowUs) {
    uint64_t now = ClockNs(nowUs);
    if (g.state.linkDead) {
        return;
    }
    g.out.clear();
    g.nowNs = std::max(now, g.busyUntilNs);
    g.state.running = false;
    ResetDevice(g.nowNs);
}

DevState DevGetState() {
    return g.state;
}
const DevConfig& DevGetConfig() {
    return g.config;
}
const std::vector<uint8_t>& DevFlash() {
    return g.flash;
}
const std::vector<uint8_t>& DevRam() {
    return g.ram;
}
const std::vector<DevFrame>& DevTranscript() {
    return g.transcript;
}

std::string DevFormatFrame(const DevFrame& frame) {
    static const char* const kDir[] = {"H>D", "D>H", "---"};
    char head[48];
    std::snprintf(head, sizeof head, "%12.3f ms %s", frame.timeUs / 1000.0,
                  kDir[static_cast<int>(frame.dir)]);
    std::string line = head;
    for (uint8_t b : frame.bytes) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02X", b);
        line += hex;
    }
    return line + "  " + frame.note;
}

std::string DevSummary() {
    const DevCounters& c = g.state.counters;
    char line[400];
    std::snprintf(line, sizeof line,
                  "read-out protected: %s, write-protected sectors: 0x%08X, blocks written: %u "
                  "(%llu bytes), failed writes: %u, unaligned writes: %u, erases: %u global, %u "
                  "pages, syncs: %u, resets: %u, NACKs: %u%s",
                  g.state.readoutProtected ? "yes" : "no",
                  static_cast<unsigned>(g.state.writeProtected), c.blocksWritten,
                  static_cast<unsigned long long>(c.bytesWritten), c.failedWrites,
                  c.unalignedWrites, c.globalErases, c.pagesErased, c.syncs, c.resets, c.nacks,
                  g.state.linkDead ? ", link cut" : "");
    return line;
}

const char* DevCommandName(uint8_t code) {
    const char* name = BlCommandName(code);
    return name != nullptr ? name : "unknown";
}

int DevParseCommand(const char* name, uint8_t* code) {
    for (const CommandName& n : kNames) {
        if (std::strcmp(name, n.cli) == 0) {
            *code = n.code;
            return 0;
        }
    }
    char* end = nullptr;
    unsigned long v = std::strtoul(name, &end, 0);
    if (end == name || *end != '\0' || v > 0xFF || !(KnownCommand(uint8_t(v)) || v == 0x7F)) {
        return 1;
    }
    *code = static_cast<uint8_t>(v);
    return 0;
}

int DevParseFault(const char* text, DevFaultKind kind, DevFault* fault) {
    std::string s = text;
    DevFault f;
    f.kind = kind;
    size_t colon = s.find(':');
    if (colon != std::string::npos) {
        char* end = nullptr;
        unsigned long a = std::strtoul(s.c_str() + colon + 1, &end, 10);
        if (*end != '\0' || a < 1 || a > 3 || colon + 1 == s.size()) {
            return 1;
        }
        f.answer = static_cast<uint8_t>(a);
        s.erase(colon);
    }
    size_t at = s.find('@');
    if (at != std::string::npos) {
        char* end = nullptr;
        unsigned long n = std::strtoul(s.c_str() + at + 1, &end, 10);
        // Occurrences count from 1: "@0" would never come, and a fault that never comes
        // makes a test pass for the wrong reason.
        if (*end != '\0' || at + 1 == s.size() || n == 0 || !std::isdigit(s[at + 1])) {
            return 1;
        }
        f.occurrence = static_cast<uint32_t>(n);
        s.erase(at);
    }
    if (DevParseCommand(s.c_str(), &f.command) != 0) {
        return 1;
    }
    *fault = f;
    return 0;
}

int DevParseUnaligned(const char* text, DevUnaligned* rule) {
    static const char* const kRuleNames[] = {"drop", "nack", "accept"};
    for (int i = 0; i < 3; ++i) {
        if (std::strcmp(text, kRuleNames[i]) == 0) {
            *rule = static_cast<DevUnaligned>(i);
            return 0;
        }
    }
    return 1;
}

int DevParseUid(const char* text, std::vector<uint8_t>* uid) {
    std::string digits;
    for (const char* c = text; *c != '\0'; ++c) {
        if (std::isxdigit(static_cast<unsigned char>(*c))) {
            digits += *c;
        } else if (*c != ' ' && *c != ':') {
            return 1;
        }
    }
    if (digits.size() != 2 * kDevUidSize) {
        return 1;
    }
    uid->clear();
    for (size_t i = 0; i < digits.size(); i += 2) {
        uid->push_back(
            static_cast<uint8_t>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
    }
    return 0;
}

int DevParseDensity(const char* text, DevDensity* density) {
    for (int i = 0; i < static_cast<int>(std::size(kDensityNames)); ++i) {
        if (std::strcmp(text, kDensityNames[i]) == 0) {
            *density = static_cast<DevDensity>(i);
            return 0;
        }
    }
    return 1;
}
