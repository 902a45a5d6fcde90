// The network transports of the serial link: see serial_net.h. One connection at a time,
// like the link itself. Bytes that came while waiting for something else (the server's
// answer to the rate, the rest of a read bigger than asked for) wait in a buffer for the
// next read attempt.
#include "engine/serial_net.h"

#include "engine/net_platform.h"
#include "engine/rfc2217.h"
#include "engine/serial_platform.h"
#include "engine/status.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char kRfc2217Prefix[] = "rfc2217://";
constexpr char kSocketPrefix[] = "socket://";

// Within the 10 s in which a user expects to hear that a server cannot be reached.
constexpr uint32_t kConnectTimeoutMs = 8000;
// How long the open waits for the server to answer the line settings. A raw TCP port
// gives no telnet answer at all: it is refused, before the bootloader sees a byte.
constexpr uint32_t kAnswerWaitMs = 3000;
constexpr uint32_t kSliceMs = 100;
// Data bytes escaped per write attempt.
constexpr uint32_t kWriteChunk = 512;

// Codes of this transport, above errno values, Winsock codes and kNetClosedByServer.
constexpr int kNetBadAddress = 0x7A000002;
constexpr int kNetNoComPort = 0x7A000003;
constexpr int kNetSettingRefused = 0x7A000004;
constexpr int kNetStopped = 0x7A000005;
constexpr int kNetNoModemLines = 0x7A000006;
constexpr int kNetNotNegotiated = 0x7A000007;

// What the server did to a line setting, for kNetSettingRefused.
char settingRefused[96] = "";

struct Connection {
    NetSocket socket = kNoSocket;
    bool telnet = false;
    TelnetStream stream;
    uint32_t readMs = 100;
    uint32_t writeMs = 1000;
    uint8_t pending[4096] = {}; // data received and not read yet: [start, end)
    size_t start = 0;
    size_t end = 0;
};
Connection link;
int lastError = 0;

using Clock = std::chrono::steady_clock;

Clock::time_point After(uint32_t ms) {
    return Clock::now() + std::chrono::milliseconds(ms);
}

uint32_t MsLeft(Clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<uint32_t>(left) : 0;
}

bool StopRequested() {
    StatusCallback callback = GetStatusCallback();
    return callback != nullptr && callback(Poll, 0) != 0;
}

// "HOST:PORT" or "[V6]:PORT" into host and port; false when it is neither.
bool SplitAddress(const char* address, char* host, size_t hostSize, char* port) {
    const char* colon = std::strrchr(address, ':');
    const char* first = address;
    const char* last = colon;
    if (address[0] == '[') {
        last = std::strchr(address, ']');
        first = address + 1;
        if (last == nullptr || last + 1 != colon) {
            return false;
        }
    } else if (colon != nullptr && std::strchr(address, ':') != colon) {
        return false; // a bare IPv6 address: its port would be ambiguous
    }
    if (colon == nullptr || last <= first || static_cast<size_t>(last - first) >= hostSize) {
        return false;
    }
    char* rest = nullptr;
    long number = std::strtol(colon + 1, &rest, 10);
    if (colon[1] < '0' || colon[1] > '9' || *rest != '\0' || number < 1 || number > 65535) {
        return false;
    }
    std::memcpy(host, first, static_cast<size_t>(last - first));
    host[last - first] = '\0';
    std::snprintf(port, 8, "%ld", number);
    return true;
}

int Fail(int error) {
    lastError = error;
    return 1;
}

// Sends all of bytes within the write constant. 0, or 1 with the cause kept.
int SendAll(const uint8_t* bytes, size_t n) {
    int32_t sent = NetSend(link.socket, bytes, static_cast<uint32_t>(n), link.writeMs);
    if (sent < 0) {
        return Fail(NetLastError());
    }
    return static_cast<size_t>(sent) == n ? 0 : Fail(kNetClosedByServer);
}

int SendCommand(uint8_t command, const uint8_t* value, size_t n) {
    uint8_t frame[6 + 2 * 4];
    return SendAll(frame, ComPortCommand(command, value, n, frame));
}

int SendReplies() {
    size_t n = link.stream.replyLength;
    link.stream.replyLength = 0;
    return n == 0 ? 0 : SendAll(link.stream.reply, n);
}

