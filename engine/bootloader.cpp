// AN3155 commands. Each step is tested at once; the first failure ends the command with 1.
// Frames live in small local buffers; Write Memory data goes straight from the caller.
#include "engine/bootloader.h"

#include "device/chips.h"
#include "engine/serial.h"
#include "engine/status.h"

#include <algorithm>

namespace {

// One write that must go out whole.
bool SendAll(const uint8_t* bytes, uint32_t n) {
    return PortWrite(bytes, n) == static_cast<int32_t>(n);
}

// Drops the bytes nobody asked for before a step (a doubled answer, a board's own output,
// what an earlier run left) and tells the observer of the step with them, so that every
// answer read afterwards belongs to the step. -1 when the line failed, else whether a
// NACK was among them.
int DropUnasked(uint8_t code) {
    uint8_t kept[kStepKeptBytes];
    const int32_t n = PortDiscardInput(kept, sizeof kept);
    ReportStep(code, kept, n > 0 ? static_cast<uint32_t>(n) : 0);
    const uint8_t* begin = kept;
    const uint8_t* end = begin + std::min<int32_t>(std::max<int32_t>(n, 0), sizeof kept);
    return n < 0 ? -1 : std::find(begin, end, kNack) != end ? 1 : 0;
}

// A NACK among the dropped bytes is a refusal that came after its step was taken as
// done: the line is out of step, and nothing more may be taken on trust.
bool SendCommand(uint8_t code) {
    if (DropUnasked(code) != 0) {
        return false;
    }
    const uint8_t frame[2] = {code, static_cast<uint8_t>(code ^ 0xFF)};
    return SendAll(frame, sizeof frame);
}

// Command, two acknowledgements (accepted, done), then the device resets: sync again.
bool CommandWithResync(uint8_t code) {
    if (!SendCommand(code) || !BlWaitAck() || !BlWaitAck()) {
        return false;
    }
    return BlSync();
}

// The address frame: four bytes MSB first and their XOR.
void AddressFrame(uint32_t address, uint8_t frame[5]) {
    frame[0] = static_cast<uint8_t>(address >> 24);
    frame[1] = static_cast<uint8_t>(address >> 16);
    frame[2] = static_cast<uint8_t>(address >> 8);
    frame[3] = static_cast<uint8_t>(address);
    frame[4] = XorChecksum(frame, 4, 0);
}

// Command, ACK, address frame, ACK: how Read Memory and Go begin.
bool CommandAtAddress(uint8_t code, uint32_t address) {
    uint8_t frame[5];
    AddressFrame(address, frame);
    if (!SendCommand(code) || !BlWaitAck()) {
        return false;
    }
    return SendAll(frame, sizeof frame) && BlWaitAck();
}

// One answer byte, or -1 for silence, a failed read or an abort.
int ReadAnswer() {
    uint8_t answer = 0;
    return PortRead(&answer, 1, kAnswerIdleLimit) == 1 ? answer : -1;
}

bool StopRequested() {
    StatusCallback callback = GetStatusCallback();
    return callback != nullptr && callback(Poll, 0) != 0;
}

// Sends one 0x7F; true when the bootloader answered NACK or ACK: it listens for a command.
// What came before it (an earlier run's answers, a board's own output) is dropped.
bool ProbeListening() {
    const uint8_t sync = kSyncByte;
    if (StopRequested() || DropUnasked(kSyncByte) < 0 || !SendAll(&sync, 1)) {
        return false;
    }
    int answer = ReadAnswer();
    return answer == kNack || answer == kAck;
}

// A bootloader inside a command has taken the two 0x7F sent so far as the start of the
// frame it waits for: at most a count of 0x7F and the first of 128 items, which leaves 127
// items and the checksum. The checksum byte never matches (0x7F ^ 0x7F ^ 0xFF), the
// address frames' XOR fails too, and command pairs of 0xFF are bad pairs: every frame is
// refused, and the bootloader listens again, perhaps holding the last byte. false when
// the line does not go quiet: bytes that keep coming (a board's own firmware talking)
// are no bootloader's, and must not keep the wait alive.
bool CompleteAnyFrame() {
    uint8_t fill[128];
    for (uint8_t& byte : fill) {
        byte = 0xFF;
    }
    fill[sizeof fill - 1] = 0x00;
    if (!SendAll(fill, sizeof fill)) {
        return false;
    }
    // The refusals come while the fill is on the wire; once it is out, they are all in
    // but the last, which the first wait of the drain takes. At most 129 of them: two
    // reads hold them all, and a line still talking after four is not a bootloader.
    PortSleepMs(PortWireMs(sizeof fill));
    constexpr int kDrainReads = 4;
    uint8_t answers[256];
    for (int read = 0; read < kDrainReads; ++read) {
        if (PortRead(answers, sizeof answers, 1) <= 0) {
            return true;
        }
    }
    return false;
}

} // namespace

