#include "cli/console.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

void PrepareStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            // open returns the lowest free descriptor: this one.
            open("/dev/null", O_RDONLY);
        }
    }
}

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
