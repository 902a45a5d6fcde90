// The centred message box in-process, with real windows (under Wine: needs an X display).
#include "ui/centring.h"
#include "ui/message_box.h"

#include <gtest/gtest.h>

namespace {

constexpr char kCaption[] = "centring test";

struct Seen {
    bool found = false;
    RECT box{};
};
Seen seen;

HWND MakeWindow(int x, int y, int w, int h) {
    return CreateWindowExA(0, "STATIC", "owner", WS_POPUP | WS_VISIBLE | WS_CAPTION, x, y, w, h,
                           nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
}

// Runs inside MessageBoxA's modal loop: notes where the box is, then dismisses it.
void CALLBACK DismissBox(HWND, UINT, UINT_PTR timer, DWORD) {
    HWND box = FindWindowA("#32770", kCaption);
    if (box == nullptr) {
        return; // not up yet; the timer comes again
    }
    KillTimer(nullptr, timer);
    seen.found = true;
    GetWindowRect(box, &seen.box);
    PostMessageA(box, WM_COMMAND, IDOK, 0);
}

void Pump() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageA(&message);
    }
}

class CentredMessage : public ::testing::Test {
  protected:
    void SetUp() override {
        owner = MakeWindow(100, 100, 301, 201);
        if (owner == nullptr) {
            GTEST_SKIP() << "no window station (is an X display set?)";
        }
        SetForegroundWindow(owner);
        Pump();
        seen = Seen{};
    }
    void TearDown() override {
        if (owner != nullptr) {
            DestroyWindow(owner);
        }
    }
    HWND owner = nullptr;
};

ScreenRect ToScreen(const RECT& r) {
    return {r.left, r.top, r.right, r.bottom};
}

TEST_F(CentredMessage, BoxComesUpCentredOnTheForegroundWindow) {
    SetTimer(nullptr, 0, 20, DismissBox);
    int answer = ShowCenteredMessage(owner, "text", kCaption, MB_ICONINFORMATION);
    EXPECT_EQ(answer, IDOK);
    ASSERT_TRUE(seen.found);
    RECT desktop;
    GetWindowRect(GetDesktopWindow(), &desktop);
    // The owner was the foreground window when the box opened.
    RECT window;
    GetWindowRect(owner, &window);
    ScreenPoint expected = CentreBox(ToScreen(desktop), ToScreen(window), ToScreen(seen.box));
    EXPECT_EQ(seen.box.left, expected.x);
    EXPECT_EQ(seen.box.top, expected.y);
    // Not where the system puts a box by itself (the middle of the screen).
    EXPECT_LT(seen.box.right, 100 + 301 + 100);
}

TEST_F(CentredMessage, NoHookOutlivesTheCall) {
    // A box that cannot be created (the owner is not a window) is never activated, so the
    // hook is still in place when MessageBoxA returns; ShowCenteredMessage removes it.
    HWND gone = MakeWindow(0, 0, 10, 10);
    DestroyWindow(gone);
    // Windows answers 0, Wine -1: either way no box and no button.
    int answer = ShowCenteredMessage(gone, "text", kCaption, MB_ICONHAND);
    EXPECT_TRUE(answer == 0 || answer == -1) << answer;

    // A later activation on this thread must leave its window where it is.
    HWND later = MakeWindow(600, 400, 120, 80);
    ASSERT_NE(later, nullptr);
    SetForegroundWindow(later);
    SetActiveWindow(later);
    Pump();
    RECT r;
    GetWindowRect(later, &r);
    EXPECT_EQ(r.left, 600);
    EXPECT_EQ(r.top, 400);
    DestroyWindow(later);
}

} // namespace
