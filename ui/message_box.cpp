#include "ui/message_box.h"

#include "ui/centring.h"

namespace {

HHOOK centringHook = nullptr;

ScreenRect ToScreenRect(const RECT& r) {
    return {r.left, r.top, r.right, r.bottom};
}

void MoveOverForeground(HWND box) {
    HWND foreground = GetForegroundWindow();
    if (foreground == nullptr || box == nullptr) {
        return;
    }
    RECT desktop;
    RECT window;
    RECT boxRect;
    if (!GetWindowRect(GetDesktopWindow(), &desktop) || !GetWindowRect(foreground, &window) ||
        !GetWindowRect(box, &boxRect)) {
        return;
    }
    ScreenPoint at = CentreBox(ToScreenRect(desktop), ToScreenRect(window), ToScreenRect(boxRect));
    MoveWindow(box, at.x, at.y, boxRect.right - boxRect.left, boxRect.bottom - boxRect.top, FALSE);
}

void RemoveHook() {
    if (centringHook != nullptr) {
        UnhookWindowsHookEx(centringHook);
        centringHook = nullptr;
    }
}

} // namespace

LRESULT CALLBACK CenteringHookProc(int code, WPARAM wParam, LPARAM lParam) {
    if (code != HCBT_ACTIVATE) {
        CallNextHookEx(centringHook, code, wParam, lParam);
        return 0;
    }
    // The first activation on this thread since the hook went in is the message box.
    MoveOverForeground(reinterpret_cast<HWND>(wParam));
    RemoveHook();
    return 0;
}

int ShowCenteredMessage(HWND owner, const char* text, const char* caption, UINT style) {
    // Without a hook the box simply stays where the system puts it.
    centringHook = SetWindowsHookExA(WH_CBT, CenteringHookProc, nullptr, GetCurrentThreadId());
    int answer = MessageBoxA(owner, text, caption, style);
    // A box that failed before it was ever activated leaves the hook in place; remove it
    // here so that no later activation on this thread (the dialog's own) gets moved.
    RemoveHook();
    return answer;
}
