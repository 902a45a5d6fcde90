// The production line on one port (--loop, in a gang member): program a board, wait until
// it has been taken out (its bootloader has not answered for a second), wait until the
// next one answers, program it; until --count boards, a stop, or the port's end.
//
// Waiting sends nothing but the sync byte, five times a second. Any bootloader answers
// it: one waiting for its sync byte with ACK; a synchronised one takes a lone 0x7F as the
// first byte of a command pair and answers the second with NACK (a bad pair), so a board
// in the fixture answers at least every other poll, and a silence of a second means the
// fixture is empty. A board that runs its own firmware (after --go, or BOOT0 low) does
// not answer and counts as gone; it is never programmed twice either way.
//
// Each board's end goes to stdout as the record "@board STATUS SECONDS" after its result
// line; each wait begins with "@waiting" (cli/gang.h reads them).
#pragma once
#include "engine/program.h"

#include <cstdint>
#include <string>

// Runs one board: the result line on stdout and the exit status of its run (the class, 130
// after an interrupt). *endLine set: the board was not run, since the line cannot go on
// (no serial number can be taken); the status is then the port's.
using BoardRun = int (*)(bool* endLine);

struct LoopSetup {
    std::string portPath;
    LineSettings line;
    uint32_t count = 0; // boards to program; 0: until stopped
    // With BOOT0 on a modem line, it is held high while waiting, so that a board put in
    // starts in its bootloader, while the one just programmed runs its firmware (reset
    // is left alone) and stays silent: it is not taken for a new board.
    BootWiring boot;
};

// The loop. 0 when it ended as asked (the count, or a stop while waiting, or after a
// board that was interrupted); otherwise the status that ended the port: the class of a
// port that went away (its cause told on stderr), or a board run's status that must end
// the loop (no serial number to give).
int RunBoardLoop(const LoopSetup& setup, BoardRun runBoard);

// What waiting found.
enum class Presence { Changed, Stopped, PortLost };

// Polls the port (open) until a board answers (wantPresent) or until none has answered
// for kGoneSeconds. Stopped when interrupted; PortLost when the port failed.
Presence AwaitBoard(bool wantPresent);

constexpr double kGoneSeconds = 1.0;
constexpr uint32_t kPollPeriodMs = 200;
