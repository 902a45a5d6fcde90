// What a gang run needs of the system, one file per platform: this program started again
// once per port with its stdout and stderr coming back through pipes, a way to ask those
// processes to stop, a log file opened for appending, and the cursor moves that keep one
// live line per port on a terminal.
#pragma once
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

enum class ChildStream { Out, Err };
using ChildOutput = void (*)(int child, ChildStream stream, const char* data, size_t size);

// Starts this program with arguments (those after argv[0]); its stdin is empty. The
// child's number (0, 1, ... in the order started), or -1 with the reason in *error.
int SpawnSelf(const std::vector<std::string>& arguments, std::string* error);

// Waits up to timeoutMs for output of any child and hands over whatever came.
void PollChildren(int timeoutMs, ChildOutput onOutput);

// True once the child has exited and all of its output was handed over; *status is its
// exit status (128 + N when signal N ended it).
bool ChildDone(int child, int* status);

// Asks every child still running to stop as after Ctrl-C: port closed and released.
void StopChildren();

// path (UTF-8) opened for appending, or nullptr with the reason in *error.
FILE* OpenForAppend(const char* path, std::string* error);

// True when stderr takes cursor moves, so that several lines can be redrawn in place.
bool LiveLinesSupported();
