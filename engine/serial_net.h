// Serial ports on a serial port server (ser2net, a terminal server), reached over TCP:
//
//   rfc2217://HOST:PORT  telnet with the COM port option (RFC 2217): the link sets the
//                        rate and 8E1 on the server's UART, drives RTS and DTR, and purges
//                        the server's receive buffer when it resynchronises
//   socket://HOST:PORT   raw TCP: the server's own line settings apply; no rate, no
//                        modem lines
//
// HOST is a name, an IPv4 address, or an IPv6 address in brackets ("[::1]:4001"). A run
// on such a port behaves as on a local one: a connection that is refused, a name that
// is unknown or a connection that does not come within 8 s fails the open; a server that
// accepts and never answers is a silent device; a connection lost later is a failed read
// or write.
#pragma once

enum class NetScheme { None, Rfc2217, Socket };

// The scheme that a port path names by its prefix.
NetScheme NetPortScheme(const char* portPath);

// Registers both transports with the serial link (RegisterSerialTransport). The command
// line calls it; the window does not, and links none of this.
void UseNetworkPorts();
