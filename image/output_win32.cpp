// Image output on Windows: see output_platform.h. Names are UTF-8 and reach the system as
// wide strings; the rename is MoveFileEx, which replaces an existing file in one step (the
// temporary file sits beside it, on the same volume).
#include "image/output_platform.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <windows.h>

namespace {

std::wstring Wide(const char* text) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring wide(n > 0 ? static_cast<size_t>(n) : 1, L'\0');
    if (n > 0) {
        MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), n);
    }
    wide.resize(wide.size() - 1);
    return wide;
}

char* Copy(const char* text) {
    const size_t n = std::strlen(text) + 1;
    auto* copy = static_cast<char*>(std::malloc(n));
    if (copy != nullptr) {
        std::memcpy(copy, text, n);
    }
    return copy;
}

void FreeNames(OutputTemp* temp) {
    std::free(temp->name);
    std::free(temp->target);
    temp->name = nullptr;
    temp->target = nullptr;
}

// The folder of path ("." for a bare name).
std::wstring FolderOf(const std::wstring& path) {
    const size_t cut = path.find_last_of(L"\\/");
    return cut == std::wstring::npos ? L"." : path.substr(0, cut == 0 ? 1 : cut);
}

} // namespace

OutputResult CheckOutputTarget(const char* path, int* error) {
    const std::wstring wide = Wide(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        *error = ERROR_DIRECTORY_NOT_SUPPORTED;
        return OutputNotRegular;
    }
    HANDLE probe = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    if (probe != INVALID_HANDLE_VALUE) {
        const DWORD type = GetFileType(probe);
        CloseHandle(probe);
        return type == FILE_TYPE_DISK ? OutputOk : OutputNotRegular; // NUL, CON, COM1, pipes
    }
    // A new name: the folder must take a file.
    const DWORD folder = GetFileAttributesW(FolderOf(wide).c_str());
    if (folder == INVALID_FILE_ATTRIBUTES || (folder & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        *error = static_cast<int>(folder == INVALID_FILE_ATTRIBUTES ? GetLastError()
                                                                    : ERROR_PATH_NOT_FOUND);
        return OutputCantWrite;
    }
    return OutputOk;
}

bool CreateOutputTemp(const char* path, OutputTemp* temp, int* error) {
    temp->target = Copy(path);
    temp->name = Copy((std::string(path) + ".zuva-tmp").c_str());
    HANDLE file = temp->name != nullptr && temp->target != nullptr
                      ? CreateFileW(Wide(temp->name).c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)
                      : INVALID_HANDLE_VALUE;
    const int fd = file != INVALID_HANDLE_VALUE
                       ? _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_BINARY)
                       : -1;
    temp->file = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
    if (temp->file == nullptr) {
        *error = static_cast<int>(GetLastError());
        if (fd >= 0) {
            _close(fd);
            DeleteFileW(Wide(temp->name).c_str());
        }
        FreeNames(temp);
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
    const std::wstring name = Wide(temp->name);
    if (done && MoveFileExW(name.c_str(), Wide(temp->target).c_str(), MOVEFILE_REPLACE_EXISTING)) {
        FreeNames(temp);
        return true;
    }
    *error = done ? static_cast<int>(GetLastError()) : *error;
    DeleteFileW(name.c_str());
    FreeNames(temp);
    return false;
}

void DiscardOutputTemp(OutputTemp* temp) {
    if (temp->file != nullptr) {
        std::fclose(temp->file);
        DeleteFileW(Wide(temp->name).c_str());
    }
    temp->file = nullptr;
    FreeNames(temp);
}

int LastOutputError() {
    return static_cast<int>(GetLastError());
}
