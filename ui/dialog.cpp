#include "ui/dialog.h"

#include <commctrl.h>
#include <commdlg.h>
#include <dbt.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>

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
constexpr int kPortTextLimit = 256;   // a longer port name is not recognised on a refresh
constexpr int kResultTextSize = 1024; // the result line, a blank line, why and what next

// One dialog per process: its window, the controls it addresses and its flags.
HWND dialogWindow = nullptr;
HWND portList = nullptr;
HWND flashButton = nullptr;
HWND fileField = nullptr;
HWND progressBar = nullptr;
HWND fileLabel = nullptr;
HWND browseButton = nullptr;
int updateMode = 0;   // set once at start, when the own executable carries an image
int busy = 0;         // a run is in progress: notifications leave the Flash button alone
int closed = 0;       // the window was closed; never cleared, it is OnStatus's answer
int portsChanged = 0; // ports came or went during a run: the list is read again after it
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

void UpdateFlashButton() {
    if (busy) {
        return;
    }
    bool portSelected = SendMessageA(portList, CB_GETCURSEL, 0, 0) >= 0;
    char probe[2];
    bool hasFile = GetWindowTextA(fileField, probe, sizeof probe) > 0;
    EnableWindow(flashButton, portSelected && (hasFile || updateMode));
}

// The text of the port list's entry at index; false when there is none or it is too long.
bool PortEntryText(LRESULT index, char (&text)[kPortTextLimit]) {
    return index >= 0 && SendMessageA(portList, CB_GETLBTEXTLEN, index, 0) < kPortTextLimit &&
           SendMessageA(portList, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text)) >= 0;
}

// The entry showing this text for this port number, or CB_ERR. Both must match: entries
// whose names are not COM and a number all carry port 0.
LRESULT FindPortEntry(const char* text, LRESULT number) {
    for (LRESULT i = 0; i < portCount; ++i) {
        char entry[kPortTextLimit];
        if (SendMessageA(portList, CB_GETITEMDATA, i, 0) == number && PortEntryText(i, entry) &&
            std::strcmp(entry, text) == 0) {
            return i;
        }
    }
    return CB_ERR;
}

// Reads the ports again. The selected port stays selected while it is still there;
// otherwise the first entry is, as at start.
void RefreshPortList() {
    portsChanged = 0;
    LRESULT selected = SendMessageA(portList, CB_GETCURSEL, 0, 0);
    LRESULT number = SendMessageA(portList, CB_GETITEMDATA, selected, 0);
    char text[kPortTextLimit];
    bool known = PortEntryText(selected, text);
    SendMessageA(portList, CB_RESETCONTENT, 0, 0);
    portCount = 0;
    EnumSerialPorts(AddPortEntry, 0);
    LRESULT again = known ? FindPortEntry(text, number) : CB_ERR;
    SendMessageA(portList, CB_SETCURSEL, again >= 0 ? again : 0, 0);
    UpdateFlashButton(); // a selection set by message raises no notification
}

// A file given to the window, as the program's argument or dropped on it, fills the file
// field as a full path (the file picker may change the current folder later). What names
// no existing file is ignored, like the rest of the command line.
void TakeFile(const char* path) {
    char full[kPathLimit];
    DWORD length = GetFullPathNameA(path, kPathLimit, full, nullptr);
    if (length == 0 || length >= kPathLimit) {
        return;
    }
    DWORD attributes = GetFileAttributesA(full);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return;
    }
    SetWindowTextA(fileField, full); // its EN_CHANGE runs UpdateFlashButton
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

void FindControls(HWND window) {
    dialogWindow = window;
    portList = GetDlgItem(window, IDC_PORT_LIST);
    flashButton = GetDlgItem(window, IDC_FLASH);
    fileField = GetDlgItem(window, IDC_FILE_FIELD);
    progressBar = GetDlgItem(window, IDC_PROGRESS);
    fileLabel = GetDlgItem(window, IDC_FILE_LABEL);
    browseButton = GetDlgItem(window, IDC_BROWSE);
}