uint8_t XorChecksum(const uint8_t* bytes, uint32_t n, uint8_t seed) {
    for (uint32_t i = 0; i < n; ++i) {
        seed ^= bytes[i];
    }
    return seed;
}

bool BlWaitAck() {
    uint8_t answer = 0;
    return (PortRead(&answer, 1, kAnswerIdleLimit) == 1 && answer == kAck);
}

bool BlSync() {
    PortSleepMs(kSyncPauseMs);
    const uint8_t sync = kSyncByte;
    if (DropUnasked(kSyncByte) < 0 || !SendAll(&sync, 1)) {
        return false;
    }
    return BlWaitAck();
}

bool BlGetId() {
    return BlGetId(nullptr);
}

bool BlGetId(uint16_t* productIdFound, bool wholeFamily) {
    if (productIdFound != nullptr) {
        *productIdFound = 0;
    }
    if (!SendCommand(kCmdGetId) || !BlWaitAck()) {
        return false;
    }
    uint8_t reply[3] = {};
    if (PortRead(reply, 3, kAnswerIdleLimit) != 3) {
        return false;
    }
    // One byte of length (ID bytes - 1), then the product ID MSB first: only the chips of
    // the table are accepted.
    const uint16_t productId = static_cast<uint16_t>(reply[1] << 8 | reply[2]);
    if (productIdFound != nullptr && reply[0] == 0x01) {
        *productIdFound = productId;
    }
    if (reply[0] != 0x01 || AcceptedChip(productId, wholeFamily) == nullptr) {
        return false;
    }
    return BlWaitAck();
}

bool BlReadoutUnprotect() {
    return CommandWithResync(kCmdReadoutUnprotect);
}

bool BlWriteUnprotect() {
    return CommandWithResync(kCmdWriteUnprotect);
}

bool BlEraseAll() {
    static constexpr uint8_t kGlobalErase[2] = {0xFF, 0x00};
    if (!SendCommand(kCmdErase) || !BlWaitAck()) {
        return false;
    }
    if (!SendAll(kGlobalErase, sizeof kGlobalErase)) {
        return false;
    }
    return BlWaitAck();
}

bool BlErasePages(const uint8_t* pages, uint32_t count) {
    const uint8_t n = static_cast<uint8_t>(count - 1);
    const uint8_t checksum = XorChecksum(pages, count, n);
    if (count == 0 || count > 255 || !SendCommand(kCmdErase) || !BlWaitAck()) {
        return false;
    }
    if (!SendAll(&n, 1) || !SendAll(pages, count) || !SendAll(&checksum, 1)) {
        return false;
    }
    return BlWaitAck();
}

