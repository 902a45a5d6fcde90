// Windows: paths arrive as UTF-8 and are opened by their wide names, so that names outside
// the ANSI code page work. A regular file is one on disk that is not a directory; consoles,
// pipes and devices (CON, NUL, COM1, \\.\pipe\...) are refused.
#include "image/input.h"

#include <io.h>
#include <windows.h>

#include <cstdlib>
#include <memory>
#include <utility>

namespace {

using WidePath = std::unique_ptr<wchar_t, decltype(&free)>;

// The UTF-16 form of path in one code page; null when it does not convert or memory is
// short.
WidePath Convert(const char* path, UINT codePage, DWORD flags) {
    WidePath wide(nullptr, &free);
    const int n = MultiByteToWideChar(codePage, flags, path, -1, nullptr, 0);
    if (n <= 1) {
        return wide;
    }
    wide.reset(static_cast<wchar_t*>(malloc(sizeof(wchar_t) * static_cast<size_t>(n))));
    if (wide && MultiByteToWideChar(codePage, flags, path, -1, wide.get(), n) != n) {
        wide.reset();
    }
    return wide;
}

// Paths are UTF-8. One that is not valid UTF-8 is taken in the ANSI code page, as callers
// that still hold ANSI names pass it.
WidePath ToWide(const char* path) {
    WidePath wide = Convert(path, CP_UTF8, MB_ERR_INVALID_CHARS);
    return wide ? std::move(wide) : Convert(path, CP_ACP, 0);
}

// The Windows 95 family sets the top bit of GetVersion's answer.
bool IsWindows9x() {
    return (GetVersion() & 0x80000000u) != 0;
}

bool IsRegular(FILE* file) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    BY_HANDLE_FILE_INFORMATION info;
    return handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_DISK &&
           GetFileInformationByHandle(handle, &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

DWORD openError = 0;

} // namespace

int InputOpenError() {
    return static_cast<int>(openError);
}

InputResult OpenInputFile(const char* path, FILE** file) {
    *file = nullptr;
    openError = 0;
    FILE* opened = nullptr;
    if (IsWindows9x()) {
        opened = fopen(path, "rb"); // no wide file calls there: ANSI names only
    } else {
        const WidePath wide = ToWide(path);
        if (!wide) {
            return InputCantOpen;
        }
        const DWORD attributes = GetFileAttributesW(wide.get());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            return InputNotRegular;
        }
        opened = _wfopen(wide.get(), L"rb");
    }
    if (opened == nullptr) {
        openError = GetLastError(); // left by the CreateFile call inside the C runtime
        return InputCantOpen;
    }
    if (!IsRegular(opened)) {
        fclose(opened);
        return InputNotRegular;
    }
    *file = opened;
    return InputOk;
}
