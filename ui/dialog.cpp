#include "ui/dialog.h"

#include <commctrl.h>
#include <commdlg.h>
#include <cstdio>

#include "engine/program.h"
#include "engine/status.h"
#include "image/embedded.h"
#include "ports/port_names.h"
#include "ports/ports.h"
#include "ui/message_box.h"
#include "ui/resource.h"
#include "version.h"

namespace {

constexpr char kVersion[] = ZUVA_VERSION;
constexpr int kCaptionLimit = 50; // at most 49 characters of the template's caption
constexpr int kPathLimit = MAX_PATH;
constexpr int kEnginePathLimit = kPathLimit * 3; // a UTF-8 name takes up to 3 bytes a character
constexpr int kProgressMax = 100;

// One dialog per process: its window, the controls it addresses and its flags.
HWND dialogWindow = nullptr;
HWND portList = nullptr;
HWND flashButton = nullptr;
HWND fileField = nullptr;
HWND progressBar = nullptr;
HWND fileLabel = nullptr;
HWND browseButton = nullptr;
int updateMode = 0; // set once at start, when the own executable carries an image
int busy = 0;       // a run is in progress: notifications leave the Flash button alone
int closed = 0;     // the window was closed; never cleared, it is OnStatus's answer
int32_t portCount = 0;
// The updater's description as the ANSI calls take it (see DescriptionForWindow).
char imageDescription[kDescriptionSize * 3] = "";

// Text from one code page to another, through UTF-16. 1 on success (out then holds it).
int Recode(const char* text, UINT from, UINT to, char* out, int outSize) {
    wchar_t wide[kDescriptionSize * 3 > kPathLimit ? kDescriptionSize * 3 : kPathLimit];
    int length = MultiByteToWideChar(from, 0, text, -1, wide, sizeof wide / sizeof wide[0]);
    return length > 0 && WideCharToMultiByte(to, 0, wide, -1, out, outSize, nullptr, nullptr) > 0;
}

// Descriptions are stored in Windows-1252. The window's ANSI calls speak the process's code
// page instead: UTF-8 where the manifest's activeCodePage takes effect (Windows 10 1903 and
// later, and Wine: 8.0 answers GetACP with 65001), so that any file name can be picked and
// typed; older systems ignore the element and keep their own code page (1252 on a Western
// one), where names outside it cannot be picked, as before.
void DescriptionForWindow(const char* stored) {
    if (!Recode(stored, 1252, CP_ACP, imageDescription, sizeof imageDescription)) {
        snprintf(imageDescription, sizeof imageDescription, "%s", stored);
    }
}

// The engine opens files by UTF-8 names; the ANSI calls give names in the system's code
// page (UTF-8 already under the manifest's activeCodePage). A system that cannot convert
// (Windows 95 knows no UTF-8) keeps the name as it is, right for ASCII names.
void PathForEngine(const char* ansi, char* utf8, int utf8Size) {
    if (!Recode(ansi, CP_ACP, CP_UTF8, utf8, utf8Size)) {
        snprintf(utf8, static_cast<size_t>(utf8Size), "%s", ansi);
    }
}

// PortVisitor: one list entry per port, its COM number kept as item data. A name that is
// not "COM" and a number gets port 0, which no system has, so a run on it fails cleanly
// with "Can't open port" instead of opening whatever number was lying in memory.
int AddPortEntry(intptr_t, const PortEntry* entry) {
    LRESULT index =
        SendMessageA(portList, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry->displayName));
    // The list is unsorted, so a new entry lands at the port count; an entry the list could
    // not take is not counted, so that later numbers do not land on earlier entries.
    if (index != portCount) {
        return 1;
    }
    int portNumber = ComNumberFromName(entry->portName);
    SendMessageA(portList, CB_SETITEMDATA, portCount, portNumber);
    ++portCount;
    return 1;
}

