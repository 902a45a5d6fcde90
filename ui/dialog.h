// The programmer dialog: the tool's only window (template IDD_PROGRAMMER).
#pragma once
#include <windows.h>

// The dialog procedure, a thin dispatcher: TRUE when the message was handled. The
// dialog's creation parameter is a file for the file field (the program's argument), or
// null; the dialog ignores it when it names no file, and in update mode.
INT_PTR CALLBACK ProgrammerDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
