// RFC 2217 bytes: what goes to the server, and the server's stream taken apart, fed whole and
// byte by byte (a TCP read may end anywhere, inside a command too).
#include "engine/rfc2217.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
// The server's answers to the line settings, by command code (0: not answered).
using Settings = std::array<uint32_t, kComSetStopSize + 1>;

constexpr uint8_t I = kTelnetIac;

struct Outcome {
    Bytes data;
    Bytes reply;
    bool refused = false;
    bool negotiated = false;
    Settings setting{};
};

Outcome Feed(const std::vector<Bytes>& chunks) {
    TelnetStream stream;
    Outcome o;
    for (Bytes chunk : chunks) {
        size_t n = TelnetReceive(stream, chunk.data(), chunk.size());
        o.data.insert(o.data.end(), chunk.begin(), chunk.begin() + static_cast<long>(n));
    }
    o.reply.assign(stream.reply, stream.reply + stream.replyLength);
    o.refused = stream.refused;
    o.negotiated = stream.negotiated;
    for (unsigned code = kComSetBaudRate; code <= kComSetStopSize; ++code) {
        EXPECT_EQ((stream.answered >> code & 1) != 0, stream.setting[code] != 0) << code;
        o.setting[code] = stream.setting[code];
    }
    return o;
}

struct Case {
    const char* what;
    Bytes in;
    Bytes data;
    Bytes reply;
    bool refused;
    Settings setting;
};

const Case kCases[] = {
    {"plain data", {0x79, 0x1F, 0x00}, {0x79, 0x1F, 0x00}, {}, false, {}},
    {"an escaped 255 is one data byte",
     {0x01, I, I, I, I, 0x02},
     {0x01, I, I, 0x02},
     {},
     false,
     {}},
    // ser2net's greeting: WILL SGA, DO SGA, WILL ECHO, DONT ECHO, DO/WILL BINARY, DO COM-PORT.
    {"the greeting: only what is not ours is refused",
     {I, kTelnetWill, 3, I, kTelnetDo,   3, I, kTelnetWill, 1, I, kTelnetDont, 1,
      I, kTelnetDo,   0, I, kTelnetWill, 0, I, kTelnetDo,   44},
     {},
     {I, kTelnetDont, 3, I, kTelnetWont, 3, I, kTelnetDont, 1},
     false,
     {}},
    {"an option is refused once however often it comes",
     {I, kTelnetWill, 1, 0x55, I, kTelnetWill, 1},
     {0x55},
     {I, kTelnetDont, 1},
     false,
     {}},
    {"the rate answer, among data",
     {0x79, I, kTelnetSb, 44, 101, 0x00, 0x00, 0xE1, 0x00, I, kTelnetSe, 0x1F},
     {0x79, 0x1F},
     {},
     false,
     {0, 57600}},
    {"a rate with a 255 byte in it, escaped inside the subnegotiation",
     {I, kTelnetSb, 44, 101, 0x00, 0x00, I, I, 0x00, I, kTelnetSe},
     {},
     {},
     false,
     {0, 0xFF00}},
    {"every line setting answered: 7 data bits, parity none, 2 stop bits",
     {I, kTelnetSb, 44,        102, 7,         I,  kTelnetSe, I, kTelnetSb, 44,       103,
      1, I,         kTelnetSe, I,   kTelnetSb, 44, 104,       2, I,         kTelnetSe},
     {},
     {},
     false,
     {0, 0, 7, 1, 2}},
    {"other answers and notifications carry no data",
     {I, kTelnetSb, 44, 107, 0x30, I, kTelnetSe, I, kTelnetSb, 44, 112, 1, I, kTelnetSe, 0x79},
     {0x79},
     {},
     false,
     {}},
    {"no COM port option", {I, kTelnetWont, 44}, {}, {}, true, {}},
    {"no binary mode", {I, kTelnetDont, 0}, {}, {}, true, {}},
    {"NOP and GA between data bytes",
     {0x01, I, 241, 0x02, I, 249, 0x03},
     {0x01, 0x02, 0x03},
     {},
     false,
     {}},
};

TEST(Rfc2217, TheServersStreamComesApartTheSameWholeOrByteByByte) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        std::vector<Bytes> oneByOne;
        for (uint8_t b : c.in) {
            oneByOne.push_back({b});
        }
        for (const Outcome& o : {Feed({c.in}), Feed(oneByOne)}) {
            EXPECT_EQ(o.data, c.data);
            EXPECT_EQ(o.reply, c.reply);
            EXPECT_EQ(o.refused, c.refused);
            EXPECT_EQ(o.setting, c.setting);
            // A raw TCP port sends data alone: no option or subnegotiation, no telnet.
            EXPECT_EQ(o.negotiated, !c.reply.empty() || c.refused || c.setting != Settings{} ||
                                        std::string(c.what).find("answers") != std::string::npos);
        }
    }
}

TEST(Rfc2217, DataAndCommandsGoOutWithEvery255Doubled) {
    const Bytes data = {0x31, I, 0x00, I, I};
    Bytes out(2 * data.size());
    out.resize(TelnetEscape(data.data(), data.size(), out.data()));
    EXPECT_EQ(out, (Bytes{0x31, I, I, 0x00, I, I, I, I}));

    const uint8_t rate[4] = {0x00, 0x00, 0xE1, 0x00}; // 57600
    Bytes frame(6 + 2 * 4);
    frame.resize(ComPortCommand(kComSetBaudRate, rate, 4, frame.data()));
    EXPECT_EQ(frame, (Bytes{I, kTelnetSb, 44, 1, 0x00, 0x00, 0xE1, 0x00, I, kTelnetSe}));
    const uint8_t odd[1] = {I};
    frame.resize(6 + 2);
    frame.resize(ComPortCommand(kComSetControl, odd, 1, frame.data()));
    EXPECT_EQ(frame, (Bytes{I, kTelnetSb, 44, 5, I, I, I, kTelnetSe}));
}

} // namespace
