// Drives the real ZuvaFlash.exe from another process, as a user would, and checks what
// the window shows. Every check prints what it expected and what it found.
//
// Usage: gui_driver SCENARIO ZUVAFLASH.EXE [ARG...]
//   noports EXE                 no serial port: empty list, Flash stays disabled; an
//                               adapter plugged in (and out) while the window is open
//   normal EXE IMAGE BADFILE LONGTEXT
//                               enable rule, Escape, a path cut at 259 characters, the
//                               keyboard (typing, Tab, mnemonics, arrows, Enter) for a good
//                               run during which a port arrives and a file is dropped, a
//                               bad file, a port that does not exist, close
//   failure EXE IMAGE TEXT      one run that must end in an "Error" box showing TEXT
//   abort EXE IMAGE             close the window during a run
//   update-noports EXE          an updater without ports: Update stays disabled
//   update EXE DESCRIPTION FILE an updater given FILE: update mode, no file taken, one run
//   browse EXE FILE             the file picker: filters, Cancel, a chosen file; FILE
//                               given on the command line and dropped on the window
//   pose EXE STAGE FILE         holds the window still for a screenshot (see Pose)
#include <windows.h>
#include <commctrl.h>
#include <dbt.h>
#include <shlobj.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "ui/centring.h"
#include "ui/resource.h"

namespace {

int failures = 0;
constexpr DWORD kMessageTimeoutMs = 2000;

void Check(bool ok, const char* what, const std::string& expected, const std::string& found) {
    std::printf("%s %s: expected %s, found %s\n", ok ? "PASS" : "FAIL", what, expected.c_str(),
                found.c_str());
    std::fflush(stdout);
    if (!ok) {
        ++failures;
    }
}

void CheckText(const char* what, const std::string& expected, const std::string& found) {
    Check(expected == found, what, "\"" + expected + "\"", "\"" + found + "\"");
}

void CheckFlag(const char* what, bool expected, bool found) {
    Check(expected == found, what, expected ? "yes" : "no", found ? "yes" : "no");
}

void CheckNumber(const char* what, long long expected, long long found) {
    Check(expected == found, what, std::to_string(expected), std::to_string(found));
}

// A message to another process's window that cannot hang the driver.
LRESULT Ask(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutA(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kMessageTimeoutMs,
                             &answer)) {
        return -1000;
    }
    return static_cast<LRESULT>(answer);
}

