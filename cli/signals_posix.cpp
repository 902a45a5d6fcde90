// Ctrl-C on POSIX: SIGINT is blocked and only looked for between read attempts. A handler
// would interrupt the link's waits (EINTR) and turn an abort into a read error; a blocked
// signal stays pending until the next poll asks for it, which happens at least every
// 100 ms while the device is awaited.
#include "cli/signals.h"

#include <csignal>
#include <ctime>
#include <unistd.h>

namespace {
bool interrupted = false;
}

void InstallInterruptHandler() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

bool InterruptRequested() {
    if (interrupted) {
        return true;
    }
    sigset_t pending;
    sigemptyset(&pending);
    if (sigpending(&pending) == 0 && sigismember(&pending, SIGINT) == 1) {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        const timespec noWait{0, 0};
        sigtimedwait(&set, nullptr, &noWait); // consume it
        interrupted = true;
    }
    return interrupted;
}

bool StderrIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}
