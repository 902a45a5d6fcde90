// A standard message box, placed once over the centre of the foreground window.
#pragma once
#include <windows.h>

// Shows MessageBoxA(owner, text, caption, style) and returns its answer once the box is
// dismissed. A one-shot CBT hook on this thread moves the box when it is first activated.
int ShowCenteredMessage(HWND owner, const char* text, const char* caption, UINT style);

// The CBT hook: moves the first window activated on the thread, then removes itself.
LRESULT CALLBACK CenteringHookProc(int code, WPARAM wParam, LPARAM lParam);