std::string TextOf(HWND window) {
    char text[512] = "";
    Ask(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    return text;
}

// Asks probe until it answers expected or 5 s have passed; its last answer. Keys and
// drops are posted: they take effect when the dialog's thread gets to them.
template <typename T, typename Probe> T WaitFor(const T& expected, Probe probe) {
    T found = probe();
    for (int waited = 0; found != expected && waited < 5000; waited += 20) {
        Sleep(20);
        found = probe();
    }
    return found;
}

struct Program {
    PROCESS_INFORMATION process{};
    HWND dialog = nullptr;
};

struct WindowSearch {
    DWORD processId;
    HWND exclude;
    HWND found;
};

BOOL CALLBACK MatchDialogWindow(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<WindowSearch*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char className[32] = "";
    GetClassNameA(window, className, sizeof className);
    if (owner == search->processId && window != search->exclude && IsWindowVisible(window) &&
        std::strcmp(className, "#32770") == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// A visible top-level dialog-class window of the process other than exclude.
HWND FindDialogWindow(DWORD processId, HWND exclude) {
    WindowSearch search{processId, exclude, nullptr};
    EnumWindows(MatchDialogWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitForDialogWindow(DWORD processId, HWND exclude, DWORD timeoutMs) {
    for (DWORD waited = 0;; waited += 20) {
        HWND found = FindDialogWindow(processId, exclude);
        if (found != nullptr || waited >= timeoutMs) {
            return found;
        }
        Sleep(20);
    }
}

// Starts the program with args behind its name on the command line, in folder (null: the
// driver's own).
bool Start(const char* exe, Program* program, const std::string& args = "",
           const char* folder = nullptr) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    std::string commandLine = std::string("\"") + exe + "\"" + (args.empty() ? "" : " ") + args;
    if (!CreateProcessA(exe, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder,
                        &startup, &program->process)) {
        std::printf("FAIL start %s: error %lu\n", exe, GetLastError());
        ++failures;
        return false;
    }
    WaitForInputIdle(program->process.hProcess, 10000);
    program->dialog = WaitForDialogWindow(program->process.dwProcessId, nullptr, 10000);
    Check(program->dialog != nullptr, "dialog window appears", "a window",
          program->dialog ? "one" : "none");
    return program->dialog != nullptr;
}

HWND Control(const Program& program, int id) {
    return GetDlgItem(program.dialog, id);
}

// Waits for the process to end; its exit code, or -1000 if it did not end in time.
long long WaitForExit(Program& program, DWORD timeoutMs) {
    if (WaitForSingleObject(program.process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(program.process.hProcess, 99);
        return -1000;
    }
    DWORD code = 0;
    GetExitCodeProcess(program.process.hProcess, &code);
    CloseHandle(program.process.hProcess);
    CloseHandle(program.process.hThread);
    return static_cast<int>(code);
}

void CloseAndExpectStatusZero(Program& program) {
    PostMessageA(program.dialog, WM_CLOSE, 0, 0);
    CheckNumber("exit status after WM_CLOSE", 0, WaitForExit(program, 10000));
}

void CheckTitle(const Program& program) {
    char title[128] = "";
    GetWindowTextA(program.dialog, title, sizeof title);
    CheckText("window title", "Zuva FLASH programmer v.1.1", title);
}

void SetFileField(const Program& program, const char* text) {
    SetDlgItemTextA(program.dialog, IDC_FILE_FIELD, text);
}

bool FlashEnabled(const Program& program) {
    return IsWindowEnabled(Control(program, IDC_FLASH)) != FALSE;
}

// What the inputs look like: enabled flags of the four controls a run locks.
struct InputState {
    bool flash;
    bool ports;
    bool file;
    bool browse;
};

InputState Inputs(const Program& program) {
    return {IsWindowEnabled(Control(program, IDC_FLASH)) != FALSE,
            IsWindowEnabled(Control(program, IDC_PORT_LIST)) != FALSE,
            IsWindowEnabled(Control(program, IDC_FILE_FIELD)) != FALSE,
            IsWindowEnabled(Control(program, IDC_BROWSE)) != FALSE};
}

void CheckInputs(const char* when, const InputState& found, const InputState& expected) {
    std::string prefix = std::string(when) + ": ";
    CheckFlag((prefix + "Flash button enabled").c_str(), expected.flash, found.flash);
    CheckFlag((prefix + "port list enabled").c_str(), expected.ports, found.ports);
    CheckFlag((prefix + "file field enabled").c_str(), expected.file, found.file);
    CheckFlag((prefix + "browse button enabled").c_str(), expected.browse, found.browse);
}

// The control of the dialog's thread that has the keyboard focus, by name.
std::string FocusName(const Program& program) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(program.process.dwThreadId, &info) || info.hwndFocus == nullptr) {
        return "nothing";
    }
    const struct {
        int id;
        const char* name;
    } controls[] = {{IDC_FLASH, "Flash button"},
                    {IDC_PORT_LIST, "port list"},
                    {IDC_FILE_FIELD, "file field"},
                    {IDC_BROWSE, "browse button"}};
    for (const auto& control : controls) {
        if (info.hwndFocus == Control(program, control.id)) {
            return control.name;
        }
    }
    char className[32] = "";
    GetClassNameA(info.hwndFocus, className, sizeof className);
    return std::string("a window of class ") + className + " (control " +
           std::to_string(GetDlgCtrlID(info.hwndFocus)) + ")";
}

struct RunObservation {
    long maxProgress = 0;
    int progressSteps = 0; // distinct positions seen
    bool sawInputs = false;
    InputState duringRun{};
    HWND box = nullptr;
};

// How a run is started and what else is tried while its box is up.
constexpr int kClick = 0;
constexpr int kPressEnter = 1;   // Enter in the focused control: the default button
constexpr int kMoveBoxAgain = 2; // move the box by hand and activate it again

// The control of the dialog's thread that has the keyboard focus, or the dialog.
HWND FocusedWindow(const Program& program) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(program.process.dwThreadId, &info);
    return info.hwndFocus != nullptr ? info.hwndFocus : program.dialog;
}

// A key as the keyboard delivers it to the focused control: the dialog manager takes Tab,
// Enter (the default button's command) and Escape from there, a list its arrow keys.
void PressKey(const Program& program, WPARAM key) {
    HWND target = FocusedWindow(program);
    LPARAM scan = static_cast<LPARAM>(MapVirtualKeyA(static_cast<UINT>(key), MAPVK_VK_TO_VSC));
    PostMessageA(target, WM_KEYDOWN, key, 1 | (scan << 16));
    PostMessageA(target, WM_KEYUP, key, 1 | (scan << 16) | 0xC0000000);
}

// Alt and a letter, as TranslateMessage hands it on: the labels' mnemonics.
void PressAlt(const Program& program, char letter) {
    PostMessageA(FocusedWindow(program), WM_SYSCHAR, static_cast<WPARAM>(letter), 0x20000001);
}

void Type(const Program& program, const std::string& text) {
    HWND target = FocusedWindow(program);
    for (char c : text) {
        PostMessageA(target, WM_CHAR, static_cast<unsigned char>(c), 1);
    }
}

// Waits until the dialog's thread has handled everything posted to it before: its posted
// messages are handled in order, and the bar's position can be watched.
void Fence(const Program& program) {
    HWND bar = Control(program, IDC_PROGRESS);
    PostMessageA(bar, PBM_SETPOS, 7, 0);
    WaitFor(7L, [&] { return static_cast<long>(Ask(bar, PBM_GETPOS)); });
    Ask(bar, PBM_SETPOS, 0);
}

// Presses the button as a click would arrive (posted: a sent click would not return
// until the run ends) and watches the run until the result box comes up. duringRun, when
// given, is done once, as soon as the run has moved the bar.
RunObservation PressAndWatch(const Program& program, DWORD timeoutMs, int how,
                             const std::function<void()>& duringRun) {
    RunObservation seen;
    if (how & kPressEnter) {
        PressKey(program, VK_RETURN);
    } else {
        PostMessageA(Control(program, IDC_FLASH), BM_CLICK, 0, 0);
    }
    HWND bar = Control(program, IDC_PROGRESS);
    long last = 0;
    for (DWORD waited = 0; waited < timeoutMs && seen.box == nullptr; waited += 10) {
        long position = static_cast<long>(Ask(bar, PBM_GETPOS));
        if (position > 0 && position != last) {
            ++seen.progressSteps;
            last = position;
            if (!seen.sawInputs) {
                seen.duringRun = Inputs(program);
                seen.sawInputs = true;
                if (duringRun) {
                    duringRun();
                }
            }
        }
        if (position > seen.maxProgress) {
            seen.maxProgress = position;
        }
        seen.box = FindDialogWindow(program.process.dwProcessId, program.dialog);
        Sleep(10);
    }
    return seen;
}

std::string BoxCaption(HWND box) {
    char caption[64] = "";
    GetWindowTextA(box, caption, sizeof caption);
    return caption;
}

std::string BoxText(HWND box) {
    return TextOf(GetDlgItem(box, 0xFFFF));
}

ScreenRect RectOf(HWND window) {
    RECT r{};
    GetWindowRect(window, &r);
    return {r.left, r.top, r.right, r.bottom};
}

std::string Corner(int32_t x, int32_t y) {
    return std::to_string(x) + "," + std::to_string(y);
}

// The box must sit where the centring rule puts it over the dialog, which was the
// foreground window when the box opened.
void CheckBoxCentred(const Program& program, HWND box) {
    ScreenRect boxRect = RectOf(box);
    ScreenPoint expected = CentreBox(RectOf(GetDesktopWindow()), RectOf(program.dialog), boxRect);
    bool ok = boxRect.left == expected.x && boxRect.top == expected.y;
    Check(ok, "message box centred on the dialog", Corner(expected.x, expected.y),
          Corner(boxRect.left, boxRect.top));
    ScreenRect desktop = RectOf(GetDesktopWindow());
    bool onScreen = boxRect.left >= 0 && boxRect.top >= 0 && boxRect.right <= desktop.right &&
                    boxRect.bottom <= desktop.bottom;
    Check(onScreen, "message box within the screen",
          "inside " + Corner(desktop.right, desktop.bottom),
          Corner(boxRect.left, boxRect.top) + " to " + Corner(boxRect.right, boxRect.bottom));
}

// A window of the driver's own, to take the activation away from the box and give it back.
HWND MakeDecoy() {
    return CreateWindowExA(0, "STATIC", "decoy", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50, nullptr,
                           nullptr, GetModuleHandleA(nullptr), nullptr);
}

void Pump() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageA(&message);
    }
}

