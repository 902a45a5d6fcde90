// Serial ports on a serial port server (ser2net, a terminal server), reached over TCP:
//
//   rfc2217://HOST:PORT  telnet with the COM port option (RFC 2217): the link sets the
//                        rate and 8E1 on the server's UART, checks each setting against
//                        the server's answer, and drives RTS and DTR
//   socket://HOST:PORT   raw TCP: the server's own line settings apply; no rate, no
//                        modem lines
//
// HOST is a name, an IPv4 address, or an IPv6 address in brackets ("[::1]:4001"). A run
// on such a port behaves as on a local one: a connection that is refused, a name that
// is unknown or a connection that does not come within 8 s fails the open, and so does an
// rfc2217:// server that does not answer every line setting, as asked, within 3 s (a raw
// TCP port says nothing); a socket:// server that accepts and never answers is a silent
// device; a connection closed or lost later is a failed read or write, with its cause.
#pragma once

enum class NetScheme { None, Rfc2217, Socket };

// The scheme that a port path names by its prefix.
NetScheme NetPortScheme(const char* portPath);

// Registers both transports with the serial link (RegisterSerialTransport). The command
// line calls it; the window does not, and links none of this.
void UseNetworkPorts();
