// Ctrl-C on Windows: the console runs the handler on a thread of its own, so it only sets
// a flag; the run notices it at its next poll.
#include "cli/signals.h"

#include <atomic>
#include <cstdio>
#include <io.h>
#include <windows.h>

namespace {
std::atomic<bool> interrupted{false};

BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        interrupted = true;
        return TRUE; // handled: the process goes on and ends the run itself
    }
    return FALSE;
}
} // namespace

void InstallInterruptHandler() {
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool InterruptRequested() {
    return interrupted;
}

bool StderrIsTerminal() {
    return _isatty(_fileno(stderr)) != 0;
}

bool StdoutGone() {
    return false;
}
