// Entry point: the process lives as long as its one modal dialog.
#include <windows.h>
#include <commctrl.h>

#include <cstdlib>

#include "ui/dialog.h"
#include "ui/resource.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // Registers "msctls_progress32" for the template's progress bar.
    InitCommonControls();
    // Explorer starts the program with the file as its one argument ("Open with", a file
    // dropped on the program's icon). The window takes no options: with any other number
    // of arguments the command line is ignored.
    const char* givenFile = __argc == 2 ? __argv[1] : nullptr;
    // 0 once the window is closed, -1 when the dialog cannot be created.
    return static_cast<int>(DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_PROGRAMMER), nullptr,
                                            ProgrammerDialogProc,
                                            reinterpret_cast<LPARAM>(givenFile)));
}