bool BlWriteMemory(uint32_t address, const uint8_t* data, uint32_t len) {
    uint8_t addressFrame[5];
    AddressFrame(address, addressFrame);
    const uint8_t count = static_cast<uint8_t>(len - 1); // 0 goes out as 0xFF, as it comes
    const uint8_t checksum = XorChecksum(data, len, XorChecksum(&count, 1, 0));

    if (!SendCommand(kCmdWriteMemory) || !BlWaitAck()) {
        return false;
    }
    if (!SendAll(addressFrame, sizeof addressFrame) || !BlWaitAck()) {
        return false;
    }
    if (!SendAll(&count, 1) || !SendAll(data, len) || !SendAll(&checksum, 1)) {
        return false;
    }
    return BlWaitAck();
}

bool BlSettle() {
    uint8_t late[kStepKeptBytes];
    const int32_t n = PortRead(late, sizeof late, 1);
    if (n > 0) {
        ReportStep(kCmdWriteMemory, late, static_cast<uint32_t>(n)); // shown as it came
    }
    const uint8_t* begin = late;
    return n >= 0 && std::find(begin, begin + std::max<int32_t>(n, 0), kNack) == begin + n;
}

bool BlWriteProtect() {
    static constexpr uint8_t kSectorCount = 0x0F; // 16 sectors, minus one
    static constexpr uint8_t kSectors[16] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                                             0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
    const uint8_t checksum =
        XorChecksum(kSectors, sizeof kSectors, XorChecksum(&kSectorCount, 1, 0));

    if (!SendCommand(kCmdWriteProtect) || !BlWaitAck()) {
        return false;
    }
    if (!SendAll(&kSectorCount, 1) || !SendAll(kSectors, sizeof kSectors) ||
        !SendAll(&checksum, 1)) {
        return false;
    }
    if (!BlWaitAck()) {
        return false;
    }
    return BlSync();
}

bool BlReadoutProtect() {
    // No re-sync: the device resets and is left unsynchronised.
    if (!SendCommand(kCmdReadoutProtect) || !BlWaitAck()) {
        return false;
    }
    return BlWaitAck();
}

bool BlReadMemory(uint32_t address, uint8_t* buf, uint32_t len) {
    bool refused = false;
    return BlReadMemory(address, buf, len, &refused);
}

bool BlReadMemory(uint32_t address, uint8_t* buf, uint32_t len, bool* refused) {
    const uint8_t count = static_cast<uint8_t>(len - 1);
    const uint8_t countFrame[2] = {count, static_cast<uint8_t>(count ^ 0xFF)};
    uint8_t frame[5];
    AddressFrame(address, frame);
    *refused = false;
    if (!SendCommand(kCmdReadMemory)) {
        return false;
    }
    const int answer = ReadAnswer();
    *refused = answer == kNack;
    if (answer != kAck || !SendAll(frame, sizeof frame) || !BlWaitAck()) {
        return false;
    }
    if (!SendAll(countFrame, sizeof countFrame) || !BlWaitAck()) {
        return false;
    }
    return PortRead(buf, len, kAnswerIdleLimit) == static_cast<int32_t>(len);
}

bool BlGo(uint32_t address) {
    return CommandAtAddress(kCmdGo, address);
}

bool BlSyncOrResume() {
    // An answer that an earlier run left on the way (it closed the port while the device
    // was still answering) must not pass for the answer to this sync byte: each probe
    // drops what came before it.
    PortSleepMs(kSyncPauseMs);
    // ACK: it was waiting for its sync byte. NACK: synchronised and holding one byte, which
    // the 0x7F made a bad pair. Silence: synchronised, the lone 0x7F is the first byte of a
    // command pair and a second one makes the pair bad. Still silence: inside a command.
    if (ProbeListening() || ProbeListening()) {
        return true;
    }
    if (StopRequested() || PortLinkError() != 0 || !CompleteAnyFrame()) {
        return false;
    }
    // Listening now, perhaps holding one byte of a pair: a 0x7F either completes that
    // pair or is held itself, and then the next one completes it.
    return ProbeListening() || ProbeListening();
}