// StatusCallback: shows progress, takes the image description, and keeps the window
// alive during a run by dispatching at most one pending message per call, never waiting.
int OnStatus(int kind, intptr_t value) {
    if (kind == Progress) {
        // 101 at the end of a run simply shows a full bar.
        SendMessageA(progressBar, PBM_SETPOS, static_cast<WPARAM>(value), 0);
    } else if (kind == ImageInfo) {
        const char* text = reinterpret_cast<const char*>(value);
        DescriptionForWindow(text != nullptr ? text : "");
        if (imageDescription[0] != '\0' && updateMode) {
            SetWindowTextA(fileField, imageDescription);
        }
    }
    MSG message;
    if (PeekMessageA(&message, dialogWindow, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return closed;
}

void SetWindowTitle(HWND window) {
    char caption[kCaptionLimit] = "";
    GetWindowTextA(window, caption, kCaptionLimit);
    char title[kCaptionLimit + sizeof kVersion + 4];
    snprintf(title, sizeof title, "%s v.%s", caption, kVersion);
    SetWindowTextA(window, title);
}

// The own executable's path in UTF-8, always NUL-terminated (older systems leave a
// truncated path unterminated). 0 when it could not be read.
int GetOwnPath(char* path, int pathSize) {
    char ansi[kPathLimit];
    DWORD length = GetModuleFileNameA(nullptr, ansi, kPathLimit);
    ansi[kPathLimit - 1] = '\0';
    if (length == 0) {
        path[0] = '\0';
        return 0;
    }
    PathForEngine(ansi, path, pathSize);
    return 1;
}

void EnterUpdateMode() {
    ShowWindow(browseButton, SW_HIDE);
    SendMessageA(fileField, EM_SETREADONLY, TRUE, 0);
    SetWindowTextA(fileLabel, "Info");
    SetWindowTextA(flashButton, "Update");
    // Raises EN_CHANGE, whose UpdateFlashButton finds the description in the field.
    SetWindowTextA(fileField, imageDescription);
    updateMode = 1;
}

void InitProgrammerDialog(HWND window) {
    // First: LoadUpdaterImage below reports the description through this callback.
    SetStatusCallback(OnStatus);
    dialogWindow = window;
    portList = GetDlgItem(window, IDC_PORT_LIST);
    flashButton = GetDlgItem(window, IDC_FLASH);
    fileField = GetDlgItem(window, IDC_FILE_FIELD);
    progressBar = GetDlgItem(window, IDC_PROGRESS);
    fileLabel = GetDlgItem(window, IDC_FILE_LABEL);
    browseButton = GetDlgItem(window, IDC_BROWSE);

    // A failed enumeration keeps the entries added so far; no message.
    EnumSerialPorts(AddPortEntry, 0);
    SendMessageA(portList, CB_SETCURSEL, 0, 0);
    SendMessageA(progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, kProgressMax));
    SendMessageA(progressBar, PBM_SETPOS, 0, 0);

    HINSTANCE module = GetModuleHandleA(nullptr);
    SendMessageA(window, WM_SETICON, ICON_SMALL,
                 reinterpret_cast<LPARAM>(LoadIconA(module, MAKEINTRESOURCEA(IDI_ZUVAFLASH))));
    SendMessageA(window, WM_SETICON, ICON_BIG,
                 reinterpret_cast<LPARAM>(LoadIconA(module, MAKEINTRESOURCEA(IDI_ZUVAFLASH))));
    SetWindowTitle(window);

    char ownPath[kEnginePathLimit];
    if (!GetOwnPath(ownPath, sizeof ownPath) || !LoadUpdaterImage(ownPath)) {
        return; // normal mode
    }
    EnterUpdateMode();
}

void BrowseForFile() {
    char path[kPathLimit] = "";
    OPENFILENAMEA request = {};
    // The oldest layout every system takes (76 bytes on 32-bit Windows).
    request.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
    request.hwndOwner = dialogWindow;
    request.lpstrFilter = "Binary Files (*.bin)\0*.bin\0"
                          "Hex Files (*.hex)\0*.hex\0"
                          "All Files (*.*)\0*.*\0";
    request.nFilterIndex = 0;
    request.lpstrFile = path;
    request.nMaxFile = kPathLimit;
    request.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_HIDEREADONLY;
    request.lpstrDefExt = "enc";
    if (GetOpenFileNameA(&request)) {
        // The field's EN_CHANGE runs UpdateFlashButton.
        SetDlgItemTextA(dialogWindow, IDC_FILE_FIELD, path);
    }
}

void UpdateFlashButton() {
    if (busy) {
        return;
    }
    bool portSelected = SendMessageA(portList, CB_GETCURSEL, 0, 0) >= 0;
    char probe[2];
    bool hasFile = GetWindowTextA(fileField, probe, sizeof probe) > 0;
    EnableWindow(flashButton, portSelected && (hasFile || updateMode));
}

void EnableInputs(BOOL enable) {
    EnableWindow(portList, enable);
    EnableWindow(flashButton, enable);
    if (!updateMode) {
        EnableWindow(fileField, enable);
        EnableWindow(browseButton, enable);
    }
}

void OnFlash() {
    if (busy) {
        // A command posted straight to the dialog gets past the disabled button; one run
        // at a time all the same.
        return;
    }
    busy = 1;
    EnableWindow(flashButton, FALSE);
    EnableWindow(portList, FALSE);

    LRESULT selected = SendMessageA(portList, CB_GETCURSEL, 0, 0);
    int portNumber = static_cast<int>(SendMessageA(portList, CB_GETITEMDATA, selected, 0));
    char portPath[24] = "";
    ComPortPath(portNumber, portPath, sizeof portPath);

    char imagePath[kEnginePathLimit] = "";
    if (updateMode) {
        GetOwnPath(imagePath, sizeof imagePath);
    } else {
        EnableWindow(fileField, FALSE);
        EnableWindow(browseButton, FALSE);
        // A longer text is cut to its first 259 bytes.
        char typed[kPathLimit] = "";
        GetWindowTextA(fileField, typed, kPathLimit);
        PathForEngine(typed, imagePath, sizeof imagePath);
    }

    ResultCode code = ProgramDevice(imagePath, PathExtension(imagePath), portPath);
    if (closed) {
        return; // the dialog is ending: no message, nothing to re-enable
    }
    if (code == kResultOk) {
        ShowCenteredMessage(dialogWindow, ResultMessage(code), "Info", MB_ICONINFORMATION);
    } else {
        ShowCenteredMessage(dialogWindow, ResultMessage(code), "Error", MB_ICONHAND);
    }
    SendMessageA(progressBar, PBM_SETPOS, 0, 0);
    EnableInputs(TRUE);
    // The focus sat on a disabled control while the box was up; give it to the button, the
    // dialog way, so that the default-button border and focus rectangle follow.
    SendMessageA(dialogWindow, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(flashButton), TRUE);
    busy = 0;
}

void OnClose(HWND window) {
    // During a run the window goes once OnFlash has returned to the dialog manager.
    EndDialog(window, 0);
    closed = 1;
}

void OnCommand(WORD id) {
    switch (id) {
    case IDC_PORT_LIST:
    case IDC_FILE_FIELD:
        UpdateFlashButton();
        break;
    case IDC_BROWSE:
        BrowseForFile();
        break;
    case IDC_FLASH:
        OnFlash();
        break;
    default:
        break; // IDOK and IDCANCEL too: Escape does not close the window
    }
}

} // namespace

INT_PTR CALLBACK ProgrammerDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        InitProgrammerDialog(window);
        return TRUE;
    case WM_CLOSE:
        OnClose(window);
        return TRUE;
    case WM_COMMAND:
        OnCommand(LOWORD(wParam));
        return TRUE;
    case WM_DESTROY:
        return TRUE;
    default:
        return FALSE;
    }
}
