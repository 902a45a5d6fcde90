#include "ui/dialog.h"

#include <commctrl.h>
#include <commdlg.h>
#include <cstdio>

#include "engine/port_names.h"
#include "engine/program.h"
#include "engine/status.h"
#include "image/embedded.h"
#include "ports/ports.h"
#include "ui/message_box.h"
#include "ui/resource.h"

namespace {

constexpr char kVersion[] = "1.1";
constexpr int kCaptionLimit = 50; // at most 49 characters of the template's caption
constexpr int kPathLimit = MAX_PATH;
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
const char* imageDescription = "";

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
        imageDescription = text != nullptr ? text : "";
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

// The own executable's path, always NUL-terminated (older systems leave a truncated path
// unterminated). 0 when it could not be read.
int GetOwnPath(char* path) {
    DWORD length = GetModuleFileNameA(nullptr, path, kPathLimit);
    path[kPathLimit - 1] = '\0';
    if (length == 0) {
        path[0] = '\0';
        return 0;
    }
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
    // First: LoadEmbeddedImage below reports the description through this callback.
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

    char ownPath[kPathLimit];
    if (!GetOwnPath(ownPath) || LoadEmbeddedImage(ownPath) != 0) {
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
    char portPath[24];
    snprintf(portPath, sizeof portPath, "\\\\.\\COM%d", portNumber);

    char imagePath[kPathLimit] = "";
    if (updateMode) {
        GetOwnPath(imagePath);
    } else {
        EnableWindow(fileField, FALSE);
        EnableWindow(browseButton, FALSE);
        // A longer text is cut to its first 259 characters.
        GetWindowTextA(fileField, imagePath, kPathLimit);
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
