// zuva-devsim's pseudo-terminal server: the device model (already reset) served on the
// master side of a fresh pty until a signal, the first client hang-up (once), or the
// model's link dying. Linux only.
#pragma once
#include <cstdio>

#include <cstdint>

// Boards put into a fixture and taken out (zuva-devsim --boards): called on every pass of
// the loop with the time (microseconds) and whether SIGUSR1 asked to take the board out
// now. Returns whether a board is in the fixture (without one, host bytes are lost and
// nothing answers) and sets *wakeUs to when it must be called again (kDevNever: no need).
// It may reset the model to put the next board in.
using FixtureStep = bool (*)(uint64_t nowUs, bool takeOut, uint64_t* wakeUs);

struct ServeOptions {
    const char* linkPath = nullptr; // symlink to the slave, made now and removed at the end
    FILE* transcript = nullptr;     // one line per frame, written as the run goes
    bool once = false;              // stop when the first client has closed the slave
    bool resetOnClose = false;      // reset the device whenever the last client closes
    FixtureStep fixture = nullptr;  // boards that come and go; nullptr: one board, always in
};

// Prints the slave's path (one line, flushed) on stdout once the pty is ready. Returns 0
// after a signal or a hang-up, 3 when the link died (the pty is closed then), 1 when the
// pty or the symlink cannot be set up, or when stdout or the transcript cannot be written
// (message on stderr; the server stops at the first failed write).
int ServeOnPty(const ServeOptions& options);
