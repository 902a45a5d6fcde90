// Image output on Windows: see output_platform.h. Names are UTF-8 and reach the system as
// wide strings; the rename is MoveFileEx, which replaces an existing file in one step (the
// temporary file sits beside it, on the same volume).
#include "image/output_platform.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <cwchar>
#include <windows.h>

namespace {

// A wide copy of a UTF-8 text (malloc'd, freed by Wide's destructor), with room for a
// suffix: no C++ containers here, since the window's engine links this file.
struct Wide {
    wchar_t* text = nullptr;
    explicit Wide(const char* utf8, const wchar_t* suffix = L"") {
        const int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
        const size_t extra = wcslen(suffix);
        text = n > 0 ? static_cast<wchar_t*>(std::malloc(sizeof(wchar_t) * (n + extra))) : nullptr;
        if (text != nullptr) {
            MultiByteToWideChar(CP_UTF8, 0, utf8, -1, text, n);
            wcscat(text, suffix);
        }
    }
    Wide(const Wide&) = delete;
    Wide& operator=(const Wide&) = delete;
    ~Wide() { std::free(text); }
};

// The attributes of path's folder ("." for a bare name).
DWORD FolderAttributes(const wchar_t* path) {
    const wchar_t* slash = wcsrchr(path, L'\\');
    const wchar_t* other = wcsrchr(path, L'/');
    slash = other > slash ? other : slash;
    if (slash == nullptr) {
        return GetFileAttributesW(L".");
    }
    const size_t n = slash == path ? 1 : static_cast<size_t>(slash - path);
    auto* folder = static_cast<wchar_t*>(std::malloc(sizeof(wchar_t) * (n + 1)));
    if (folder == nullptr) {
        return INVALID_FILE_ATTRIBUTES;
    }
    wcsncpy(folder, path, n);
    folder[n] = L'\0';
    const DWORD attributes = GetFileAttributesW(folder);
    std::free(folder);
    return attributes;
}

} // namespace

OutputResult CheckOutputTarget(const char* path, int* error) {
    const Wide wide(path);
    if (wide.text == nullptr) {
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return OutputCantWrite;
    }
    const DWORD attributes = GetFileAttributesW(wide.text);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        *error = ERROR_ACCESS_DENIED; // what opening a folder to write answers
        return OutputNotRegular;
    }
    HANDLE probe = CreateFileW(wide.text, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    if (probe != INVALID_HANDLE_VALUE) {
        const DWORD type = GetFileType(probe);
        CloseHandle(probe);
        return type == FILE_TYPE_DISK ? OutputOk : OutputNotRegular; // NUL, CON, COM1, pipes
    }
    // A new name: the folder must take a file.
    const DWORD folder = FolderAttributes(wide.text);
    if (folder == INVALID_FILE_ATTRIBUTES || (folder & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        *error = static_cast<int>(folder == INVALID_FILE_ATTRIBUTES ? GetLastError()
                                                                    : ERROR_PATH_NOT_FOUND);
        return OutputCantWrite;
    }
    return OutputOk;
}

bool CreateOutputTemp(const char* path, OutputTemp* temp, int* error) {
    temp->target = CopyOutputName(path);
    temp->name = CopyOutputName(path, ".zuva-tmp");
    const Wide name(temp->name != nullptr ? temp->name : "");
    HANDLE file = name.text != nullptr && temp->target != nullptr
                      ? CreateFileW(name.text, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr)
                      : INVALID_HANDLE_VALUE;
    const int fd = file != INVALID_HANDLE_VALUE
                       ? _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_BINARY)
                       : -1;
    temp->file = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
    if (temp->file == nullptr) {
        *error = static_cast<int>(GetLastError());
        if (fd >= 0) {
            _close(fd);
            DeleteFileW(name.text);
        }
        FreeOutputNames(temp);
        return false;
    }
    return true;
}

bool CommitOutputTemp(OutputTemp* temp, int* error) {
    bool done = std::fflush(temp->file) == 0 &&
                FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(temp->file))));
    *error = static_cast<int>(GetLastError());
    done = std::fclose(temp->file) == 0 && done;
    temp->file = nullptr;
    const Wide name(temp->name);
    const Wide target(temp->target);
    if (done && name.text != nullptr && target.text != nullptr &&
        MoveFileExW(name.text, target.text, MOVEFILE_REPLACE_EXISTING)) {
        FreeOutputNames(temp);
        return true;
    }
    *error = done ? static_cast<int>(GetLastError()) : *error;
    if (name.text != nullptr) {
        DeleteFileW(name.text);
    }
    FreeOutputNames(temp);
    return false;
}

void DiscardOutputTemp(OutputTemp* temp) {
    if (temp->file != nullptr) {
        std::fclose(temp->file);
        const Wide name(temp->name);
        if (name.text != nullptr) {
            DeleteFileW(name.text);
        }
    }
    temp->file = nullptr;
    FreeOutputNames(temp);
}

int LastOutputError() {
    return static_cast<int>(GetLastError());
}
