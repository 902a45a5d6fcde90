#include "tools/pack/pack.h"

#include <cstdio>

// rename() replaces an existing target atomically on POSIX.
int MoveIntoPlace(const char* from, const char* to) {
    return rename(from, to) == 0 ? 0 : 1;
}
