#include "tools/pack/pack.h"

#include <windows.h>

// The C library's rename() refuses an existing target on Windows; MoveFileEx replaces it
// in one step (a rename within the volume, since the temporary file sits beside it).
int MoveIntoPlace(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
