// TCP over BSD sockets (Linux). Names are looked up asynchronously (getaddrinfo_a), so
// that a resolver that does not answer is given up at the deadline or on a stop, like a
// connection attempt.
#include "engine/net_platform.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int lastError = 0;

// Resolver failures are numbered above errno's range: base + the negated EAI_ code.
constexpr int kResolverErrorBase = 0x7A100000;
constexpr int kStopSliceMs = 100;

int64_t NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

int Failed(int error) {
    lastError = error;
    return -1;
}

// Waits for events on fd until deadlineMs, calling stop between slices when given.
// 1 ready (revents in *revents), 0 time out or stop, -1 on error.
int WaitFor(int fd, short events, int64_t deadlineMs, bool (*stop)(), short* revents) {
    for (;;) {
        int64_t left = deadlineMs - NowMs();
        if (left <= 0 || (stop != nullptr && stop())) {
            return 0;
        }
        int slice = static_cast<int>(stop != nullptr ? std::min<int64_t>(left, kStopSliceMs)
                                                     : std::min<int64_t>(left, INT_MAX));
        pollfd entry{fd, events, 0};
        int rc = poll(&entry, 1, slice);
        if (rc < 0 && errno != EINTR) {
            return Failed(errno);
        }
        if (rc > 0) {
            *revents = entry.revents;
            return 1;
        }
    }
}

// The addresses of host, or nullptr with lastError set. The lookup runs in the resolver's
// own thread; a lookup given up on that cannot be cancelled keeps its request (a few bytes,
// once per failed run).
addrinfo* Resolve(const char* host, const char* port, int64_t deadlineMs, bool (*stop)()) {
    auto* hints = new addrinfo{};
    hints->ai_family = AF_UNSPEC;
    hints->ai_socktype = SOCK_STREAM;
    hints->ai_flags = AI_NUMERICSERV;
    auto* request = new gaicb{};
    request->ar_name = strdup(host);
    request->ar_service = strdup(port);
    request->ar_request = hints;
    gaicb* list[1] = {request};
    int rc = getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr);
    bool gaveUp = false;
    while (rc == 0 && !gaveUp && gai_error(request) == EAI_INPROGRESS) {
        int64_t left = deadlineMs - NowMs();
        gaveUp = left <= 0 || stop();
        if (gaveUp && gai_cancel(request) != EAI_CANCELED && gai_error(request) == EAI_INPROGRESS) {
            lastError = ETIMEDOUT;
            return nullptr; // still in the resolver's hands: left to it
        }
        timespec slice{0, std::clamp<int64_t>(left, 0, kStopSliceMs) * 1000000L};
        gai_suspend(list, 1, &slice);
    }
    rc = rc != 0 ? rc : gai_error(request);
    addrinfo* found = rc == 0 ? request->ar_result : nullptr;
    if (found == nullptr) {
        // The resolver's own failures keep its words ("Name or service not known",
        // "Temporary failure in name resolution"); a lookup given up on is a time-out.
        lastError = gaveUp ? ETIMEDOUT : rc == EAI_SYSTEM ? errno : kResolverErrorBase - rc;
    }
    free(const_cast<char*>(request->ar_name));
    free(const_cast<char*>(request->ar_service));
    delete hints;
    delete request;
    return found;
}

// One address: a connected socket, or -1 with lastError set.
int ConnectOne(const addrinfo* address, int64_t deadlineMs, bool (*stop)()) {
    int fd = socket(address->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return Failed(errno);
    }
    int ready = 1;
    short revents = 0;
    if (connect(fd, address->ai_addr, address->ai_addrlen) != 0) {
        if (errno != EINPROGRESS) {
            ready = Failed(errno);
        } else if ((ready = WaitFor(fd, POLLOUT, deadlineMs, stop, &revents)) == 0) {
            ready = Failed(stop() ? EINTR : ETIMEDOUT);
        }
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (ready > 0 && (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0)) {
        ready = Failed(error != 0 ? error : errno);
    }
    if (ready <= 0) {
        close(fd);
        return -1;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

} // namespace

NetSocket NetConnect(const char* host, const char* port, uint32_t timeoutMs, bool (*stop)()) {
    const int64_t deadline = NowMs() + timeoutMs;
    addrinfo* addresses = Resolve(host, port, deadline, stop);
    int fd = -1;
    for (const addrinfo* a = addresses; a != nullptr && fd < 0; a = a->ai_next) {
        fd = ConnectOne(a, deadline, stop);
        if (lastError == EINTR) {
            break;
        }
    }
    if (addresses != nullptr) {
        freeaddrinfo(addresses);
    }
    return fd < 0 ? kNoSocket : fd;
}

int32_t NetSend(NetSocket socket, const void* bytes, uint32_t n, uint32_t timeoutMs) {
    const int fd = static_cast<int>(socket);
    const auto* p = static_cast<const uint8_t*>(bytes);
    const int64_t deadline = NowMs() + timeoutMs;
    uint32_t total = 0;
    while (total < n) {
        ssize_t sent = send(fd, p + total, n - total, MSG_NOSIGNAL);
        if (sent > 0) {
            total += static_cast<uint32_t>(sent);
            continue;
        }
        if (sent < 0 && errno != EAGAIN && errno != EINTR) {
            return Failed(errno == EPIPE ? kNetClosedByServer : errno); // what EPIPE means here
        }
        short revents = 0;
        int ready = WaitFor(fd, POLLOUT, deadline, nullptr, &revents);
        if (ready <= 0) {
            return ready < 0 ? -1 : static_cast<int32_t>(total);
        }
    }
    return static_cast<int32_t>(total);
}

int32_t NetReceive(NetSocket socket, void* buf, uint32_t n, uint32_t timeoutMs) {
    const int fd = static_cast<int>(socket);
    const int64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        ssize_t got = recv(fd, buf, n, 0);
        if (got > 0) {
            // Acknowledge at once: a server that gathers small writes (Nagle) holds the
            // rest of an answer until its first part is acknowledged, and Linux delays
            // acknowledgements by up to 40 ms. The setting does not stick, hence each time.
            int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
            return static_cast<int32_t>(got);
        }
        if (got == 0) {
            return Failed(kNetClosedByServer);
        }
        if (errno != EAGAIN && errno != EINTR) {
            return Failed(errno);
        }
        short revents = 0;
        int ready = WaitFor(fd, POLLIN, deadline, nullptr, &revents);
        if (ready <= 0) {
            return ready;
        }
    }
}

void NetClose(NetSocket socket) {
    if (socket != kNoSocket) {
        close(static_cast<int>(socket));
    }
}

int NetLastError() {
    return lastError;
}

bool NetResetByServer(int error) {
    return error == ECONNRESET;
}

void NetErrorText(int error, char* out, size_t outSize) {
    if (outSize == 0) {
        return;
    }
    if (error > kResolverErrorBase && error < kResolverErrorBase + 1000) {
        std::snprintf(out, outSize, "%s", gai_strerror(kResolverErrorBase - error));
    } else {
        std::snprintf(out, outSize, "%s", std::strerror(error));
    }
}
