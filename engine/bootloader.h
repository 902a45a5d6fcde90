// Bootloader command set: the STM32 system-memory bootloader's USART protocol (AN3155).
// Every command returns true when it was carried out and false when a step failed (the
// first failing step ends it): the engine's convention, as in engine/serial.h.
#pragma once
#include "device/protocol.h"

#include <cstdint>

constexpr int32_t kAnswerIdleLimit = 5; // empty read attempts allowed per answer
constexpr uint32_t kSyncPauseMs = 100;  // before every sync byte

[[nodiscard]] bool BlSync();
[[nodiscard]] bool BlWaitAck();
[[nodiscard]] bool BlGetId();
// The same; productIdFound receives the product ID the reply carried, accepted or not, or
// 0 when no reply of the right shape came. wholeFamily: every row of device/chips.h is
// accepted, not only the low-, medium- and high-density chips.
[[nodiscard]] bool BlGetId(uint16_t* productIdFound, bool wholeFamily = false);
[[nodiscard]] bool BlReadoutUnprotect();
[[nodiscard]] bool BlWriteUnprotect();
[[nodiscard]] bool BlEraseAll();
// Erases the listed pages (numbers 0 to 255, count 1 to 255: the frame names a page in one
// byte, and a count byte of 0xFF would ask for the global erase).
[[nodiscard]] bool BlErasePages(const uint8_t* pages, uint32_t count);
// len 1 to 256 is what the protocol can express; it is not tested (0 goes out as 0xFF).
[[nodiscard]] bool BlWriteMemory(uint32_t address, const uint8_t* data, uint32_t len);
// After the last block: one read constant for whatever the chip still sends, so that the
// last block's own answer is read before the next step even when a stray byte had put
// the link a step ahead. false when a NACK came: the block was refused.
[[nodiscard]] bool BlSettle();
[[nodiscard]] bool BlWriteProtect();
[[nodiscard]] bool BlReadoutProtect();
// Reads len bytes (1 to 256) from address into buf.
[[nodiscard]] bool BlReadMemory(uint32_t address, uint8_t* buf, uint32_t len);
// The same; *refused is true when the chip answered the command itself with NACK, as it
// does under read-out protection (and false for any other failure).
[[nodiscard]] bool BlReadMemory(uint32_t address, uint8_t* buf, uint32_t len, bool* refused);
// Starts the code at address; the bootloader answers no more afterwards.
[[nodiscard]] bool BlGo(uint32_t address);

// Makes contact with a bootloader in any state a run can leave it in: waiting for its
// sync byte, synchronised, or inside a command. true when it listens for a command. Sends
// nothing further once the status callback asked to stop.
[[nodiscard]] bool BlSyncOrResume();

// seed XOR each of the n bytes; n = 0 gives the seed.
uint8_t XorChecksum(const uint8_t* bytes, uint32_t n, uint8_t seed);
