#include "ui/centring.h"

ScreenPoint CentreBox(const ScreenRect& desktop, const ScreenRect& foreground,
                      const ScreenRect& box) {
    const int32_t w = box.right - box.left;
    const int32_t h = box.bottom - box.top;
    int32_t x = foreground.left + (foreground.right - foreground.left) / 2 - w / 2;
    int32_t y = foreground.top + (foreground.bottom - foreground.top) / 2 - h / 2;
    if (x < 0) {
        x = 0;
    }
    if (y < 0) {
        y = 0;
    }
    if (x + w > desktop.right) {
        x = desktop.right - w;
    }
    if (y + h > desktop.bottom) {
        y = desktop.bottom - h;
    }
    return {x, y};
}
