// The console pieces that are the same on every platform.
#include "console/console.h"

#include <cerrno>
#include <cstring>

int FinishStdout(const char* tool) {
    errno = 0;
    if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) {
        return 0;
    }
    // errno is the last failed write's; a closed pipe leaves EPIPE (SIGPIPE ignored).
    if (errno != EPIPE) {
        std::fprintf(stderr, "%s: cannot write to stdout: %s\n", tool,
                     errno != 0 ? std::strerror(errno) : "write error");
    }
    return 1;
}
