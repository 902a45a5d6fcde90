// RFC 2217 (a serial port over telnet), the bytes only: escaping data, framing COM-PORT
// commands, and taking the server's stream apart into data, negotiation and answers. No
// sockets here (engine/serial_net.cpp moves the bytes), so tests feed it byte by byte.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr uint8_t kTelnetIac = 255;
constexpr uint8_t kTelnetSb = 250;
constexpr uint8_t kTelnetSe = 240;
constexpr uint8_t kTelnetWill = 251;
constexpr uint8_t kTelnetWont = 252;
constexpr uint8_t kTelnetDo = 253;
constexpr uint8_t kTelnetDont = 254;
constexpr uint8_t kTelnetBinary = 0;
constexpr uint8_t kComPortOption = 44;

// Client to server commands; the server answers each with the code plus 100.
constexpr uint8_t kComSetBaudRate = 1;
constexpr uint8_t kComSetDataSize = 2;
constexpr uint8_t kComSetParity = 3;
constexpr uint8_t kComSetStopSize = 4;
constexpr uint8_t kComSetControl = 5;
constexpr uint8_t kComPurgeData = 12;
constexpr uint8_t kComServerAnswer = 100;

// Values of the commands above.
constexpr uint8_t kComParityNone = 1;
constexpr uint8_t kComParityOdd = 2;
constexpr uint8_t kComParityEven = 3;
constexpr uint8_t kComControlNoFlow = 1;
constexpr uint8_t kComControlDtrOn = 8;
constexpr uint8_t kComControlDtrOff = 9;
constexpr uint8_t kComControlRtsOn = 11;
constexpr uint8_t kComControlRtsOff = 12;
constexpr uint8_t kComPurgeReceive = 1;

// What the client asks for when it connects: binary both ways, and the COM port option.
constexpr uint8_t kTelnetGreeting[] = {kTelnetIac, kTelnetWill, kTelnetBinary,
                                       kTelnetIac, kTelnetDo,   kTelnetBinary,
                                       kTelnetIac, kTelnetWill, kComPortOption};

// One connection as the decoder sees it: where it stands in the stream, what the server
// has said, and the replies it is owed. Start from a value-initialised record.
struct TelnetStream {
    uint8_t state = 0; // the decoder's own
    uint8_t verb = 0;  // WILL, WONT, DO or DONT waiting for its option byte
    uint8_t sub[8] = {};
    uint8_t subLength = 0;   // bytes of the subnegotiation so far (longer ones are cut)
    bool refused = false;    // the server will not do binary mode or the COM port option
    bool negotiated = false; // the server has sent a telnet command: it speaks telnet
    // The server's last answers to SET-BAUDRATE, SET-DATASIZE, SET-PARITY and
    // SET-STOPSIZE, indexed by the command's code; bit (1 << code) of answered is set once
    // that answer came.
    uint32_t setting[kComSetStopSize + 1] = {};
    uint8_t answered = 0;
    // Refusals owed for options the server offered or asked for and the client does not
    // do, each sent once.
    uint8_t reply[48] = {};
    size_t replyLength = 0;
    uint8_t refusedWill[32] = {}; // bit per option whose offer (WILL) got DONT
    uint8_t refusedDo[32] = {};   // bit per option whose request (DO) got WONT
};

// Escapes data for the wire: each 255 doubled. out has room for 2 * n bytes. Returns the
// bytes written.
size_t TelnetEscape(const uint8_t* data, size_t n, uint8_t* out);

// IAC SB COM-PORT-OPTION command value IAC SE, the value escaped. out has room for
// 6 + 2 * n bytes. Returns the bytes written.
size_t ComPortCommand(uint8_t command, const uint8_t* value, size_t n, uint8_t* out);

// Takes n received bytes apart in place: the data bytes are moved to the front of bytes,
// telnet commands are taken into stream. Returns the count of data bytes. A command split
// over two calls is taken whole.
size_t TelnetReceive(TelnetStream& stream, uint8_t* bytes, size_t n);
