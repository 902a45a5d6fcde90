// Serial primitives for Windows: a synchronous COM handle whose time-outs make every read
// attempt return at once with waiting bytes, or wait up to the read constant for the first.
#include "engine/serial_platform.h"

#include "ports/port_names.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

// The settings the port had before this link configured it, given back at close.
struct SavedLine {
    SysPort port = kNoPort;
    DCB dcb;
};
SavedLine saved;

// What SysLastError gives when the handle opened is no serial port (a disk file): bit 29
// marks an application's own code.
constexpr DWORD kNotSerialPort = 0x20000001;

HANDLE AsHandle(SysPort port) {
    return reinterpret_cast<HANDLE>(port);
}

// COM1 to COM9 open by their bare names too, but COM10 and up exist only in the device
// namespace: "COM10" is taken for a file of that name. So a bare "COMn" is opened as
// "\\.\COMn", which names every port whatever its number.
const char* DeviceNamespacePath(const char* portPath, char* out, size_t outSize) {
    if (std::strncmp(portPath, "\\\\.\\", 4) == 0 || ComNumberFromName(portPath) == 0) {
        return portPath;
    }
    return ComPortPath(ComNumberFromName(portPath), out, outSize) == 0 ? out : portPath;
}

} // namespace

SysPort SysOpenPort(const char* portPath) {
    char path[MAX_PATH];
    HANDLE handle =
        CreateFileA(DeviceNamespacePath(portPath, path, sizeof path), GENERIC_READ | GENERIC_WRITE,
                    0, nullptr, OPEN_EXISTING, 0, nullptr);
    return reinterpret_cast<SysPort>(handle); // INVALID_HANDLE_VALUE is kNoPort
}

int SysConfigureLine(SysPort port, const LineSettings& line) {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(AsHandle(port), &dcb)) {
        SetLastError(kNotSerialPort);
        return 1;
    }
    saved = SavedLine{port, dcb};
    dcb.fParity = FALSE;
    dcb.BaudRate = line.baudRate; // the CBR_ constants are the rates themselves
    dcb.ByteSize = 8;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = ONESTOPBIT;
    // No flow control: XON/XOFF would swallow 0x11 and 0x13 out of binary frames, and a
    // handshake another program left on stalls a board that does not drive CTS or DSR.
    // Modem lines under handshake control are handed to the program, asserted.
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE || dcb.fRtsControl == RTS_CONTROL_TOGGLE) {
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
    }
    if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) {
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
    }
    return SetCommState(AsHandle(port), &dcb) ? 0 : 1;
}

int SysSetTimeouts(SysPort port, uint32_t readConstantMs, uint32_t writeConstantMs) {
    // MAXDWORD interval and multiplier with a constant between 0 and MAXDWORD: a read
    // returns at once with waiting bytes, returns as soon as the first byte arrives, or
    // returns empty after the constant.
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = MAXDWORD;
    t.ReadTotalTimeoutConstant = readConstantMs;
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = writeConstantMs;
    return SetCommTimeouts(AsHandle(port), &t) ? 0 : 1;
}

int32_t SysReadAttempt(SysPort port, void* buf, uint32_t n) {
    DWORD got = 0;
    if (!ReadFile(AsHandle(port), buf, n, &got, nullptr)) {
        return -1;
    }
    // An empty read may also be a line that went away (Wine reads a hung-up pty as
    // empty): the port's status then fails with the cause.
    DWORD errors = 0;
    COMSTAT status;
    if (got == 0 && n > 0 && !ClearCommError(AsHandle(port), &errors, &status)) {
        return -1;
    }
    return static_cast<int32_t>(got);
}

int32_t SysWriteAttempt(SysPort port, const void* bytes, uint32_t n) {
    DWORD written = 0;
    if (!WriteFile(AsHandle(port), bytes, n, &written, nullptr)) {
        return -1;
    }
    return static_cast<int32_t>(written);
}

int32_t SysReadWaiting(SysPort port, void* buf, uint32_t n) {
    DWORD errors = 0;
    COMSTAT status;
    if (!ClearCommError(AsHandle(port), &errors, &status)) {
        return -1;
    }
    DWORD got = 0;
    DWORD take = status.cbInQue < n ? status.cbInQue : n;
    // Bytes that wait are returned at once, whatever the time-outs.
    if (take > 0 && !ReadFile(AsHandle(port), buf, take, &got, nullptr)) {
        return -1;
    }
    return static_cast<int32_t>(got);
}

void SysClosePort(SysPort port) {
    if (port == saved.port) {
        SetCommState(AsHandle(port), &saved.dcb);
        saved.port = kNoPort;
    }
    CloseHandle(AsHandle(port));
}

int SysLastError() {
    return static_cast<int>(GetLastError());
}

void SysErrorText(int error, char* out, size_t outSize) {
    if (outSize == 0) {
        return;
    }
    if (static_cast<DWORD>(error) == kNotSerialPort) {
        std::snprintf(out, outSize, "not a serial port");
        return;
    }
    DWORD n =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(error), 0, out, static_cast<DWORD>(outSize), nullptr);
    // The system's texts end in a full stop and a line end; the caller adds its own.
    while (n > 0 && (out[n - 1] == '\n' || out[n - 1] == '\r' || out[n - 1] == '.')) {
        out[--n] = '\0';
    }
    if (n == 0) {
        std::snprintf(out, outSize, "system error %d", error);
    }
}

void SysErrorAdvice(int error, char* out, size_t outSize) {
    const char* advice =
        "Check that the adapter is plugged in and that no other program uses the port.";
    switch (static_cast<DWORD>(error)) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        advice = "Check that the adapter is plugged in and that the port's name is right.";
        break;
    case ERROR_ACCESS_DENIED: // how Windows answers for a port that another program holds
    case ERROR_SHARING_VIOLATION:
        advice = "Another program holds the port: close it, then try again.";
        break;
    case kNotSerialPort:
        advice = "Give a serial port, such as COM3.";
        break;
    default:
        break;
    }
    std::snprintf(out, outSize, "%s", advice);
}

int SysSetModemLine(SysPort port, ModemLine line, bool asserted) {
    DWORD function =
        line == ModemLine::Rts ? (asserted ? SETRTS : CLRRTS) : (asserted ? SETDTR : CLRDTR);
    return EscapeCommFunction(AsHandle(port), function) ? 0 : 1;
}

void SysSleepMs(uint32_t ms) {
    Sleep(ms);
}
