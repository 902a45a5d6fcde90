// What the command line needs of the console, one file per platform: the interrupt key
// (and the signals that mean the same), whether stderr is a terminal, and whether stdout
// can still take the result.
#pragma once

// From now on Ctrl-C (and Ctrl-Break on Windows; SIGTERM and SIGHUP on POSIX) no longer
// ends the process; it is only noticed by InterruptRequested, so that a run stops through
// the status callback, closes the port and releases it. POSIX: SIGPIPE is ignored too, so
// that a reader that goes away turns into a failed write the program sees.
void InstallInterruptHandler();

// True once the user has pressed Ctrl-C (or a stop signal came); stays true.
bool InterruptRequested();

// In a gang member: from now on the parent's request to stop counts as Ctrl-C. POSIX: the
// parent sends SIGTERM, nothing more is needed. Windows: the parent closes the pipe that
// is this process's stdin (cli/spawn.h).
void WatchParentStop();

// True when stderr is a terminal (the progress bar is drawn only there).
bool StderrIsTerminal();

// True when nothing written to stdout can arrive any more: POSIX: a pipe or socket whose
// reader has gone, a hung-up terminal, or a descriptor that cannot be written (closed when
// the program started). One poll, no wait. Windows: always false (a lost stdout shows
// only when the result is written).
bool StdoutGone();
