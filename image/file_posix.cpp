// POSIX: the path is opened without blocking, so that a FIFO without a writer cannot hang
// the open, and then checked to be a regular file before anything reads it.
#include "image/input.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
int openError = 0;
} // namespace

int InputOpenError() {
    return openError;
}

InputResult OpenInputFile(const char* path, FILE** file) {
    *file = nullptr;
    openError = 0;
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        openError = errno;
        return InputCantOpen;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return InputNotRegular;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd);
        return InputCantOpen;
    }
    *file = fdopen(fd, "rb");
    if (*file == nullptr) {
        close(fd);
        return InputCantOpen;
    }
    return InputOk;
}
