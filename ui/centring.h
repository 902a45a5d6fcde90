// Where a message box goes: centred on the foreground window and kept on the screen.
// Pure arithmetic, so it builds and is tested on every platform.
#pragma once
#include <cstdint>

// Screen coordinates, as a Win32 RECT holds them.
struct ScreenRect {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

struct ScreenPoint {
    int32_t x;
    int32_t y;
};

// The top-left corner for box, centred on foreground (halvings truncate toward zero),
// then clamped in this order: x and y not below 0, then the far edges not past
// desktop.right and desktop.bottom. The far clamp comes last and wins, so a box larger
// than the desktop ends up with a negative coordinate. desktop.left and .top take no part.
ScreenPoint CentreBox(const ScreenRect& desktop, const ScreenRect& foreground,
                      const ScreenRect& box);