// Receives into the buffer, waiting up to timeoutMs: 1 when bytes came (data or not), 0
// when none did, -1 on failure with the cause kept.
int Receive(uint32_t timeoutMs) {
    if (link.start == link.end || link.end == sizeof link.pending) {
        // Emptied, or full of bytes nobody reads (a chatty line before the run): start over.
        link.start = link.end = 0;
    }
    uint8_t* at = link.pending + link.end;
    int32_t got = NetReceive(link.socket, at, static_cast<uint32_t>(sizeof link.pending - link.end),
                             timeoutMs);
    if (got <= 0) {
        lastError = got < 0 ? NetLastError() : lastError;
        return got;
    }
    size_t data = static_cast<size_t>(got);
    if (link.telnet) {
        data = TelnetReceive(link.stream, at, data);
        if (SendReplies() != 0) {
            return -1;
        }
    }
    link.end += data;
    return 1;
}

SysPort OpenNet(const char* portPath, const char* prefix, bool telnet) {
    char host[256];
    char port[8];
    if (link.socket != kNoSocket ||
        !SplitAddress(portPath + std::strlen(prefix), host, sizeof host, port)) {
        Fail(kNetBadAddress);
        return kNoPort;
    }
    link = Connection{};
    link.telnet = telnet;
    link.socket = NetConnect(host, port, kConnectTimeoutMs, StopRequested);
    if (link.socket == kNoSocket) {
        Fail(StopRequested() ? kNetStopped : NetLastError());
        return kNoPort;
    }
    if (telnet && SendAll(kTelnetGreeting, sizeof kTelnetGreeting) != 0) {
        NetClose(link.socket);
        link.socket = kNoSocket;
        return kNoPort;
    }
    return static_cast<SysPort>(link.socket);
}

SysPort OpenRfc2217(const char* portPath) {
    return OpenNet(portPath, kRfc2217Prefix, true);
}

SysPort OpenSocket(const char* portPath) {
    return OpenNet(portPath, kSocketPrefix, false);
}

// The line settings the run needs, and how to name what a server answered instead.
struct Setting {
    uint8_t command;
    const char* format; // the server's answer, then the value asked for
};
constexpr Setting kSettings[] = {{kComSetBaudRate, "its line at %lu baud, not %lu"},
                                 {kComSetDataSize, "%lu data bits, not %lu"},
                                 {kComSetParity, "parity %s, not %s"},
                                 {kComSetStopSize, "%lu stop bits, not %lu"}};
constexpr uint8_t kAllAnswered =
    1u << kComSetBaudRate | 1u << kComSetDataSize | 1u << kComSetParity | 1u << kComSetStopSize;

const char* ParityName(uint32_t value) {
    static constexpr const char* kNames[] = {"unknown", "none", "odd", "even", "mark", "space"};
    return value < 6 ? kNames[value] : "unknown";
}

// 0 when every answer is the setting asked for; else 1 with the first other one named.
int CheckSettings(const uint32_t wanted[]) {
    for (const Setting& setting : kSettings) {
        const uint32_t got = link.stream.setting[setting.command];
        const uint32_t asked = wanted[setting.command];
        if (got == asked) {
            continue;
        }
        char answer[64];
        if (setting.command == kComSetParity) {
            std::snprintf(answer, sizeof answer, setting.format, ParityName(got),
                          ParityName(asked));
        } else {
            std::snprintf(answer, sizeof answer, setting.format, static_cast<unsigned long>(got),
                          static_cast<unsigned long>(asked));
        }
        std::snprintf(settingRefused, sizeof settingRefused, "the server set %s", answer);
        return Fail(kNetSettingRefused);
    }
    return 0;
}

// Until the server has answered every line setting, refused the option, or kAnswerWaitMs
// passed: a server that never negotiates is no RFC 2217 server, and one that leaves a
// setting unanswered cannot be trusted with the line.
int AwaitSettings(const uint32_t wanted[]) {
    const Clock::time_point deadline = After(kAnswerWaitMs);
    for (uint32_t left = kAnswerWaitMs; left > 0; left = MsLeft(deadline)) {
        if (link.stream.refused) {
            return Fail(kNetNoComPort);
        }
        if ((link.stream.answered & kAllAnswered) == kAllAnswered) {
            return CheckSettings(wanted);
        }
        if (StopRequested()) {
            return Fail(kNetStopped);
        }
        if (Receive(std::min(left, kSliceMs)) < 0) {
            return 1;
        }
    }
    for (const Setting& setting : kSettings) {
        if ((link.stream.answered & 1u << setting.command) == 0 && link.stream.negotiated) {
            std::snprintf(settingRefused, sizeof settingRefused,
                          "the server did not confirm the %s",
                          setting.command == kComSetBaudRate   ? "rate"
                          : setting.command == kComSetDataSize ? "data bits"
                          : setting.command == kComSetParity   ? "parity"
                                                               : "stop bits");
            return Fail(kNetSettingRefused);
        }
    }
    return Fail(kNetNotNegotiated);
}

