// Device model: a virtual STM32F10x system-memory bootloader on USART1 (AN3155 protocol).
//
// A pure state machine with one instance per process: bytes from the host go in with the
// time they were handed over, answer bytes come out once their time has come. The caller
// owns the clock (microseconds, any origin, never going backwards); the model never
// waits, sleeps, prints or touches the operating system.
//
// Time. With timing off every answer is ready at the time of the byte that caused it.
// With timing on, both wire directions are paced at the host's rate (the default rate until
// it sets another; 8E1, 11 bits a byte), FLASH
// work takes its datasheet time, and a device that resets is deaf for its start-up time:
// a host byte arrives on the wire one byte time after it was handed over (or after the
// byte before it), the device handles it once it is not busy, and each answer byte is
// ready one byte time after it started. Bytes that arrive while the device is erasing
// for a command that resets it, or while it starts up, are lost, as on the real part;
// of the bytes that arrive while it is busy otherwise (programming, erasing, about to
// answer) the first waits in the receiver and the rest overrun it and are lost.
//
// The model handles each host byte as soon as it is fed, stamped with its arrival time:
// later bytes can only arrive later, so the answers and their times are the same as if
// it waited, and a server need only wake for answer bytes. The state, FLASH and
// transcript therefore already show the effect of bytes still "on the wire".
//
// Typical loop (server or in-process fake):
//   DevReset(config);
//   DevFeed(bytes, n, now);                   // whatever the host wrote
//   n = DevTakeOutput(buf, sizeof buf, now);  // answer bytes due by now
//   next = DevNextEventUs();                  // when to look again (kDevNever: idle)
//   if (DevGetState().linkDead && now >= DevGetState().linkDeadAtUs) ... // close
#pragma once
#include "device/chips.h"
#include "device/protocol.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr uint32_t kDevRamBase = 0x20000000;
// The bootloader keeps the first 512 bytes of RAM for itself.
constexpr uint32_t kDevRamUserStart = 0x20000200;
constexpr uint32_t kDevSectorCount = 32; // option bytes WRP0..WRP3
// The device's own facts in system memory, read with Read Memory (not under read-out
// protection): the FLASH size in KiB (16 bits) and the 96-bit unique ID eight bytes on.
constexpr uint32_t kDevInfoBase = kFlashSizeRegister;
constexpr uint32_t kDevInfoSize = 32;
constexpr uint32_t kDevUidOffset = kUniqueIdAddress - kFlashSizeRegister;
constexpr uint32_t kDevUidSize = kUniqueIdSize;
constexpr uint8_t kDevBootloaderVersion = 0x22;
constexpr uint64_t kDevNever = UINT64_MAX;

// Timing mode figures, in nanoseconds (F103 datasheet; erase times are 20 to 40 ms, the
// model takes the middle).
// One byte on the wire at the default rate, until the host sets another.
constexpr uint64_t kDevByteNs = kBitsPerByte * 1000000000ull / kDefaultBaudRate;
constexpr uint64_t kDevHalfWordNs = 52500;       // one half-word programmed
constexpr uint64_t kDevEraseNs = 30000000;       // one page erase, or a mass erase
constexpr uint64_t kDevOptionBytesNs = 31000000; // option bytes: erase, then rewrite
constexpr uint64_t kDevStartupNs = 1200000;      // reset until the bootloader listens
constexpr uint64_t kDevSyncAckNs = 160000;       // end of 0x7F to end of its ACK
constexpr uint64_t kDevAnswerNs = 10000;         // end of a frame to the start of its answer

// Faults can also target the sync byte; no command uses this code.
constexpr uint8_t kDevFaultSync = kSyncByte;

// One per row of kChips (device/chips.h), in its order.
enum class DevDensity { Low, Medium, High, Connectivity, Value, ValueHigh, Xl };
enum class DevFaultKind { Nack, Silent, ExtraAck };
// What a FLASH write whose address or byte count is not a multiple of 4 does. Drop is the
// worst that the vendor's notes and field reports allow, so it is the default: the write
// is acknowledged and only whole words from an aligned start are programmed (an unaligned
// start programs nothing). Nack refuses such a write; Accept programs every byte.
enum class DevUnaligned { Drop, Nack, Accept };

// A scripted misbehaviour. `answer` counts the command's answers from 1: for Write Memory
// 1 = command accepted, 2 = address accepted, 3 = block programmed; for Erase, Write
// Protect and the (un)protect commands 2 is the "done" answer; for Get, Get Version and
// Get ID 2 is the data with its closing ACK. Nack sends 0x1F in place of that answer,
// Silent sends nothing; either way the command is dropped without effect and the device
// waits for the next command. ExtraAck sends that answer as usual and one ACK more that
// nobody asked for right after it (a doubled answer), and goes on.
struct DevFault {
    uint8_t command = 0;     // BlCommand code, or kDevFaultSync
    uint32_t occurrence = 0; // 1 = the first time the command comes; 0 = every time
    DevFaultKind kind = DevFaultKind::Nack;
    uint8_t answer = 1;
};

