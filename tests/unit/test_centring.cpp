// Where the result box lands relative to the dialog and the screen.
#include "ui/centring.h"

#include <gtest/gtest.h>

namespace {

constexpr ScreenRect kDesktop{0, 0, 1024, 768};

ScreenRect BoxOfSize(int32_t w, int32_t h) {
    // Where the system first put the box must not matter, only its size.
    return {500, 400, 500 + w, 400 + h};
}

void ExpectAt(const ScreenPoint& found, int32_t x, int32_t y) {
    EXPECT_EQ(found.x, x) << "x";
    EXPECT_EQ(found.y, y) << "y";
}

TEST(Centring, CentresOnForegroundWithTruncatingHalves) {
    // 301 x 201 window, 151 x 81 box: 100 + 150 - 75, 100 + 100 - 40.
    ExpectAt(CentreBox(kDesktop, {100, 100, 401, 301}, BoxOfSize(151, 81)), 175, 160);
}

TEST(Centring, WindowPartlyOffScreenStillCentresOnItsOwnMiddle) {
    // Width 501 (half 250), box 151 (half 75): -101 + 250 - 75 = 74; the box stays on
    // the visible part without any clamp.
    ExpectAt(CentreBox(kDesktop, {-101, 100, 400, 301}, BoxOfSize(151, 81)), 74, 160);
}

TEST(Centring, NearEdgesClampToZero) {
    // Window hanging off the left: x comes out negative and becomes 0; y stays centred.
    ExpectAt(CentreBox(kDesktop, {-300, 100, 100, 301}, BoxOfSize(200, 81)), 0, 160);
    // Off the top: y becomes 0; x stays centred.
    ExpectAt(CentreBox(kDesktop, {100, -300, 401, 50}, BoxOfSize(151, 81)), 175, 0);
}

TEST(Centring, FarEdgesClampInsideTheDesktop) {
    // Centred x would be 1000 - 75 = 925 with the box reaching 1076 > 1024.
    ExpectAt(CentreBox(kDesktop, {900, 100, 1100, 301}, BoxOfSize(151, 81)), 1024 - 151, 160);
    // Same at the bottom.
    ExpectAt(CentreBox(kDesktop, {100, 700, 401, 900}, BoxOfSize(151, 81)), 175, 768 - 81);
    // Exactly touching the far edge is allowed and leaves the box where centring put it.
    ExpectAt(CentreBox(kDesktop, {873, 100, 1175, 301}, BoxOfSize(151, 81)), 1024 - 151, 160);
}

TEST(Centring, DesktopOriginTakesNoPart) {
    // A desktop rectangle that starts right of the box does not push it right.
    ScreenRect desktop{300, 300, 1024, 768};
    ExpectAt(CentreBox(desktop, {100, 100, 401, 301}, BoxOfSize(151, 81)), 175, 160);
}

TEST(Centring, BoxLargerThanDesktopEndsNegativeBecauseFarClampWins) {
    // 1200 x 900 box on 1024 x 768: the near clamp gives 0, then the far clamp moves it to
    // 1024 - 1200 and 768 - 900.
    ExpectAt(CentreBox(kDesktop, {100, 100, 401, 301}, BoxOfSize(1200, 900)), -176, -132);
}

} // namespace