// The box is placed once: moved by hand and activated again, it stays where it was put.
void CheckBoxMovedOnlyOnce(HWND box) {
    SetWindowPos(box, nullptr, 5, 5, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    HWND decoy = MakeDecoy();
    SetForegroundWindow(decoy);
    Pump();
    Sleep(200);
    SetForegroundWindow(box);
    Sleep(300);
    CheckFlag("box active again", true, GetForegroundWindow() == box);
    ScreenRect r = RectOf(box);
    Check(r.left == 5 && r.top == 5, "box left where it was moved after a new activation", "5,5",
          Corner(r.left, r.top));
    DestroyWindow(decoy);
    Pump();
}

bool WaitUntilGone(HWND window, DWORD timeoutMs) {
    for (DWORD waited = 0; waited < timeoutMs; waited += 20) {
        if (!IsWindow(window) || !IsWindowVisible(window)) {
            return true;
        }
        Sleep(20);
    }
    return false;
}

void DismissBox(HWND box) {
    PostMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    bool gone = WaitUntilGone(box, 5000);
    Check(gone, "box dismissed with OK", "gone", gone ? "gone" : "still up");
    Sleep(200); // OnFlash finishes its last steps once MessageBoxA has returned
}

// Puts the dialog somewhere else than the screen's centre, where the system would put the
// box anyway, so that the centring check means something.
void MoveDialog(const Program& program, int x, int y) {
    SetWindowPos(program.dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    Sleep(100);
}

// What the box must say below a result, one row for each result the scenarios bring
// about: a phrase of the engine's explanation, which names the run's own port, file or
// address around it; a success says nothing more.
std::string ExpectedDetail(const std::string& result) {
    const struct {
        const char* result;
        const char* detail;
    } details[] = {
        {"Finished OK", ""},
        {"Invalid file format", "the extension names no image format. Use bin or exe (raw), hex"},
        {"Can't open port", ". Check that the adapter is plugged in"},
        {"Communication error", "The chip did not take the block at 0x0800"},
    };
    for (const auto& row : details) {
        if (result == row.result) {
            return row.detail;
        }
    }
    return "(no row for this result in ExpectedDetail)";
}

// The result's own line comes first, exactly; the cause and the next step follow after a
// blank line.
void CheckBoxText(HWND box, const std::string& result) {
    std::string text = BoxText(box);
    size_t end = text.find("\n\n");
    CheckText("box text, first line", result, text.substr(0, end));
    std::string below = end == std::string::npos ? "" : text.substr(end + 2);
    std::string expected = ExpectedDetail(result);
    bool ok = expected.empty() ? below.empty() : below.find(expected) != std::string::npos;
    Check(ok, "box text below the result",
          expected.empty() ? "(nothing)" : "..." + expected + "...", below);
}

// One run from the button to the dismissed box: the box's caption and text, the locked
// inputs during the run and the idle state afterwards.
void RunAndExpect(const Program& program, bool updateMode, const char* caption, const char* text,
                  bool expectProgress, int how = kClick,
                  const std::function<void()>& duringRun = nullptr) {
    RunObservation seen = PressAndWatch(program, 60000, how, duringRun);
    Check(seen.box != nullptr, "result box appears", "a box", seen.box ? "a box" : "none");
    if (seen.box == nullptr) {
        return;
    }
    if (expectProgress) {
        Check(seen.progressSteps >= 2, "progress bar moves during the run", ">= 2 positions",
              std::to_string(seen.progressSteps));
        CheckNumber("progress bar full at the end", 100,
                    Ask(Control(program, IDC_PROGRESS), PBM_GETPOS));
        if (seen.sawInputs) {
            CheckInputs("during the run", seen.duringRun, {false, false, updateMode, updateMode});
        }
    }
    CheckInputs("while the box is up", Inputs(program), {false, false, updateMode, updateMode});
    CheckText("box caption", caption, BoxCaption(seen.box));
    CheckBoxText(seen.box, text);
    CheckBoxCentred(program, seen.box);
    if (how & kMoveBoxAgain) {
        CheckBoxMovedOnlyOnce(seen.box);
    }
    // The dialog is activated again as the box goes: a hook left behind would move it.
    ScreenRect before = RectOf(program.dialog);
    DismissBox(seen.box);
    ScreenRect after = RectOf(program.dialog);
    Check(before.left == after.left && before.top == after.top, "dialog stays put after the box",
          Corner(before.left, before.top), Corner(after.left, after.top));
    CheckNumber("progress bar after OK", 0, Ask(Control(program, IDC_PROGRESS), PBM_GETPOS));
    // In update mode the hidden browse button is never disabled.
    CheckInputs("after OK", Inputs(program), {true, true, true, true});
    CheckText("keyboard focus after OK", "Flash button", FocusName(program));
}

void CheckEscapeIgnored(const Program& program) {
    PressKey(program, VK_ESCAPE);
    PostMessageA(program.dialog, WM_COMMAND, IDCANCEL, 0);
    Sleep(500);
    bool alive = WaitForSingleObject(program.process.hProcess, 0) == WAIT_TIMEOUT;
    CheckFlag("window stays after Escape and IDCANCEL", true,
              alive && IsWindowVisible(program.dialog));
}

// Wine hands list texts across processes in UTF-16 whatever the caller's character set.
std::string ListEntry(HWND list, int index) {
    WCHAR wide[256] = L"";
    if (Ask(list, CB_GETLBTEXTLEN, index) >= 256) {
        return "(too long)";
    }
    DWORD_PTR answer = 0;
    SendMessageTimeoutW(list, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(wide), SMTO_ABORTIFHUNG,
                        kMessageTimeoutMs, &answer);
    char text[512] = "";
    WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
    return text;
}

// A USB adapter the test plugs in: a port instance under the test's own enumerator key,
// which gui_test.sh removes at the end. Device "AAA" sorts before the other test ports, so
// the new port comes first in the list and moves the others down.
constexpr char kPluggedKey[] = "SYSTEM\\CurrentControlSet\\Enum\\ZUVATEST\\AAA\\0000";
constexpr char kPluggedName[] = "USB Serial Port (COM13)";

void PlugPort(bool plugged) {
    if (!plugged) {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kPluggedKey);
        return;
    }
    HKEY key = nullptr;
    LONG error = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kPluggedKey, 0, nullptr, 0, KEY_WRITE, nullptr,
                                 &key, nullptr);
    CheckNumber("plugged port written to the registry (error)", 0, error);
    const char* values[][2] = {
        {"CLASS", "Ports"}, {"PORTNAME", "COM13"}, {"FRIENDLYNAME", kPluggedName}};
    for (const auto& value : values) {
        RegSetValueExA(key, value[0], 0, REG_SZ, reinterpret_cast<const BYTE*>(value[1]),
                       static_cast<DWORD>(std::strlen(value[1]) + 1));
    }
    RegCloseKey(key);
}