int ConfigureRfc2217(SysPort, const LineSettings& line) {
    const uint8_t rate[4] = {
        static_cast<uint8_t>(line.baudRate >> 24), static_cast<uint8_t>(line.baudRate >> 16),
        static_cast<uint8_t>(line.baudRate >> 8), static_cast<uint8_t>(line.baudRate)};
    const uint8_t eight = 8;
    const uint8_t even = kComParityEven;
    const uint8_t oneStop = 1;
    // The bootloader's binary frames carry 0x11 and 0x13: no flow control on the UART.
    const uint8_t noFlow = kComControlNoFlow;
    link.stream.answered = 0;
    if (SendCommand(kComSetBaudRate, rate, sizeof rate) != 0 ||
        SendCommand(kComSetDataSize, &eight, 1) != 0 || SendCommand(kComSetParity, &even, 1) != 0 ||
        SendCommand(kComSetStopSize, &oneStop, 1) != 0 ||
        SendCommand(kComSetControl, &noFlow, 1) != 0) {
        return 1;
    }
    const uint32_t wanted[] = {0, line.baudRate, eight, even, oneStop};
    return AwaitSettings(wanted);
}

int ConfigureSocket(SysPort, const LineSettings&) {
    return 0; // the server's settings apply
}

int ModemLineRfc2217(SysPort, ModemLine line, bool asserted) {
    // Answers to SET-CONTROL are not waited for: a server in front of a pty may send none.
    uint8_t value = line == ModemLine::Rts ? (asserted ? kComControlRtsOn : kComControlRtsOff)
                                           : (asserted ? kComControlDtrOn : kComControlDtrOff);
    return SendCommand(kComSetControl, &value, 1);
}

int ModemLineSocket(SysPort, ModemLine, bool) {
    return Fail(kNetNoModemLines);
}

int SetTimeoutsNet(SysPort, uint32_t readConstantMs, uint32_t writeConstantMs) {
    link.readMs = readConstantMs;
    link.writeMs = writeConstantMs;
    return link.socket == kNoSocket ? 1 : 0;
}

// What has come and been kept, else what comes within ms. Telnet commands alone end no
// wait: only data does, or the time.
int32_t ReadWithin(void* buf, uint32_t n, uint32_t ms) {
    const Clock::time_point deadline = After(ms);
    while (n > 0 && link.start == link.end) {
        int got = Receive(MsLeft(deadline));
        if (got <= 0) {
            return got;
        }
    }
    size_t count = std::min<size_t>(n, link.end - link.start);
    std::memcpy(buf, link.pending + link.start, count);
    link.start += count;
    return static_cast<int32_t>(count);
}

int32_t ReadNet(SysPort, void* buf, uint32_t n) {
    return ReadWithin(buf, n, link.readMs);
}

int32_t WriteSocket(SysPort, const void* bytes, uint32_t n) {
    int32_t sent = NetSend(link.socket, bytes, n, link.writeMs);
    lastError = sent < 0 ? NetLastError() : lastError;
    return sent;
}

// Data bytes fully on the wire when sent of the escaped bytes went; -1 when an escaped
// 255 was cut in half (the server would take the next byte for a command).
int32_t DataBytesSent(const uint8_t* data, uint32_t n, int32_t sent) {
    int32_t wire = 0;
    for (uint32_t i = 0; i < n; ++i) {
        int32_t size = data[i] == kTelnetIac ? 2 : 1;
        if (wire + size > sent) {
            return wire == sent ? static_cast<int32_t>(i) : -1;
        }
        wire += size;
    }
    return static_cast<int32_t>(n);
}

