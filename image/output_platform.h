// What image/image_out.cpp needs of the operating system: one file per platform
// (output_posix.cpp, output_win32.cpp). Names are UTF-8.
#pragma once
#include "image/image_out.h"

#include <cstdio>

struct OutputTemp {
    FILE* file = nullptr;
    char* name = nullptr;   // malloc'd: the temporary file beside the target
    char* target = nullptr; // malloc'd: the file the rename replaces (a link's target)
};

// Shared by both platforms: a malloc'd copy of text with suffix behind it (nullptr when
// memory runs short), and temp's names freed and cleared.
char* CopyOutputName(const char* text, const char* suffix = "");
void FreeOutputNames(OutputTemp* temp);

// The target as CheckOutputPath describes it.
OutputResult CheckOutputTarget(const char* path, int* error);

// A new file beside path, open for binary writing. false with *error when it cannot be made.
bool CreateOutputTemp(const char* path, OutputTemp* temp, int* error);

// Flushes and closes the temporary file and renames it over the target. false with *error;
// the temporary file is removed then. Frees temp's names either way.
bool CommitOutputTemp(OutputTemp* temp, int* error);

// The system's error number of the last failed write (errno, GetLastError).
int LastOutputError();

// Closes and removes the temporary file; frees temp's names.
void DiscardOutputTemp(OutputTemp* temp);