// What the system sends every top-level window when a COM port arrives or leaves. Sent:
// it has been handled when this returns.
void AnnouncePort(const Program& program, WPARAM event) {
    union {
        DEV_BROADCAST_PORT_A port;
        char bytes[sizeof(DEV_BROADCAST_PORT_A) + 8];
    } message{};
    message.port.dbcp_size = sizeof message;
    message.port.dbcp_devicetype = DBT_DEVTYP_PORT;
    std::memcpy(message.bytes + offsetof(DEV_BROADCAST_PORT_A, dbcp_name), "COM13", 6);
    Ask(program.dialog, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&message));
}

// The port list: its entries and the selected entry's text.
std::string PortListState(const Program& program) {
    HWND ports = Control(program, IDC_PORT_LIST);
    LRESULT selected = Ask(ports, CB_GETCURSEL);
    return std::to_string(Ask(ports, CB_GETCOUNT)) + " entries, selected: " +
           (selected >= 0 ? ListEntry(ports, static_cast<int>(selected)) : "none");
}

// A file dropped from Explorer: the system hands the window a DROPFILES block in the
// window's own process, with wide names as on NT; the driver writes one there itself.
// DragFinish cannot free a block that GlobalAlloc did not make: Wine's heap refuses it
// quietly, and the block stays until the program ends. It starts 64 bytes into its pages,
// where the heap's look at the bytes before a block finds memory.
void DropFile(const Program& program, const char* path) {
    WCHAR name[MAX_PATH] = L"";
    MultiByteToWideChar(CP_ACP, 0, path, -1, name, MAX_PATH);
    constexpr size_t kStart = 64;
    size_t nameBytes = (wcslen(name) + 2) * sizeof(WCHAR); // the list ends with an empty name
    std::string block(kStart + sizeof(DROPFILES) + nameBytes, '\0');
    DROPFILES header{};
    header.pFiles = sizeof header;
    header.fWide = TRUE;
    std::memcpy(&block[kStart], &header, sizeof header);
    std::memcpy(&block[kStart + sizeof header], name, nameBytes - sizeof(WCHAR));
    void* remote = VirtualAllocEx(program.process.hProcess, nullptr, block.size(),
                                  MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    bool written = remote != nullptr && WriteProcessMemory(program.process.hProcess, remote,
                                                           block.data(), block.size(), nullptr);
    CheckFlag("drop written into the program", true, written);
    if (!written) {
        return;
    }
    PostMessageA(program.dialog, WM_DROPFILES,
                 reinterpret_cast<WPARAM>(static_cast<char*>(remote) + kStart), 0);
}

int NoPorts(const char* exe) {
    Program program;
    if (!Start(exe, &program)) {
        return 1;
    }
    CheckTitle(program);
    HWND ports = Control(program, IDC_PORT_LIST);
    CheckNumber("port list entries", 0, Ask(ports, CB_GETCOUNT));
    CheckNumber("port list selection", CB_ERR, Ask(ports, CB_GETCURSEL));
    CheckFlag("Flash enabled at start", false, FlashEnabled(program));
    SetFileField(program, "C:\\firmware.bin");
    CheckFlag("Flash enabled with a file but no port", false, FlashEnabled(program));

    // An adapter plugged in while the window is open; some announce only that the
    // device tree changed. Then it is pulled out.
    PlugPort(true);
    Ask(program.dialog, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    CheckText("port list after an adapter is plugged in",
              std::string("1 entries, selected: ") + kPluggedName, PortListState(program));
    CheckFlag("Flash enabled once the port is there", true, FlashEnabled(program));
    PlugPort(false);
    AnnouncePort(program, DBT_DEVICEREMOVECOMPLETE);
    CheckText("port list after it is pulled out", "0 entries, selected: none",
              PortListState(program));
    CheckFlag("Flash enabled after the port left", false, FlashEnabled(program));
    CloseAndExpectStatusZero(program);
    return failures;
}

// The test registry holds two ports: COM12 (the simulator) and one named "COMX", which
// the dialog must give the defined port number 0.
void CheckStartState(const Program& program) {
    CheckTitle(program);
    HWND ports = Control(program, IDC_PORT_LIST);
    CheckNumber("port list entries", 2, Ask(ports, CB_GETCOUNT));
    CheckNumber("first port selected", 0, Ask(ports, CB_GETCURSEL));
    CheckText("first entry shows the friendly name", "Zuva test port (COM12)", ListEntry(ports, 0));
    CheckNumber("first entry's port number", 12, Ask(ports, CB_GETITEMDATA, 0));
    CheckNumber("port number of a name that is not COM and a number", 0,
                Ask(ports, CB_GETITEMDATA, 1));
    CheckText("file label", "&File", TextOf(Control(program, IDC_FILE_LABEL)));
    CheckText("button text", "Flash", TextOf(Control(program, IDC_FLASH)));
    CheckText("keyboard focus at start", "file field", FocusName(program));
    CheckFlag("browse button visible", true, IsWindowVisible(Control(program, IDC_BROWSE)));
    CheckFlag("Flash enabled with an empty file field", false, FlashEnabled(program));
    CheckNumber("progress bar at start", 0, Ask(Control(program, IDC_PROGRESS), PBM_GETPOS));
}

void CheckEnableRule(const Program& program) {
    SetFileField(program, "x");
    CheckFlag("Flash enabled after one character", true, FlashEnabled(program));
    SetFileField(program, "");
    CheckFlag("Flash enabled after the text is deleted", false, FlashEnabled(program));
    SetFileField(program, "D:\\fw\\image.hex");
    CheckFlag("Flash enabled with a full path", true, FlashEnabled(program));
}

std::string Focus(const Program& program, const std::string& expected) {
    return WaitFor(expected, [&] { return FocusName(program); });
}

// A keyboard-only user: Alt+F and typing fill the file field, Tab visits file, browse,
// port and Flash in that order, Alt+P and the arrow keys choose a port. The focus ends in
// the port list, from where Enter flashes.
void UseKeyboard(const Program& program, const std::string& image) {
    PressAlt(program, 'f');
    CheckText("focus after Alt+F", "file field", Focus(program, "file field"));
    Type(program, image); // replaces the text, which Alt+F selected
    CheckText("file field after typing", image,
              WaitFor(image, [&] { return TextOf(Control(program, IDC_FILE_FIELD)); }));
    for (const char* next : {"browse button", "port list", "Flash button", "file field"}) {
        PressKey(program, VK_TAB);
        CheckText("focus after Tab", next, Focus(program, next));
    }
    PressAlt(program, 'p');
    CheckText("focus after Alt+P", "port list", Focus(program, "port list"));
    HWND ports = Control(program, IDC_PORT_LIST);
    const struct {
        WPARAM key;
        LRESULT entry;
    } arrows[] = {{VK_DOWN, 1}, {VK_UP, 0}};
    for (const auto& arrow : arrows) {
        PressKey(program, arrow.key);
        CheckNumber("port chosen with an arrow key", arrow.entry,
                    WaitFor(arrow.entry, [&] { return Ask(ports, CB_GETCURSEL); }));
    }
    CheckFlag("Flash enabled after choosing by keyboard", true, FlashEnabled(program));
}

int Normal(const char* exe, const char* image, const char* badFile, const char* longText) {
    Program program;
    if (!Start(exe, &program)) {
        return 1;
    }
    CheckStartState(program);
    CheckEnableRule(program);
    CheckEscapeIgnored(program);

    // The field holds more than 259 characters; the first 259 name a real image.
    SetFileField(program, longText);
    RunAndExpect(program, false, "Info", "Finished OK", false);

    UseKeyboard(program, image);
    MoveDialog(program, 20, 40);
    // An adapter plugged in and a file dropped during the run change nothing until the run
    // is over; then the new port is listed, the chosen one still chosen.
    std::string portsBefore = PortListState(program);
    RunAndExpect(program, false, "Info", "Finished OK", true, kPressEnter, [&] {
        PlugPort(true);
        AnnouncePort(program, DBT_DEVICEARRIVAL);
        DropFile(program, badFile);
        CheckText("port list during the run", portsBefore, PortListState(program));
    });
    CheckText("file field keeps its path", image, TextOf(Control(program, IDC_FILE_FIELD)));
    std::string portsAfter = "3 entries, selected: Zuva test port (COM12)";
    CheckText("port list after the run", portsAfter,
              WaitFor(portsAfter, [&] { return PortListState(program); }));
    PlugPort(false);
    AnnouncePort(program, DBT_DEVICEREMOVECOMPLETE);
    CheckText("port list after the adapter left", portsBefore, PortListState(program));

    // Half off the right edge: the box is kept on the screen.
    RECT desktop{};
    GetWindowRect(GetDesktopWindow(), &desktop);
    MoveDialog(program, desktop.right - 150, desktop.bottom - 60);
    SetFileField(program, badFile);
    RunAndExpect(program, false, "Error", "Invalid file format", false);

    // Port 0 does not exist anywhere: the odd entry fails cleanly.
    SetFileField(program, image);
    Ask(Control(program, IDC_PORT_LIST), CB_SETCURSEL, 1);
    RunAndExpect(program, false, "Error", "Can't open port", false);

    CloseAndExpectStatusZero(program);
    return failures;
}

int Failure(const char* exe, const char* image, const char* text) {
    Program program;
    if (!Start(exe, &program)) {
        return 1;
    }
    SetFileField(program, image);
    MoveDialog(program, 300, 500);
    RunAndExpect(program, false, "Error", text, false, kPressEnter | kMoveBoxAgain);
    CloseAndExpectStatusZero(program);
    return failures;
}

int Abort(const char* exe, const char* image) {
    Program program;
    if (!Start(exe, &program)) {
        return 1;
    }
    SetFileField(program, image);
    PostMessageA(Control(program, IDC_FLASH), BM_CLICK, 0, 0);
    long position = 0;
    for (int i = 0; i < 3000 && position < 10; ++i) {
        position = static_cast<long>(Ask(Control(program, IDC_PROGRESS), PBM_GETPOS));
        Sleep(10);
    }
    Check(position >= 10 && position < 100, "run under way before the close", "10..99",
          std::to_string(position));
    // Close as the close box does: the system command, which the default dialog handling
    // turns into WM_CLOSE while the run's pump dispatches it.
    PostMessageA(program.dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    // No result box may come up while the run winds down.
    HWND box = nullptr;
    for (int i = 0; i < 500 && WaitForSingleObject(program.process.hProcess, 10) == WAIT_TIMEOUT;
         ++i) {
        if (box == nullptr) {
            box = FindDialogWindow(program.process.dwProcessId, program.dialog);
        }
    }
    CheckText("box shown after closing during a run", "",
              box != nullptr ? BoxCaption(box) + ": " + BoxText(box) : "");
    CheckNumber("exit status after closing during a run", 0, WaitForExit(program, 10000));
    return failures;
}

// An updater on a machine without serial ports: nothing to program through.
int UpdateNoPorts(const char* exe) {
    Program program;
    if (!Start(exe, &program)) {
        return 1;
    }
    CheckText("button text", "Update", TextOf(Control(program, IDC_FLASH)));
    CheckFlag("Update enabled without a port", false, FlashEnabled(program));
    CloseAndExpectStatusZero(program);
    return failures;
}

// file: a file given on the command line and dropped on the window, which an updater
// ignores both times.
int Update(const char* exe, const char* description, const char* file) {
    Program program;
    if (!Start(exe, &program, std::string("\"") + file + "\"")) {
        return 1;
    }
    CheckTitle(program);
    CheckText("button text", "Update", TextOf(Control(program, IDC_FLASH)));
    CheckText("file label", "Info", TextOf(Control(program, IDC_FILE_LABEL)));
    CheckText("file field shows the description", description,
              TextOf(Control(program, IDC_FILE_FIELD)));
    CheckFlag("browse button visible", false, IsWindowVisible(Control(program, IDC_BROWSE)));
    LONG style = GetWindowLongA(Control(program, IDC_FILE_FIELD), GWL_STYLE);
    CheckFlag("file field read-only", true, (style & ES_READONLY) != 0);
    CheckFlag("Update enabled at start", true, FlashEnabled(program));
    CheckText("keyboard focus at start", "port list", FocusName(program));
    PostMessageA(Control(program, IDC_FILE_FIELD), WM_CHAR, 'x', 0);
    DropFile(program, file);
    Fence(program);
    CheckText("file field after typing and a drop", description,
              TextOf(Control(program, IDC_FILE_FIELD)));
    MoveDialog(program, 60, 400);
    RunAndExpect(program, true, "Info", "Finished OK", true);
    CloseAndExpectStatusZero(program);
    return failures;
}

// Sets the window up for a screenshot, prints READY with the dialog's rectangle, holds
// the pose for a while, then dismisses any result box and closes the window.
//   idle: FILE in the file field; run: FILE being programmed, at 40 % or more;
//   result: the result box of that run; update: the window as it comes up.
int Pose(const char* exe, const std::string& stage, const char* file) {
    Program program;
    if (!Start(exe, &program)) {
        return 1;
    }
    if (stage != "update") {
        SetFileField(program, file);
    }
    if (stage == "run" || stage == "result") {
        PostMessageA(Control(program, IDC_FLASH), BM_CLICK, 0, 0);
        for (int i = 0; i < 3000 && Ask(Control(program, IDC_PROGRESS), PBM_GETPOS) < 40; ++i) {
            Sleep(5);
        }
    }
    if (stage == "result") {
        WaitForDialogWindow(program.process.dwProcessId, program.dialog, 60000);
    }
    Sleep(300); // let the window repaint
    ScreenRect r = RectOf(program.dialog);
    std::printf("READY %d %d %d %d\n", r.left, r.top, r.right, r.bottom);
    std::fflush(stdout);
    Sleep(2000);
    HWND box = WaitForDialogWindow(program.process.dwProcessId, program.dialog,
                                   stage == "run" ? 60000 : 0);
    if (box != nullptr) {
        DismissBox(box);
    }
    CloseAndExpectStatusZero(program);
    return failures;
}

// The file picker: a child dialog of the process with the file name box (cmb13, 0x47C),
// the file type list (cmb1, 0x470) and OK/Cancel.
constexpr int kPickerFileName = 0x47C;
constexpr int kPickerFileType = 0x470;

HWND OpenPicker(const Program& program) {
    PostMessageA(Control(program, IDC_BROWSE), BM_CLICK, 0, 0);
    HWND picker = WaitForDialogWindow(program.process.dwProcessId, program.dialog, 10000);
    Check(picker != nullptr, "file picker opens", "a picker", picker ? "a picker" : "none");
    Sleep(300); // the picker fills its lists after it shows
    return picker;
}

void ClosePicker(HWND picker, int button) {
    PostMessageA(picker, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
    bool gone = WaitUntilGone(picker, 10000);
    Check(gone, "file picker closes", "gone", gone ? "gone" : "still up");
    Sleep(200);
}

// The program's one argument: a file fills the file field, a name in the current folder
// as its full path; anything else is ignored. file is a full path.
void CheckGivenFiles(const char* exe, const std::string& file) {
    std::string folder = file.substr(0, file.rfind('\\'));
    std::string name = file.substr(folder.size() + 1);
    const struct {
        const char* what;
        std::string args;
        const char* inFolder;
        std::string expected;
    } cases[] = {
        {"a quoted path", "\"" + file + "\"", nullptr, file},
        {"a name in the current folder", "\"" + name + "\"", folder.c_str(), file},
        {"two arguments", "\"" + file + "\" \"" + file + "\"", nullptr, ""},
        {"a folder", "\"" + folder + "\"", nullptr, ""},
        {"a missing file", "C:\\no\\such\\firmware.bin", nullptr, ""},
    };
    for (const auto& given : cases) {
        Program program;
        if (!Start(exe, &program, given.args, given.inFolder)) {
            continue;
        }
        CheckText((std::string("file field given ") + given.what).c_str(), given.expected,
                  TextOf(Control(program, IDC_FILE_FIELD)));
        CloseAndExpectStatusZero(program);
    }
}

// A file dropped on the window fills the file field; a dropped folder is ignored.
void CheckDrops(const Program& program, const std::string& file) {
    HWND field = Control(program, IDC_FILE_FIELD);
    SetFileField(program, "");
    DropFile(program, file.substr(0, file.rfind('\\')).c_str());
    Fence(program);
    CheckText("file field after a folder is dropped", "", TextOf(field));
    DropFile(program, file.c_str());
    CheckText("file field after a file is dropped", file,
              WaitFor(file, [&] { return TextOf(field); }));
}

// file names an existing file whose extension the run does not know, such as .enc. (Wine's
// picker checks a typed name for existence before it adds the default extension, unlike
// Windows, so the name is typed whole here.)
int Browse(const char* exe, const char* file) {
    CheckGivenFiles(exe, file);
    Program program;
    if (!Start(exe, &program)) {
        return 1;
    }
    SetFileField(program, "keep.bin");
    HWND picker = OpenPicker(program);
    if (picker == nullptr) {
        return 1;
    }
    CheckText("picker's first file type", "Binary Files (*.bin)",
              ListEntry(GetDlgItem(picker, kPickerFileType), 0));
    CheckNumber("picker's selected file type", 0,
                Ask(GetDlgItem(picker, kPickerFileType), CB_GETCURSEL));
    ClosePicker(picker, IDCANCEL);
    CheckText("file field after Cancel", "keep.bin", TextOf(Control(program, IDC_FILE_FIELD)));

    picker = OpenPicker(program);
    if (picker == nullptr) {
        return 1;
    }
    SetDlgItemTextA(picker, kPickerFileName, file);
    ClosePicker(picker, IDOK);
    std::string chosen = TextOf(Control(program, IDC_FILE_FIELD));
    Check(_stricmp(chosen.c_str(), file) == 0, "file field after OK (any case)", file, chosen);
    CheckDrops(program, file);
    RunAndExpect(program, false, "Error", "Invalid file format", false);
    CloseAndExpectStatusZero(program);
    return failures;
}

} // namespace

int main(int argc, char** argv) {
    std::string scenario = argc > 1 ? argv[1] : "";
    int result = 64;
    if (scenario == "noports" && argc == 3) {
        result = NoPorts(argv[2]);
    } else if (scenario == "normal" && argc == 6) {
        result = Normal(argv[2], argv[3], argv[4], argv[5]);
    } else if (scenario == "failure" && argc == 5) {
        result = Failure(argv[2], argv[3], argv[4]);
    } else if (scenario == "abort" && argc == 4) {
        result = Abort(argv[2], argv[3]);
    } else if (scenario == "update-noports" && argc == 3) {
        result = UpdateNoPorts(argv[2]);
    } else if (scenario == "update" && argc == 5) {
        result = Update(argv[2], argv[3], argv[4]);
    } else if (scenario == "browse" && argc == 4) {
        result = Browse(argv[2], argv[3]);
    } else if (scenario == "pose" && argc == 5) {
        result = Pose(argv[2], argv[3], argv[4]);
    } else {
        std::fprintf(stderr, "usage: gui_driver noports|normal|failure|abort|update EXE ...\n");
        return 64;
    }
    std::printf("%s: %d failed checks\n", scenario.c_str(), failures);
    return result == 0 ? 0 : 1;
}
