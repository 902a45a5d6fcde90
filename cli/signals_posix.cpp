// Ctrl-C on POSIX: a handler that only sets a flag; the run notices it at its next poll,
// at least every 100 ms while the device is awaited. SA_RESTART and the serial link's own
// retry on EINTR keep the signal from turning a wait into a read error, so the abort
// takes the same path as closing the window. Checking the flag costs no system call,
// which matters at four checks per HEX record. SIGTERM (kill, a service manager) and
// SIGHUP (the terminal closed) take the same path: killed outright, a run would leave the
// port's exclusive mark behind on a pty and the device half-programmed without a word.
#include "cli/signals.h"

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {
volatile std::sig_atomic_t interrupted = 0;

void OnInterrupt(int) {
    interrupted = 1;
}
} // namespace

void InstallInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // Under nohup SIGHUP comes ignored, and the run must go on when the terminal closes.
    struct sigaction hangUp {};
    if (sigaction(SIGHUP, nullptr, &hangUp) != 0 || hangUp.sa_handler != SIG_IGN) {
        sigaction(SIGHUP, &action, nullptr);
    }
    std::signal(SIGPIPE, SIG_IGN);
}

bool InterruptRequested() {
    return interrupted != 0;
}

void WatchParentStop() {}

bool StderrIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

bool StdoutGone() {
    int flags = fcntl(STDOUT_FILENO, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) {
        return true;
    }
    pollfd entry{STDOUT_FILENO, 0, 0};
    return poll(&entry, 1, 0) == 1 && (entry.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
}