int32_t WriteRfc2217(SysPort, const void* bytes, uint32_t n) {
    const auto* data = static_cast<const uint8_t*>(bytes);
    uint8_t wire[2 * kWriteChunk];
    const uint32_t chunk = std::min(n, kWriteChunk);
    const auto length = static_cast<uint32_t>(TelnetEscape(data, chunk, wire));
    int32_t sent = NetSend(link.socket, wire, length, link.writeMs);
    if (sent < 0) {
        lastError = NetLastError();
        return -1;
    }
    int32_t count = DataBytesSent(data, chunk, sent);
    lastError = count < 0 ? kNetClosedByServer : lastError;
    return count;
}

// What has come and been kept, else what waits in the socket now; never waits.
int32_t ReadWaitingNet(SysPort, void* buf, uint32_t n) {
    return ReadWithin(buf, n, 0);
}

void CloseNet(SysPort) {
    NetClose(link.socket);
    link.socket = kNoSocket;
}

int LastErrorNet() {
    return lastError;
}

void ErrorTextNet(int error, char* out, size_t outSize) {
    switch (error) {
    case kNetBadAddress:
        std::snprintf(out, outSize, "not HOST:PORT (an IPv6 address in brackets: [::1]:4001)");
        return;
    case kNetNoComPort:
        std::snprintf(out, outSize,
                      "the server does not offer RFC 2217 in binary mode "
                      "(a raw TCP port is socket://)");
        return;
    case kNetSettingRefused:
        std::snprintf(out, outSize, "%s", settingRefused);
        return;
    case kNetNotNegotiated:
        std::snprintf(out, outSize, "the server did not negotiate RFC 2217 within %lu s",
                      static_cast<unsigned long>(kAnswerWaitMs / 1000));
        return;
    case kNetStopped:
        std::snprintf(out, outSize, "stopped");
        return;
    case kNetNoModemLines:
        std::snprintf(out, outSize, "a raw TCP port has no modem lines");
        return;
    case kNetClosedByServer:
        std::snprintf(out, outSize, "the server closed the connection");
        return;
    default:
        NetErrorText(error, out, outSize);
    }
}

void ErrorAdviceNet(int error, char* out, size_t outSize) {
    const char* advice = "Check that the server is running, that its address and port are "
                         "right, and that this machine can reach it.";
    if (error == kNetBadAddress || error == kNetStopped) {
        advice = "";
    } else if (error == kNetNoComPort || error == kNetNotNegotiated) {
        advice = "For a raw TCP port, use socket://HOST:PORT.";
    } else if (error == kNetSettingRefused) {
        advice = "Let the server's port take the rate with 8 data bits, even parity and 1 stop "
                 "bit (ser2net: the connector's settings).";
    } else if (error == kNetClosedByServer || NetResetByServer(error)) {
        advice = "The server took the connection and let it go: check that its serial device "
                 "is there and that no other client holds it.";
    } else if (error == kNetNoModemLines) {
        advice = "Use rfc2217:// for a board whose BOOT0 and reset follow RTS and DTR.";
    }
    std::snprintf(out, outSize, "%s", advice);
}

constexpr SerialTransport kRfc2217 = {kRfc2217Prefix,   OpenRfc2217,    ConfigureRfc2217,
                                      ModemLineRfc2217, SetTimeoutsNet, ReadNet,
                                      WriteRfc2217,     ReadWaitingNet, CloseNet,
                                      LastErrorNet,     ErrorTextNet,   ErrorAdviceNet};
constexpr SerialTransport kSocket = {kSocketPrefix,  OpenSocket,   ConfigureSocket, ModemLineSocket,
                                     SetTimeoutsNet, ReadNet,      WriteSocket,     ReadWaitingNet,
                                     CloseNet,       LastErrorNet, ErrorTextNet,    ErrorAdviceNet};

} // namespace

NetScheme NetPortScheme(const char* portPath) {
    if (portPath == nullptr) {
        return NetScheme::None;
    }
    if (std::strncmp(portPath, kRfc2217Prefix, sizeof kRfc2217Prefix - 1) == 0) {
        return NetScheme::Rfc2217;
    }
    if (std::strncmp(portPath, kSocketPrefix, sizeof kSocketPrefix - 1) == 0) {
        return NetScheme::Socket;
    }
    return NetScheme::None;
}

void UseNetworkPorts() {
    RegisterSerialTransport(&kRfc2217);
    RegisterSerialTransport(&kSocket);
}
