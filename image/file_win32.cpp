// Windows: paths arrive as UTF-8 and are opened by their wide names, so that names outside
// the ANSI code page work. A regular file is one on disk that is not a directory; consoles,
// pipes and devices (CON, NUL, COM1, \\.\pipe\...) are refused.
#include "image/input.h"

#include <io.h>
#include <windows.h>

#include <string>

namespace {

// The UTF-16 form of a UTF-8 path; empty when it is not valid UTF-8.
std::wstring WidePath(const char* path) {
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (n <= 0) {
        return {};
    }
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide.data(), n);
    wide.resize(static_cast<size_t>(n - 1));
    return wide;
}

bool IsRegular(FILE* file) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    BY_HANDLE_FILE_INFORMATION info;
    return handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_DISK &&
           GetFileInformationByHandle(handle, &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

} // namespace

InputResult OpenInputFile(const char* path, FILE** file) {
    *file = nullptr;
    const std::wstring wide = WidePath(path);
    if (wide.empty()) {
        return InputCantOpen;
    }
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return InputNotRegular;
    }
    FILE* opened = _wfopen(wide.c_str(), L"rb");
    if (opened == nullptr) {
        return InputCantOpen;
    }
    if (!IsRegular(opened)) {
        fclose(opened);
        return InputNotRegular;
    }
    *file = opened;
    return InputOk;
}
