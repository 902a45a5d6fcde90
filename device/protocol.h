// The bootloader's USART protocol as it appears on the wire: the bytes both ends of the
// link agree on, shared by the programming engine and the device model.
#pragma once
#include <cstdint>

constexpr uint8_t kSyncByte = 0x7F; // the bootloader measures the rate from this byte
constexpr uint8_t kAck = 0x79;
constexpr uint8_t kNack = 0x1F;

// Command codes, each sent with its complement.
enum BlCommand : uint8_t {
    kCmdGet = 0x00,
    kCmdGetVersion = 0x01,
    kCmdGetId = 0x02,
    kCmdReadMemory = 0x11,
    kCmdGo = 0x21,
    kCmdWriteMemory = 0x31,
    kCmdErase = 0x43,
    kCmdWriteProtect = 0x63,
    kCmdWriteUnprotect = 0x73,
    kCmdReadoutProtect = 0x82,
    kCmdReadoutUnprotect = 0x92,
};

// A command's name as the protocol's description gives it ("Read Memory"); the sync byte
// is "Sync". nullptr for a byte that is neither.
constexpr const char* BlCommandName(uint8_t code) {
    constexpr struct {
        uint8_t code;
        const char* name;
    } kNames[] = {
        {kSyncByte, "Sync"},
        {kCmdGet, "Get"},
        {kCmdGetVersion, "Get Version"},
        {kCmdGetId, "Get ID"},
        {kCmdReadMemory, "Read Memory"},
        {kCmdGo, "Go"},
        {kCmdWriteMemory, "Write Memory"},
        {kCmdErase, "Erase"},
        {kCmdWriteProtect, "Write Protect"},
        {kCmdWriteUnprotect, "Write Unprotect"},
        {kCmdReadoutProtect, "Readout Protect"},
        {kCmdReadoutUnprotect, "Readout Unprotect"},
    };
    for (const auto& entry : kNames) {
        if (entry.code == code) {
            return entry.name;
        }
    }
    return nullptr;
}

// The line: 8 data bits, even parity, 1 stop bit, so 11 bits a byte with the start bit.
// The rate is the host's choice; this one is used unless a front end asks for another.
constexpr uint32_t kBitsPerByte = 11;
constexpr uint32_t kDefaultBaudRate = 115200;