struct DevConfig {
    DevDensity density = DevDensity::Medium;
    uint32_t flashSize = 0; // bytes; 0 = the density's largest (device/chips.h)
    uint16_t productId = 0; // 0 = the density's own (device/chips.h)
    bool timing = false;
    bool readoutProtected = false;
    uint32_t writeProtected = 0;     // bit s set: sector s (4 KiB) write-protected
    std::vector<uint8_t> flashImage; // old contents from the FLASH base; rest erased
    // The unique ID; empty: one made from the product ID and FLASH size, the same every run.
    std::vector<uint8_t> uid;
    DevUnaligned unaligned = DevUnaligned::Drop;
    bool eraseProtectedNack = false; // Erase touching a protected page is refused
    uint32_t dropWrite = 0;       // Write Memory N is acknowledged and programs nothing (0 = none)
    std::vector<DevFault> faults; // first matching fault wins
    uint64_t dieAfterBytes = 0;   // the link dies with host byte number N (0 = never)
    uint32_t dieInBlock = 0;      // ... or halfway through the data of Write Memory N
};

struct DevCounters {
    uint32_t syncs = 0;    // sync bytes acknowledged
    uint32_t resets = 0;   // after commands or from outside (not power-on)
    uint32_t commands = 0; // well-formed command pairs received
    uint32_t nacks = 0;    // NACK bytes sent
    uint32_t blocksWritten = 0;
    uint64_t bytesWritten = 0;
    uint32_t failedWrites = 0;
    uint32_t unalignedWrites = 0; // FLASH writes with address or count not a multiple of 4
    uint32_t globalErases = 0;    // Erase 0xFF 0x00 and the mass erase of Readout Unprotect
    uint32_t pagesErased = 0;     // by page-list Erase
    uint64_t bytesIn = 0;         // host bytes that reached the device
    uint64_t bytesOut = 0;        // answer bytes queued
};

struct DevState {
    bool synced = false;
    bool readoutProtected = false;
    uint32_t writeProtected = 0;
    bool running = false;      // jumped to user code (Go): deaf until DevReset
    bool linkDead = false;     // the link dies (fault): nothing more in or out
    uint64_t linkDeadAtUs = 0; // ... from this time on
    uint16_t productId = 0;
    uint32_t flashSize = 0;
    uint32_t pageSize = 0;
    uint32_t ramSize = 0;
    DevCounters counters;
};

// One transcript line: a frame in either direction, or a device event.
enum class DevDir { HostToDevice, DeviceToHost, Event };
struct DevFrame {
    uint64_t timeUs = 0; // last byte on the wire (frames) or when it happened (events)
    DevDir dir = DevDir::Event;
    std::vector<uint8_t> bytes;
    std::string note;
};

// Power-on with this configuration, started up by time 0: FLASH and options from config, RAM zero,
// not synchronised, empty queues, counters and transcript cleared. Returns 1 (and changes
// nothing) when the FLASH size is not a whole number of pages, lies outside the family's
// sizes, or the old contents do not fit; else 0.
int DevReset(const DevConfig& config);

// The host handed over n bytes at nowUs.
void DevFeed(const uint8_t* bytes, size_t n, uint64_t nowUs);

// Moves up to max answer bytes whose time has come by nowUs into buf. Returns the count.
size_t DevTakeOutput(uint8_t* buf, size_t max, uint64_t nowUs);

// When the next answer byte is ready (microseconds, rounded up); kDevNever when none is
// queued.
uint64_t DevNextEventUs();

// The host set its line to this rate: from now on both wire directions are paced at it
// (11 bits a byte), and a change shows in the transcript. Ignored when 0.
void DevSetBaudRate(uint32_t baud);

// A reset from outside (the reset pin, as a board wired to the port's DTR line gets when
// the port opens or closes): answers not yet sent are dropped, the device starts up again
// and must be synchronised; FLASH, options and RAM stay.
void DevSystemReset(uint64_t nowUs);

DevState DevGetState();
const DevConfig& DevGetConfig();
const std::vector<uint8_t>& DevFlash();
const std::vector<uint8_t>& DevRam();
const std::vector<DevFrame>& DevTranscript();

// "12.345 ms H>D 31 CE  Write Memory" (frames) or "12.345 ms ---  reset" (events).
std::string DevFormatFrame(const DevFrame& frame);
// One line: protection state, blocks written, erases and the other counters.
std::string DevSummary();

// Command names as used on command lines: sync, get, get-version, get-id, read, go,
// write, erase, write-protect, write-unprotect, readout-protect, readout-unprotect, or a
// code such as 0x31. Returns 0 and stores the code, or 1.
int DevParseCommand(const char* name, uint8_t* code);
// "CMD[@N][:ANSWER]" (N 0 or absent = every time, ANSWER defaults to 1). 0 or 1.
int DevParseFault(const char* text, DevFaultKind kind, DevFault* fault);
// "drop", "nack", "accept". 0 or 1.
int DevParseUnaligned(const char* text, DevUnaligned* rule);
// 24 hex digits (spaces and colons between bytes allowed): a unique ID. 0 or 1.
int DevParseUid(const char* text, std::vector<uint8_t>* uid);
// "low", "medium", "high", "connectivity", "value", "value-high", "xl". 0 or 1.
int DevParseDensity(const char* text, DevDensity* density);
// The name of a command code ("Write Memory"), or "unknown".
const char* DevCommandName(uint8_t code);
