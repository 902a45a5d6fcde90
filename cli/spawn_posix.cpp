// Children on POSIX: fork, then exec /proc/self/exe (this very program, wherever it was
// started from). Every pipe is close-on-exec, so that no child holds a sibling's pipe and
// each pipe ends when its own child does.
#include "cli/spawn.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Child {
    pid_t pid = -1;
    int pipe[2] = {-1, -1}; // stdout, stderr: the reading ends
    bool exited = false;
    int status = 0;
};

std::vector<Child> children;

void Reap(Child& child) {
    int raw = 0;
    if (child.exited || waitpid(child.pid, &raw, WNOHANG) != child.pid) {
        return;
    }
    child.exited = true;
    child.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

} // namespace

int SpawnSelf(const std::vector<std::string>& arguments, std::string* error) {
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        *error = std::strerror(errno);
        return -1;
    }
    if (pipe2(err, O_CLOEXEC) != 0) {
        *error = std::strerror(errno);
        close(out[0]);
        close(out[1]);
        return -1;
    }
    // Built before the fork: between fork and exec only async-signal-safe calls.
    std::vector<char*> argv{const_cast<char*>("zuva-flash")};
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        if (in < 0 || dup2(in, 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0) {
            _exit(127);
        }
        execv("/proc/self/exe", argv.data());
        _exit(127);
    }
    int forkError = errno;
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        close(out[0]);
        close(err[0]);
        *error = std::strerror(forkError);
        return -1;
    }
    Child child;
    child.pid = pid;
    child.pipe[0] = out[0];
    child.pipe[1] = err[0];
    children.push_back(child);
    return static_cast<int>(children.size()) - 1;
}

void PollChildren(int timeoutMs, ChildOutput onOutput) {
    std::vector<pollfd> entries;
    std::vector<std::pair<size_t, int>> owners; // child, stream
    for (size_t i = 0; i < children.size(); ++i) {
        for (int s = 0; s < 2; ++s) {
            if (children[i].pipe[s] >= 0) {
                entries.push_back({children[i].pipe[s], POLLIN, 0});
                owners.emplace_back(i, s);
            }
        }
    }
    if (entries.empty()) {
        poll(nullptr, 0, timeoutMs); // only exits left to wait for
    } else if (poll(entries.data(), entries.size(), timeoutMs) > 0) {
        for (size_t e = 0; e < entries.size(); ++e) {
            if (entries[e].revents == 0) {
                continue;
            }
            auto [i, s] = owners[e];
            char buffer[4096];
            ssize_t got = read(entries[e].fd, buffer, sizeof buffer);
            if (got > 0) {
                onOutput(static_cast<int>(i), s == 0 ? ChildStream::Out : ChildStream::Err, buffer,
                         static_cast<size_t>(got));
            } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                close(entries[e].fd);
                children[i].pipe[s] = -1;
            }
        }
    }
    for (Child& child : children) {
        Reap(child);
    }
}

bool ChildDone(int child, int* status) {
    const Child& c = children[static_cast<size_t>(child)];
    *status = c.status;
    return c.exited && c.pipe[0] < 0 && c.pipe[1] < 0;
}

void StopChildren() {
    for (Child& child : children) {
        if (!child.exited) {
            kill(child.pid, SIGTERM);
        }
    }
}

FILE* OpenForAppend(const char* path, std::string* error) {
    FILE* file = std::fopen(path, "a");
    if (file == nullptr) {
        *error = std::strerror(errno);
    }
    return file;
}

bool LiveLinesSupported() {
    const char* term = std::getenv("TERM");
    return term == nullptr || std::strcmp(term, "dumb") != 0;
}
