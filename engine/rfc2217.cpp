// RFC 2217 bytes: see rfc2217.h.
#include "engine/rfc2217.h"

namespace {

enum State : uint8_t { Data, Command, Option, Sub, SubCommand };

// The client asked for binary mode both ways and offered the COM port option when it
// connected: the server's yes needs no reply, its no ends the use of the connection.
// Anything else it offers or asks for is refused once (no loop with a server that asks
// again).
void Negotiate(TelnetStream& s, uint8_t verb, uint8_t option) {
    s.negotiated = true;
    if (option == kTelnetBinary || option == kComPortOption) {
        s.refused = s.refused || verb == kTelnetWont || verb == kTelnetDont;
        return;
    }
    if (verb != kTelnetWill && verb != kTelnetDo) {
        return;
    }
    uint8_t* refusedSet = verb == kTelnetWill ? s.refusedWill : s.refusedDo;
    const unsigned index = option / 8u;
    const unsigned bit = 1u << (option % 8u);
    if ((refusedSet[index] & bit) != 0 || s.replyLength + 3 > sizeof s.reply) {
        return;
    }
    refusedSet[index] = static_cast<uint8_t>(refusedSet[index] | bit);
    s.reply[s.replyLength++] = kTelnetIac;
    s.reply[s.replyLength++] = verb == kTelnetWill ? kTelnetDont : kTelnetWont;
    s.reply[s.replyLength++] = option;
}

// A whole subnegotiation: the answers to the line settings matter to the link.
void Subnegotiation(TelnetStream& s) {
    s.negotiated = true;
    const unsigned code = s.subLength >= 3 ? s.sub[1] - unsigned{kComServerAnswer} : 0;
    if (s.sub[0] != kComPortOption || code < kComSetBaudRate || code > kComSetStopSize) {
        s.subLength = 0;
        return;
    }
    if (code == kComSetBaudRate && s.subLength >= 6) {
        s.setting[code] = uint32_t{s.sub[2]} << 24 | uint32_t{s.sub[3]} << 16 |
                          uint32_t{s.sub[4]} << 8 | s.sub[5];
        s.answered = static_cast<uint8_t>(s.answered | 1u << code);
    } else if (code != kComSetBaudRate) {
        s.setting[code] = s.sub[2];
        s.answered = static_cast<uint8_t>(s.answered | 1u << code);
    }
    s.subLength = 0;
}

void SubByte(TelnetStream& s, uint8_t byte) {
    if (s.subLength < sizeof s.sub) {
        s.sub[s.subLength++] = byte;
    }
}

} // namespace

size_t TelnetEscape(const uint8_t* data, size_t n, uint8_t* out) {
    size_t length = 0;
    for (size_t i = 0; i < n; ++i) {
        out[length++] = data[i];
        if (data[i] == kTelnetIac) {
            out[length++] = kTelnetIac;
        }
    }
    return length;
}

size_t ComPortCommand(uint8_t command, const uint8_t* value, size_t n, uint8_t* out) {
    out[0] = kTelnetIac;
    out[1] = kTelnetSb;
    out[2] = kComPortOption;
    out[3] = command;
    size_t length = 4 + TelnetEscape(value, n, out + 4);
    out[length++] = kTelnetIac;
    out[length++] = kTelnetSe;
    return length;
}

size_t TelnetReceive(TelnetStream& s, uint8_t* bytes, size_t n) {
    size_t data = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t byte = bytes[i];
        switch (s.state) {
        case Data:
            if (byte == kTelnetIac) {
                s.state = Command;
            } else {
                bytes[data++] = byte;
            }
            break;
        case Command:
            s.state = Data;
            if (byte == kTelnetIac) {
                bytes[data++] = byte; // an escaped data byte 255
            } else if (byte == kTelnetSb) {
                s.subLength = 0;
                s.state = Sub;
            } else if (byte >= kTelnetWill) {
                s.verb = byte;
                s.state = Option;
            } // other commands (NOP, GA, a stray SE) carry nothing for a serial line
            break;
        case Option:
            Negotiate(s, s.verb, byte);
            s.state = Data;
            break;
        case Sub:
            if (byte == kTelnetIac) {
                s.state = SubCommand;
            } else {
                SubByte(s, byte);
            }
            break;
        default: // SubCommand
            if (byte == kTelnetIac) {
                SubByte(s, byte);
                s.state = Sub;
            } else {
                Subnegotiation(s); // IAC SE, or anything that ends it early
                s.state = Data;
            }
            break;
        }
    }
    return data;
}
