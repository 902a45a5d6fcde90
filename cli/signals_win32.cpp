// Ctrl-C on Windows: the console runs the handler on a thread of its own, so it only sets
// a flag; the run notices it at its next poll.
#include "cli/signals.h"

#include <atomic>
#include <cstdio>
#include <io.h>
#include <windows.h>

namespace {
std::atomic<bool> interrupted{false};

// WatchParentStop: stdin is the parent's pipe, looked at every kParentCheckMs at most
// (InterruptRequested comes several times per HEX record).
bool watchParent = false;
ULONGLONG lastParentCheck = 0;
constexpr ULONGLONG kParentCheckMs = 50;

bool ParentAskedToStop() {
    ULONGLONG now = GetTickCount64();
    if (!watchParent || now - lastParentCheck < kParentCheckMs) {
        return false;
    }
    lastParentCheck = now;
    DWORD available = 0;
    return !PeekNamedPipe(GetStdHandle(STD_INPUT_HANDLE), nullptr, 0, nullptr, &available,
                          nullptr) &&
           GetLastError() == ERROR_BROKEN_PIPE;
}

// The console window closed under a run: as SIGHUP on POSIX. The system ends the process
// once this handler returns (or after about 5 s), so the handler waits while the run
// stops, closes the port and the process exits on its own.
constexpr DWORD kCloseGraceMs = 4000;

BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        interrupted = true;
        return TRUE; // handled: the process goes on and ends the run itself
    }
    if (event == CTRL_CLOSE_EVENT) {
        interrupted = true;
        Sleep(kCloseGraceMs);
        return TRUE;
    }
    return FALSE;
}
} // namespace

void InstallInterruptHandler() {
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool InterruptRequested() {
    if (!interrupted && ParentAskedToStop()) {
        interrupted = true;
    }
    return interrupted;
}

void WatchParentStop() {
    watchParent = true;
}

bool StderrIsTerminal() {
    return _isatty(_fileno(stderr)) != 0;
}

bool StdoutGone() {
    return false;
}
