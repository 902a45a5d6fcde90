// The counter file on Windows: LockFileEx over the whole file. Wine takes that lock as an
// fcntl record lock on the Unix file, so a Linux zuva-flash on the same file is excluded.
#include "cli/counter.h"

#include "console/console_win32.h"

#include <windows.h>

namespace {

constexpr DWORD kLongestText = 64;

bool Fail(std::string* error, const char* what, DWORD code) {
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   text, sizeof text, nullptr);
    std::string reason = text;
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) {
        reason.pop_back();
    }
    *error = what + (reason.empty() ? "error " + std::to_string(code) : reason);
    return false;
}

bool Rewind(HANDLE file) {
    return SetFilePointer(file, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER;
}

// *number + 1 in place of the text, then flushed to disk.
bool WriteNext(HANDLE file, uint32_t number) {
    std::string text = std::to_string(static_cast<uint64_t>(number) + 1) + "\r\n";
    DWORD written = 0;
    return Rewind(file) &&
           WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size() && SetEndOfFile(file) && FlushFileBuffers(file);
}

} // namespace

bool LockedCounterUpdate(const char* path, bool write, uint32_t* number, std::string* error) {
    HANDLE file = CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return Fail(error, "", GetLastError());
    }
    OVERLAPPED whole{};
    bool ok = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole) != 0;
    char buffer[kLongestText + 1];
    DWORD got = 0;
    if (!ok || !ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
        ok = Fail(error, "", GetLastError());
    } else if (got > kLongestText) {
        *error = "it is longer than one number";
        ok = false;
    } else {
        ok = ParseSerialText(std::string(buffer, got), number, error);
    }
    if (ok && write && !WriteNext(file, *number)) {
        ok = Fail(error, "it cannot be written back: ", GetLastError());
    }
    UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
    CloseHandle(file);
    return ok;
}