// Sets the dialog up in its mode. givenFile: the program's one argument, or null. TRUE
// when the dialog manager is to give the focus to the first control (the file field).
BOOL InitProgrammerDialog(HWND window, const char* givenFile) {
    // First: LoadUpdaterImage below reports the description through this callback.
    SetStatusCallback(OnStatus);
    FindControls(window);

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
    if (GetOwnPath(ownPath, sizeof ownPath) && LoadUpdaterImage(ownPath)) {
        // An updater programs its own image: no file to give it. The port is the choice
        // left, so it takes the focus.
        EnterUpdateMode();
        SetFocus(portList);
        return FALSE;
    }
    DragAcceptFiles(window, TRUE);
    if (givenFile != nullptr) {
        TakeFile(givenFile);
    }
    return TRUE;
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

// The result box's text: the result's own line first, exactly; below it, for a failure,
// the cause and the next step, in the words the command line uses too.
void ResultText(ResultCode code, const RunReport& report, const char* portPath,
                const char* imagePath, char* text, size_t textSize) {
    char detail[kResultTextSize] = "";
    if (code != kResultOk) {
        // "COM3" as the list shows it; the odd entry without a number keeps its path.
        char portName[16] = "";
        ComPortName(ComNumberFromName(portPath), portName, sizeof portName);
        ResultDetail(code, report, portName[0] != '\0' ? portName : portPath, imagePath, detail,
                     sizeof detail);
    }
    snprintf(text, textSize, "%s%s%s", ResultMessage(code), detail[0] != '\0' ? "\n\n" : "",
             detail);
}

void ShowResult(ResultCode code, const RunReport& report, const char* portPath,
                const char* imagePath) {
    char text[kResultTextSize];
    ResultText(code, report, portPath, imagePath, text, sizeof text);
    if (code == kResultOk) {
        ShowCenteredMessage(dialogWindow, text, "Info", MB_ICONINFORMATION);
    } else {
        ShowCenteredMessage(dialogWindow, text, "Error", MB_ICONHAND);
    }
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

    RunReport report;
    ResultCode code =
        ProgramDevice(imagePath, PathExtension(imagePath), portPath, RunOptions(), &report);
    if (closed) {
        return; // the dialog is ending: no message, nothing to re-enable
    }
    ShowResult(code, report, portPath, imagePath);
    SendMessageA(progressBar, PBM_SETPOS, 0, 0);
    EnableInputs(TRUE);
    // The focus sat on a disabled control while the box was up; give it to the button, the
    // dialog way, so that the default-button border and focus rectangle follow.
    SendMessageA(dialogWindow, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(flashButton), TRUE);
    busy = 0;
    if (portsChanged) {
        RefreshPortList();
    }
}

// A file dropped on the window. An updater never asks for drops; during a run the file is
// already chosen, so a drop then changes nothing.
void OnDropFiles(HDROP drop) {
    char path[kPathLimit];
    // A name that fills the buffer may have been cut.
    UINT length = DragQueryFileA(drop, 0, path, kPathLimit);
    if (!updateMode && !busy && length > 0 && length < kPathLimit - 1) {
        TakeFile(path);
    }
    DragFinish(drop);
}

// A port arrived or left, or the device tree changed (some adapters announce no more than
// that): the list is read again, but never during a run, whose port list is locked; then
// it is read once the run is over.
void OnDeviceChange(WPARAM event, LPARAM data) {
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    bool portEvent = (event == DBT_DEVICEARRIVAL || event == DBT_DEVICEREMOVECOMPLETE) &&
                     header != nullptr && header->dbch_devicetype == DBT_DEVTYP_PORT;
    if (!portEvent && event != DBT_DEVNODES_CHANGED) {
        return;
    }
    if (busy) {
        portsChanged = 1;
        return;
    }
    RefreshPortList();
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

INT_PTR CALLBACK ProgrammerDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        return InitProgrammerDialog(window, reinterpret_cast<const char*>(lParam));
    case WM_CLOSE:
        OnClose(window);
        return TRUE;
    case WM_COMMAND:
        OnCommand(LOWORD(wParam));
        return TRUE;
    case WM_DROPFILES:
        OnDropFiles(reinterpret_cast<HDROP>(wParam));
        return TRUE;
    case WM_DEVICECHANGE:
        OnDeviceChange(wParam, lParam);
        return FALSE; // the default answer, TRUE, grants what the system asks
    case WM_DESTROY:
        return TRUE;
    default:
        return FALSE;
    }
}
