// The programmer dialog: the tool's only window (template IDD_PROGRAMMER).
#pragma once
#include <windows.h>

// The dialog procedure, a thin dispatcher: TRUE when the message was handled.
INT_PTR CALLBACK ProgrammerDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
