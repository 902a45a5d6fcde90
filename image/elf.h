// ELF reader for linked firmware: 32-bit, little-endian, ARM, an executable. Every
// loadable segment (PT_LOAD) with file bytes is handed on at its physical (load) address,
// so that initialised data that runs from RAM goes where the startup code copies it from;
// memory-only bytes (.bss) are not. Sections and symbols are not read. Every offset and
// size in the file is checked against the file's size before it is used.
#pragma once
#include "image/hex.h"

// Where and why a file was refused.
struct ElfProblem {
    int segment = -1;          // the program header's index (as readelf numbers them), or -1
    uint32_t address = 0;      // the segment's load address, when segment >= 0
    const char* why = nullptr; // "not a 32-bit ELF file", ...
};

// Hands each loadable segment's file bytes to visit (HexRecord: load address, bytes,
// length): Ok when the file was read whole, Damaged when it is refused (problem says why,
// and which segment), Stopped when the visitor stopped it (problem names the segment).
ReadResult ReadElfImage(const uint8_t* file, size_t size, HexRecordVisitor visit, void* context,
                        ElfProblem* problem);
