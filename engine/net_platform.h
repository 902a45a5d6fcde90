// TCP for the network ports (engine/serial_net.h), one file per platform: net_posix.cpp
// (BSD sockets), net_win32.cpp (Winsock). Every wait has a deadline; nothing blocks
// beyond it.
#pragma once
#include <cstddef>
#include <cstdint>

using NetSocket = intptr_t;
constexpr NetSocket kNoSocket = -1;

// The error NetReceive gives when the server closed the connection: the platforms have no
// number of their own for an orderly close. Far above errno values and Winsock's codes.
constexpr int kNetClosedByServer = 0x7A000001;

// Connects to host (a name, an IPv4 address, or an IPv6 address without brackets) at port
// (decimal text), each address in turn, until one accepts or timeoutMs has passed in all.
// Calls stop() at least every 100 ms and gives up at once when it answers true. The
// connection sends small writes at once (no Nagle delay). kNoSocket on failure, with the
// cause in NetLastError().
NetSocket NetConnect(const char* host, const char* port, uint32_t timeoutMs, bool (*stop)());

// Sends up to n bytes, waiting up to timeoutMs for room. The count sent (short when the
// time ran out), or -1 on failure.
int32_t NetSend(NetSocket socket, const void* bytes, uint32_t n, uint32_t timeoutMs);

// Receives up to n bytes: at once when some are waiting, else as soon as the first comes
// within timeoutMs. The count, 0 when none came, -1 on failure or when the server closed
// the connection (kNetClosedByServer).
int32_t NetReceive(NetSocket socket, void* buf, uint32_t n, uint32_t timeoutMs);

void NetClose(NetSocket socket);

// The cause of the last failure: errno or a Winsock code, a resolver failure, or
// kNetClosedByServer.
int NetLastError();

// Whether such a cause is the server resetting the connection (ECONNRESET, WSAECONNRESET).
bool NetResetByServer(int error);

// The system's text for such a cause (kNetClosedByServer excepted: the caller names it).
void NetErrorText(int error, char* out, size_t outSize);
