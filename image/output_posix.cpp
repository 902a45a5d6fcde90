// Image output on POSIX: see output_platform.h.
#include "image/output_platform.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The folder of path ("." for a bare name).
std::string FolderOf(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash == nullptr ? "." : slash == path ? "/" : std::string(path, slash);
}

} // namespace

OutputResult CheckOutputTarget(const char* path, int* error) {
    struct stat info {};
    if (stat(path, &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            *error = EISDIR;
            return OutputNotRegular;
        }
        if (!S_ISREG(info.st_mode)) {
            return OutputNotRegular;
        }
    } else if (errno != ENOENT) {
        *error = errno;
        return OutputCantWrite;
    }
    // The new file is made in the folder: it must take one.
    if (access(FolderOf(path).c_str(), W_OK | X_OK) != 0) {
        *error = errno;
        return OutputCantWrite;
    }
    return OutputOk;
}

bool CreateOutputTemp(const char* path, OutputTemp* temp, int* error) {
    // A link is followed: the file it names is replaced and the link stays.
    char resolved[PATH_MAX];
    struct stat info {};
    const bool link = lstat(path, &info) == 0 && S_ISLNK(info.st_mode);
    temp->target = CopyOutputName(link && realpath(path, resolved) != nullptr ? resolved : path);
    std::string name = std::string(temp->target != nullptr ? temp->target : path) + ".zuva-XXXXXX";
    temp->name = CopyOutputName(name.c_str());
    const int fd = temp->name != nullptr && temp->target != nullptr ? mkstemp(temp->name) : -1;
    if (fd < 0 || (temp->file = fdopen(fd, "wb")) == nullptr) {
        *error = fd < 0 && temp->name == nullptr ? ENOMEM : errno;
        if (fd >= 0) {
            close(fd);
            unlink(temp->name);
        }
        FreeOutputNames(temp);
        return false;
    }
    // An existing file keeps its mode; a new one gets what the umask leaves.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, stat(path, &info) == 0 ? info.st_mode & 0777 : 0666 & ~mask);
    return true;
}

bool CommitOutputTemp(OutputTemp* temp, int* error) {
    bool done = std::fflush(temp->file) == 0 && fsync(fileno(temp->file)) == 0;
    *error = errno;
    done = std::fclose(temp->file) == 0 && done;
    temp->file = nullptr;
    if (done && rename(temp->name, temp->target) == 0) {
        FreeOutputNames(temp);
        return true;
    }
    *error = done ? errno : *error;
    unlink(temp->name);
    FreeOutputNames(temp);
    return false;
}

void DiscardOutputTemp(OutputTemp* temp) {
    if (temp->file != nullptr) {
        std::fclose(temp->file);
        unlink(temp->name);
    }
    temp->file = nullptr;
    FreeOutputNames(temp);
}

int LastOutputError() {
    return errno;
}
