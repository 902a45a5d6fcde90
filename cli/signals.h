// What the command line needs of the console, one file per platform: the interrupt key
// and whether stderr is a terminal.
#pragma once

// From now on Ctrl-C (and Ctrl-Break on Windows) no longer ends the process; it is only
// noticed by InterruptRequested, so that a run stops through the status callback.
void InstallInterruptHandler();

// True once the user has pressed Ctrl-C; stays true.
bool InterruptRequested();

// True when stderr is a terminal (the progress bar is drawn only there).
bool StderrIsTerminal();
