// The packer's output on Windows: see WriteFileAtomically in pack.h. Names are UTF-8 and
// reach the system as wide strings, so that any file name works, not only the ANSI code
// page's.
#include "tools/pack/pack.h"

#include "console/console_win32.h"

#include <algorithm>
#include <cwctype>
#include <initializer_list>
#include <windows.h>

namespace {

PackResult Fail(std::string* message, const std::string& text) {
    if (message != nullptr) {
        *message = text;
    }
    return PackIoError;
}

// The system's text for the last error, in UTF-8, without its line break.
std::string LastErrorText() {
    const DWORD error = GetLastError();
    wchar_t wide[256] = L"";
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, wide, 256, nullptr);
    while (length > 0 &&
           (wide[length - 1] == L'\r' || wide[length - 1] == L'\n' || wide[length - 1] == L'.')) {
        wide[--length] = L'\0';
    }
    char text[768] = "";
    if (length == 0 ||
        WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, sizeof text, nullptr, nullptr) == 0) {
        return "error " + std::to_string(error);
    }
    return text;
}

// CON, PRN, AUX, NUL, COM1 to COM9 and LPT1 to LPT9 name devices in every folder and with
// any extension ("nul.exe" too); such a name is never a file to replace.
bool IsDeviceName(const std::wstring& wide) {
    size_t start = wide.find_last_of(L"\\/:");
    std::wstring name = wide.substr(start == std::wstring::npos ? 0 : start + 1);
    name = name.substr(0, name.find_first_of(L". "));
    for (wchar_t& c : name) {
        c = static_cast<wchar_t>(towupper(c));
    }
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL"}) {
        if (name == device) {
            return true;
        }
    }
    return name.size() == 4 &&
           (name.compare(0, 3, L"COM") == 0 || name.compare(0, 3, L"LPT") == 0) &&
           name[3] >= L'1' && name[3] <= L'9';
}

// Only a new name or a file on disk is replaced: not a directory, and not a device such as
// NUL, CON or COM1, nor a pipe (GetFileType tells them apart once opened).
PackResult CheckTarget(const std::string& path, const std::wstring& wide, std::string* message) {
    if (IsDeviceName(wide)) {
        return Fail(message, path + " names a device, not a regular file; it is left as it is");
    }
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return Fail(message, path + " is a directory, not a regular file; it is left as it is");
    }
    HANDLE probe =
        CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        return PackOk; // a new name; any other trouble shows when the file is made
    }
    DWORD type = GetFileType(probe);
    CloseHandle(probe);
    if (type != FILE_TYPE_DISK) {
        return Fail(message, path + " is a device or a pipe, not a regular file; it is left "
                                    "as it is");
    }
    return PackOk;
}

bool WriteAll(HANDLE file, const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
        DWORD written = 0;
        if (!WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || written == 0) {
            return false;
        }
        done += written;
    }
    return FlushFileBuffers(file) != 0;
}

} // namespace

PackResult WriteFileAtomically(const char* path, const Bytes& bytes, std::string* message) {
    std::wstring wide = WideFromUtf8(path);
    if (PackResult checked = CheckTarget(path, wide, message); checked != PackOk) {
        return checked;
    }
    // CREATE_NEW: never an existing file or link. The C library's rename() refuses an
    // existing target here; MoveFileEx replaces it in one step (a rename within the volume,
    // since the temporary file sits beside it). A read-only target is not replaced.
    std::wstring temporary = wide + L".zuva-pack-tmp";
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return Fail(message,
                    std::string("cannot create ") + path + ".zuva-pack-tmp: " + LastErrorText());
    }
    bool written = WriteAll(file, bytes);
    std::string reason = written ? "" : LastErrorText();
    written = CloseHandle(file) != 0 && written;
    if (written && MoveFileExW(temporary.c_str(), wide.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        return PackOk;
    }
    reason = reason.empty() ? LastErrorText() : reason;
    DeleteFileW(temporary.c_str());
    return Fail(message, std::string("cannot write ") + path + ": " + reason);
}

bool OutputExists(const char* path) {
    std::wstring wide = WideFromUtf8(path);
    DWORD attributes = GetFileAttributesW(wide.c_str());
    return !IsDeviceName(wide) && attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}
