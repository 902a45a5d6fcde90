// The counter file on POSIX: an fcntl record lock over the whole file (the kind Wine's
// LockFileEx takes too; flock would not exclude a Windows program under Wine).
#include "cli/counter.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr size_t kLongestText = 64;

// The whole file locked for writing; waits for another holder. 0, or errno.
int LockWhole(int fd, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET; // start 0, length 0: the whole file, however long
    while (fcntl(fd, F_SETLKW, &lock) != 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

bool Fail(std::string* error, const char* what, int code) {
    *error = std::string(what) + std::strerror(code);
    return false;
}

// The text after the lock: *number + 1, then flushed to disk. 0, or errno.
int WriteNext(int fd, uint32_t number) {
    std::string text = std::to_string(static_cast<uint64_t>(number) + 1) + "\n";
    if (pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()) ||
        ftruncate(fd, static_cast<off_t>(text.size())) != 0 || fsync(fd) != 0) {
        return errno != 0 ? errno : EIO;
    }
    return 0;
}

} // namespace

bool LockedCounterUpdate(const char* path, bool write, uint32_t* number, std::string* error) {
    int fd = open(path, O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return Fail(error, "", errno);
    }
    int code = LockWhole(fd, F_WRLCK);
    char buffer[kLongestText + 1];
    ssize_t got = code == 0 ? pread(fd, buffer, sizeof buffer, 0) : -1;
    code = code != 0 ? code : got < 0 ? errno : 0;
    bool ok = code == 0;
    if (ok && static_cast<size_t>(got) > kLongestText) {
        *error = "it is longer than one number";
        ok = false;
    } else if (ok) {
        ok = ParseSerialText(std::string(buffer, static_cast<size_t>(got)), number, error);
    } else {
        Fail(error, "", code);
    }
    if (ok && write && (code = WriteNext(fd, *number)) != 0) {
        ok = Fail(error, "it cannot be written back: ", code);
    }
    close(fd); // lets the lock go, after the data is on disk
    return ok;
}
