// Entry point: the process lives as long as its one modal dialog.
#include <windows.h>
#include <commctrl.h>

#include "ui/dialog.h"
#include "ui/resource.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // Registers "msctls_progress32" for the template's progress bar.
    InitCommonControls();
    // 0 once the window is closed, -1 when the dialog cannot be created.
    return static_cast<int>(DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_PROGRAMMER), nullptr,
                                            ProgrammerDialogProc, 0));
}
