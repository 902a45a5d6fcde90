// TCP over Winsock (ws2_32, a system DLL; only the command line links it, the window
// stays without). Sockets are non-blocking, every wait is a select() with a deadline.
// Name lookups run in a thread of their own, so that a resolver that does not answer is
// given up at the deadline or on a stop, like a connection attempt.
#include "engine/net_platform.h"

#include "engine/serial_platform.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>

namespace {

int lastError = 0;
bool started = false;
constexpr DWORD kStopSliceMs = 100;

int Failed(int error) {
    lastError = error;
    return -1;
}

// Waits until s is readable (or, for write, writable or failed) or deadline passes, calling
// stop between slices when given. 1 ready, 0 time out or stop, -1 on error.
int WaitFor(SOCKET s, bool write, DWORD deadline, bool (*stop)()) {
    for (;;) {
        auto left = static_cast<LONG>(deadline - GetTickCount());
        if (left <= 0 || (stop != nullptr && stop())) {
            return 0;
        }
        DWORD slice = stop != nullptr ? std::min<DWORD>(left, kStopSliceMs) : left;
        fd_set ready;
        fd_set failed;
        FD_ZERO(&ready);
        FD_ZERO(&failed);
        FD_SET(s, &ready);
        FD_SET(s, &failed);
        timeval tv{static_cast<long>(slice / 1000), static_cast<long>(slice % 1000) * 1000};
        int rc = select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &tv);
        if (rc == SOCKET_ERROR) {
            return Failed(WSAGetLastError());
        }
        if (rc > 0) {
            return 1;
        }
    }
}

// One lookup, shared by the thread that makes it and the caller that waits for it; whoever
// lets go of it last frees it (a caller that gave up leaves it to the thread).
struct Lookup {
    char host[256];
    char port[8];
    addrinfo* result = nullptr;
    int error = 0;
    LONG holders = 2;
};

void Release(Lookup* lookup) {
    if (InterlockedDecrement(&lookup->holders) == 0) {
        if (lookup->result != nullptr) {
            freeaddrinfo(lookup->result);
        }
        delete lookup;
    }
}

DWORD WINAPI LookUp(void* parameter) {
    auto* lookup = static_cast<Lookup*>(parameter);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    lookup->error = getaddrinfo(lookup->host, lookup->port, &hints, &lookup->result);
    Release(lookup);
    return 0;
}

// The addresses of host, or nullptr with lastError set.
addrinfo* Resolve(const char* host, const char* port, DWORD deadline, bool (*stop)()) {
    auto* lookup = new Lookup;
    lstrcpynA(lookup->host, host, sizeof lookup->host);
    lstrcpynA(lookup->port, port, sizeof lookup->port);
    HANDLE thread = CreateThread(nullptr, 0, LookUp, lookup, 0, nullptr);
    if (thread == nullptr) {
        lastError = static_cast<int>(GetLastError());
        delete lookup;
        return nullptr;
    }
    DWORD waited = WAIT_TIMEOUT;
    for (auto left = static_cast<LONG>(deadline - GetTickCount());
         waited == WAIT_TIMEOUT && left > 0 && !stop();
         left = static_cast<LONG>(deadline - GetTickCount())) {
        waited = WaitForSingleObject(thread, std::min<DWORD>(left, kStopSliceMs));
    }
    CloseHandle(thread);
    addrinfo* found = nullptr;
    if (waited != WAIT_OBJECT_0) {
        lastError = WSAETIMEDOUT; // the thread finishes the lookup and frees it
    } else if (lookup->error != 0) {
        lastError = lookup->error; // a Winsock code (WSAHOST_NOT_FOUND ...)
    } else {
        found = lookup->result;
        lookup->result = nullptr;
    }
    Release(lookup);
    return found;
}

SOCKET ConnectOne(const addrinfo* address, DWORD deadline, bool (*stop)()) {
    SOCKET s = socket(address->ai_family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        Failed(WSAGetLastError());
        return s;
    }
    u_long nonBlocking = 1;
    int ready = ioctlsocket(s, FIONBIO, &nonBlocking) == 0 ? 1 : Failed(WSAGetLastError());
    if (ready > 0 && connect(s, address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0) {
        if (WSAGetLastError() != WSAEWOULDBLOCK) {
            ready = Failed(WSAGetLastError());
        } else if ((ready = WaitFor(s, true, deadline, stop)) == 0) {
            ready = Failed(stop() ? WSAEINTR : WSAETIMEDOUT);
        }
    }
    int error = 0;
    int size = sizeof error;
    if (ready > 0 &&
        (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0 ||
         error != 0)) {
        ready = Failed(error != 0 ? error : WSAGetLastError());
    }
    if (ready <= 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    return s;
}

} // namespace

NetSocket NetConnect(const char* host, const char* port, uint32_t timeoutMs, bool (*stop)()) {
    WSADATA data;
    if (!started && WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        lastError = WSASYSNOTREADY;
        return kNoSocket;
    }
    started = true;
    const DWORD deadline = GetTickCount() + timeoutMs;
    addrinfo* addresses = Resolve(host, port, deadline, stop);
    if (addresses == nullptr) {
        return kNoSocket;
    }
    SOCKET s = INVALID_SOCKET;
    for (const addrinfo* a = addresses; a != nullptr && s == INVALID_SOCKET; a = a->ai_next) {
        s = ConnectOne(a, deadline, stop);
        if (lastError == WSAEINTR) {
            break;
        }
    }
    freeaddrinfo(addresses);
    return s == INVALID_SOCKET ? kNoSocket : static_cast<NetSocket>(s);
}

int32_t NetSend(NetSocket socket, const void* bytes, uint32_t n, uint32_t timeoutMs) {
    const auto s = static_cast<SOCKET>(socket);
    const char* p = static_cast<const char*>(bytes);
    const DWORD deadline = GetTickCount() + timeoutMs;
    uint32_t total = 0;
    while (total < n) {
        int sent = send(s, p + total, static_cast<int>(n - total), 0);
        if (sent > 0) {
            total += static_cast<uint32_t>(sent);
            continue;
        }
        if (sent == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK) {
            return Failed(WSAGetLastError());
        }
        int ready = WaitFor(s, true, deadline, nullptr);
        if (ready <= 0) {
            return ready < 0 ? -1 : static_cast<int32_t>(total);
        }
    }
    return static_cast<int32_t>(total);
}

int32_t NetReceive(NetSocket socket, void* buf, uint32_t n, uint32_t timeoutMs) {
    const auto s = static_cast<SOCKET>(socket);
    const DWORD deadline = GetTickCount() + timeoutMs;
    for (;;) {
        int got = recv(s, static_cast<char*>(buf), static_cast<int>(n), 0);
        if (got > 0) {
            return got;
        }
        if (got == 0) {
            return Failed(kNetClosedByServer);
        }
        if (WSAGetLastError() != WSAEWOULDBLOCK) {
            return Failed(WSAGetLastError());
        }
        int ready = WaitFor(s, false, deadline, nullptr);
        if (ready <= 0) {
            return ready;
        }
    }
}

void NetClose(NetSocket socket) {
    if (socket != kNoSocket) {
        closesocket(static_cast<SOCKET>(socket));
    }
}

int NetLastError() {
    return lastError;
}

bool NetResetByServer(int error) {
    return error == WSAECONNRESET;
}

void NetErrorText(int error, char* out, size_t outSize) {
    SysErrorText(error, out, outSize); // FormatMessage knows the Winsock codes
}
