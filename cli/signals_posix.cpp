// Ctrl-C on POSIX: a handler that only sets a flag; the run notices it at its next poll,
// at least every 100 ms while the device is awaited. SA_RESTART and the serial link's own
// retry on EINTR keep the signal from turning a wait into a read error, so the abort
// takes the same path as closing the window. Checking the flag costs no system call,
// which matters at four checks per HEX record.
#include "cli/signals.h"

#include <csignal>
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
}

bool InterruptRequested() {
    return interrupted != 0;
}

bool StderrIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}
