// AN3155 commands. Each step is tested at once; the first failure ends the command with 1.
// Frames live in small local buffers; Write Memory data goes straight from the caller.
#include "engine/bootloader.h"

#include "engine/serial.h"
#include "engine/serial_platform.h"

namespace {

// One write that must go out whole.
int SendAll(const uint8_t* bytes, uint32_t n) {
    return PortWrite(bytes, n) == static_cast<int32_t>(n) ? 0 : 1;
}

int SendCommand(uint8_t code) {
    const uint8_t frame[2] = {code, static_cast<uint8_t>(code ^ 0xFF)};
    return SendAll(frame, sizeof frame);
}

// Command, two acknowledgements (accepted, done), then the device resets: sync again.
int CommandWithResync(uint8_t code) {
    if (SendCommand(code) != 0 || BlWaitAck() != 0 || BlWaitAck() != 0) {
        return 1;
    }
    return BlSync();
}

constexpr uint8_t kCmdGetId = 0x02;
constexpr uint8_t kCmdWriteMemory = 0x31;
constexpr uint8_t kCmdErase = 0x43;
constexpr uint8_t kCmdWriteProtect = 0x63;
constexpr uint8_t kCmdWriteUnprotect = 0x73;
constexpr uint8_t kCmdReadoutProtect = 0x82;
constexpr uint8_t kCmdReadoutUnprotect = 0x92;

} // namespace

uint8_t XorChecksum(const uint8_t* bytes, uint32_t n, uint8_t seed) {
    for (uint32_t i = 0; i < n; ++i) {
        seed ^= bytes[i];
    }
    return seed;
}

int BlWaitAck() {
    uint8_t answer = 0;
    return (PortRead(&answer, 1, kAnswerIdleLimit) == 1 && answer == kAck) ? 0 : 1;
}

int BlSync() {
    SysSleepMs(kSyncPauseMs);
    const uint8_t sync = kSyncByte;
    if (SendAll(&sync, 1) != 0) {
        return 1;
    }
    return BlWaitAck();
}

int BlGetId() {
    if (SendCommand(kCmdGetId) != 0 || BlWaitAck() != 0) {
        return 1;
    }
    uint8_t reply[3] = {};
    if (PortRead(reply, 3, kAnswerIdleLimit) != 3) {
        return 1;
    }
    // One byte of length (ID bytes - 1), then the product ID MSB first: only the
    // STM32F10x medium (0x410), low (0x412) and high (0x414) densities are accepted.
    if (reply[0] != 0x01 || reply[1] != 0x04) {
        return 1;
    }
    if (reply[2] != 0x10 && reply[2] != 0x12 && reply[2] != 0x14) {
        return 1;
    }
    return BlWaitAck();
}

int BlReadoutUnprotect() {
    return CommandWithResync(kCmdReadoutUnprotect);
}

int BlWriteUnprotect() {
    return CommandWithResync(kCmdWriteUnprotect);
}

int BlEraseAll() {
    static constexpr uint8_t kGlobalErase[2] = {0xFF, 0x00};
    if (SendCommand(kCmdErase) != 0 || BlWaitAck() != 0) {
        return 1;
    }
    if (SendAll(kGlobalErase, sizeof kGlobalErase) != 0) {
        return 1;
    }
    return BlWaitAck();
}

int BlWriteMemory(uint32_t address, const uint8_t* data, uint32_t len) {
    uint8_t addressFrame[5] = {
        static_cast<uint8_t>(address >> 24),
        static_cast<uint8_t>(address >> 16),
        static_cast<uint8_t>(address >> 8),
        static_cast<uint8_t>(address),
        0,
    };
    addressFrame[4] = XorChecksum(addressFrame, 4, 0);
    const uint8_t count = static_cast<uint8_t>(len - 1); // 0 goes out as 0xFF, as it comes
    const uint8_t checksum = XorChecksum(data, len, XorChecksum(&count, 1, 0));

    if (SendCommand(kCmdWriteMemory) != 0 || BlWaitAck() != 0) {
        return 1;
    }
    if (SendAll(addressFrame, sizeof addressFrame) != 0 || BlWaitAck() != 0) {
        return 1;
    }
    if (SendAll(&count, 1) != 0 || SendAll(data, len) != 0 || SendAll(&checksum, 1) != 0) {
        return 1;
    }
    return BlWaitAck();
}

int BlWriteProtect() {
    static constexpr uint8_t kSectorCount = 0x0F; // 16 sectors, minus one
    static constexpr uint8_t kSectors[16] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                                             0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
    const uint8_t checksum =
        XorChecksum(kSectors, sizeof kSectors, XorChecksum(&kSectorCount, 1, 0));

    if (SendCommand(kCmdWriteProtect) != 0 || BlWaitAck() != 0) {
        return 1;
    }
    if (SendAll(&kSectorCount, 1) != 0 || SendAll(kSectors, sizeof kSectors) != 0 ||
        SendAll(&checksum, 1) != 0) {
        return 1;
    }
    if (BlWaitAck() != 0) {
        return 1;
    }
    return BlSync();
}

int BlReadoutProtect() {
    // No re-sync: the device resets and is left unsynchronised.
    if (SendCommand(kCmdReadoutProtect) != 0 || BlWaitAck() != 0) {
        return 1;
    }
    return BlWaitAck();
}
