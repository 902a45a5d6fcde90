// The packer's output on POSIX: see WriteFileAtomically in pack.h.
#include "tools/pack/pack.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

PackResult Fail(std::string* message, const std::string& text) {
    if (message != nullptr) {
        *message = text;
    }
    return PackIoError;
}

const char* KindOf(mode_t mode) {
    if (S_ISDIR(mode)) {
        return "a directory";
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return "a device";
    }
    if (S_ISFIFO(mode)) {
        return "a FIFO";
    }
    return S_ISSOCK(mode) ? "a socket" : "not a regular file";
}

// Where the bytes go: path itself, or the file a symbolic link names (the link stays, as
// with the shell's ">"). Only a regular file or a new name is replaced. *existing tells
// which; for an existing file *info holds its mode and owner.
PackResult ResolveTarget(const char* path, std::string* target, bool* existing, struct stat* info,
                         std::string* message) {
    *target = path;
    if (lstat(path, info) != 0) {
        *existing = false;
        return errno == ENOENT ? PackOk
                               : Fail(message, std::string("cannot write ") + path + ": " +
                                                   std::strerror(errno));
    }
    if (S_ISLNK(info->st_mode)) {
        char resolved[PATH_MAX];
        if (realpath(path, resolved) == nullptr || stat(resolved, info) != 0) {
            return Fail(message, std::string(path) +
                                     " is a symbolic link to nothing that can be written; it "
                                     "is left as it is");
        }
        *target = resolved;
    }
    if (!S_ISREG(info->st_mode)) {
        const char* is = *target != path ? " links to " : " is ";
        return Fail(message, std::string(path) + is + KindOf(info->st_mode) +
                                 ", not a regular file; it is left as it is");
    }
    *existing = true;
    return PackOk;
}

bool WriteAll(int fd, const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

PackResult WriteFileAtomically(const char* path, const Bytes& bytes, std::string* message) {
    std::string target;
    bool existing = false;
    struct stat info {};
    if (PackResult resolved = ResolveTarget(path, &target, &existing, &info, message);
        resolved != PackOk) {
        return resolved;
    }
    // A fresh name beside the target (mkstemp: created here, never an existing file or
    // link), so that the rename stays within one file system.
    std::string temporary = target + ".zuva-pack-XXXXXX";
    int fd = mkstemp(temporary.data());
    if (fd < 0) {
        return Fail(message, "cannot create a file beside " + target + ": " + std::strerror(errno));
    }
    mode_t mode = existing ? info.st_mode & 07777 : 0666 & ~[] {
        mode_t mask = umask(0);
        umask(mask);
        return mask;
    }();
    if (existing && fchown(fd, info.st_uid, info.st_gid) != 0) {
        mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID); // kept only with the owner
    }
    bool written = fchmod(fd, mode) == 0 && WriteAll(fd, bytes) && fsync(fd) == 0;
    int error = errno;
    written = close(fd) == 0 && written;
    if (written && rename(temporary.c_str(), target.c_str()) == 0) {
        return PackOk;
    }
    error = written ? errno : error;
    unlink(temporary.c_str());
    return Fail(message, std::string("cannot write ") + path + ": " + std::strerror(error));
}

bool OutputExists(const char* path) {
    struct stat info;
    return stat(path, &info) == 0 && S_ISREG(info.st_mode);
}
