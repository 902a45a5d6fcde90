// Children on Windows: CreateProcessW of this program's own file. Each child's pipe ends
// are made inheritable only for its own CreateProcessW call, so that no child holds a
// sibling's pipe. Anonymous pipes cannot be waited on together; they are peeked in turn.
#include "cli/spawn.h"

#include "console/console_win32.h"

#include <windows.h>

namespace {

struct Child {
    HANDLE process = nullptr;
    HANDLE pipe[2] = {nullptr, nullptr}; // stdout, stderr: the reading ends
    HANDLE stop = nullptr;               // the writing end of its stdin: closed to ask it to stop
    bool exited = false;
    int status = 0;
};

std::vector<Child> children;

// One argument quoted so that the child's CommandLineToArgvW gives it back unchanged.
std::string Quoted(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) {
        return argument;
    }
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote escaped.
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        quoted += c;
        backslashes = 0;
    }
    quoted.append(backslashes * 2, '\\'); // before the closing quote
    return quoted + "\"";
}

std::string ErrorText(DWORD code) {
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   text, sizeof text, nullptr);
    std::string result = text;
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r')) {
        result.pop_back();
    }
    return result.empty() ? "error " + std::to_string(code) : result;
}

void CloseAll(std::initializer_list<HANDLE> handles) {
    for (HANDLE handle : handles) {
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
}

// Reads what waits in one pipe; false when nothing did.
bool Drain(size_t index, int stream, ChildOutput onOutput) {
    HANDLE& pipe = children[index].pipe[stream];
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
        CloseHandle(pipe); // the child's end closed: it exited
        pipe = nullptr;
        return true;
    }
    if (available == 0) {
        return false;
    }
    char buffer[4096];
    DWORD got = 0;
    if (ReadFile(pipe, buffer, available < sizeof buffer ? available : sizeof buffer, &got,
                 nullptr) &&
        got > 0) {
        onOutput(static_cast<int>(index), stream == 0 ? ChildStream::Out : ChildStream::Err, buffer,
                 got);
    }
    return true;
}

} // namespace

int SpawnSelf(const std::vector<std::string>& arguments, std::string* error) {
    wchar_t self[MAX_PATH * 4];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
    std::string line = "zuva-flash";
    for (const std::string& argument : arguments) {
        line += " " + Quoted(argument);
    }
    std::wstring commandLine = WideFromUtf8(line);
    HANDLE read[2] = {nullptr, nullptr};
    HANDLE write[2] = {nullptr, nullptr};
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    // Its stdin is a pipe that stays empty: closing our end asks it to stop (StopChildren).
    HANDLE input = nullptr;
    HANDLE stop = nullptr;
    bool ready = length > 0 && length < MAX_PATH * 4 && CreatePipe(&input, &stop, &inherit, 0) &&
                 SetHandleInformation(stop, HANDLE_FLAG_INHERIT, 0);
    for (int s = 0; ready && s < 2; ++s) {
        ready = CreatePipe(&read[s], &write[s], nullptr, 0) &&
                SetHandleInformation(write[s], HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = write[0];
    startup.hStdError = write[1];
    PROCESS_INFORMATION info{};
    ready = ready && CreateProcessW(self, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                    nullptr, &startup, &info);
    DWORD code = GetLastError();
    CloseAll({input, write[0], write[1]});
    if (!ready) {
        CloseAll({read[0], read[1], stop});
        *error = ErrorText(code);
        return -1;
    }
    CloseHandle(info.hThread);
    Child child;
    child.process = info.hProcess;
    child.pipe[0] = read[0];
    child.pipe[1] = read[1];
    child.stop = stop;
    children.push_back(child);
    return static_cast<int>(children.size()) - 1;
}

void PollChildren(int timeoutMs, ChildOutput onOutput) {
    ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
    bool any = false;
    while (!any) {
        for (size_t i = 0; i < children.size(); ++i) {
            for (int s = 0; s < 2; ++s) {
                any = (children[i].pipe[s] != nullptr && Drain(i, s, onOutput)) || any;
            }
        }
        if (any || GetTickCount64() >= end) {
            break;
        }
        Sleep(10);
    }
    for (Child& child : children) {
        DWORD code = 0;
        if (!child.exited && WaitForSingleObject(child.process, 0) == WAIT_OBJECT_0 &&
            GetExitCodeProcess(child.process, &code)) {
            child.exited = true;
            child.status = static_cast<int>(code);
            CloseHandle(child.process);
        }
    }
}

bool ChildDone(int child, int* status) {
    const Child& c = children[static_cast<size_t>(child)];
    *status = c.status;
    return c.exited && c.pipe[0] == nullptr && c.pipe[1] == nullptr;
}

// Ctrl-C and Ctrl-Break reach every process of the console, the children with the
// parent; a parent stopped otherwise (Wine passes SIGINT to it alone) closes the children's
// stdin, which they watch as a stop (signals_win32.cpp).
void StopChildren() {
    for (Child& child : children) {
        if (child.stop != nullptr) {
            CloseHandle(child.stop);
            child.stop = nullptr;
        }
    }
}

FILE* OpenForAppend(const char* path, std::string* error) {
    FILE* file = _wfopen(WideFromUtf8(path).c_str(), L"ab");
    if (file == nullptr) {
        *error = ErrorText(GetLastError());
    }
    return file;
}

bool LiveLinesSupported() {
    HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(handle, &mode) &&
           SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}
