// Bootloader command set: the STM32 system-memory bootloader's USART protocol (AN3155).
// Every command returns 0 for success and 1 for failure; the first failing step ends it.
#pragma once
#include "device/protocol.h"

#include <cstdint>

constexpr int32_t kAnswerIdleLimit = 5; // empty read attempts allowed per answer
constexpr uint32_t kSyncPauseMs = 100;  // before every sync byte

int BlSync();
int BlWaitAck();
int BlGetId();
// The same; productIdFound receives the product ID the reply carried, accepted or not, or
// 0 when no reply of the right shape came.
int BlGetId(uint16_t* productIdFound);
int BlReadoutUnprotect();
int BlWriteUnprotect();
int BlEraseAll();
// len 1 to 256 is what the protocol can express; it is not tested (0 goes out as 0xFF).
int BlWriteMemory(uint32_t address, const uint8_t* data, uint32_t len);
int BlWriteProtect();
int BlReadoutProtect();
// Reads len bytes (1 to 256) from address into buf.
int BlReadMemory(uint32_t address, uint8_t* buf, uint32_t len);
// Starts the code at address; the bootloader answers no more afterwards.
int BlGo(uint32_t address);

// Makes contact with a bootloader in any state a run can leave it in: waiting for its
// sync byte, synchronised, or inside a command. 0 when it listens for a command. Sends
// nothing further once the status callback asked to stop.
int BlSyncOrResume();

// seed XOR each of the n bytes; n = 0 gives the seed.
uint8_t XorChecksum(const uint8_t* bytes, uint32_t n, uint8_t seed);
