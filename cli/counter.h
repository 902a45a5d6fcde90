// Serial numbers from a counter file that several processes, on Linux and under Wine, share:
// the file holds the next number in decimal on one line. A number is taken under an
// exclusive record lock on the file (fcntl on POSIX; LockFileEx on Windows, which Wine
// maps to the same fcntl locks), the file is rewritten with the number after it and
// flushed to disk before the lock is let go, so that no number is ever handed out twice,
// across ports, processes and restarts. One file per platform does the locking and I/O.
#pragma once
#include <cstdint>
#include <string>

// The file's number, read under the lock and not taken; the file must also be writable.
// The checks before a run. true, or false with the cause in *error.
bool PeekSerial(const char* path, uint32_t* next, std::string* error);

// Takes the file's number: on true *number is this board's and the file, on disk, holds
// the one after it. false with the cause in *error; nothing is taken then.
bool TakeSerial(const char* path, uint32_t* number, std::string* error);

// The counter text's number: decimal digits, blanks and one line end around them.
// false with the reason in *error (a number past 4294967295 among them).
bool ParseSerialText(const std::string& text, uint32_t* number, std::string* error);

// What each platform file provides: the file opened and locked exclusively, its whole
// text, and (when write is true and *number could be parsed) the text of *number + 1
// written in its place and flushed to disk, then the lock let go. true, or false with the
// system's reason in *error.
bool LockedCounterUpdate(const char* path, bool write, uint32_t* number, std::string* error);
