#include "console/console.h"

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
