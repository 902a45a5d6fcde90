// The window's snprintf calls (%s, %d and %02x only) reach MinGW's own C99 formatter,
// which with its floating-point conversion weighs about 22 KiB: most of the 64 KiB the
// programmer may take. This definition answers them from msvcrt's formatter instead, with
// the C99 contract the callers rely on: always terminated, the full length returned.
#include <cstdarg>
#include <cstddef>
#include <cstdio>

extern "C" int __mingw_vsnprintf(char* out, size_t size, const char* format, va_list args) {
    va_list again;
    va_copy(again, args);
    const int needed = _vscprintf(format, again);
    va_end(again);
    if (size > 0) {
        _vsnprintf(out, size - 1, format, args);
        out[size - 1] = '\0';
        if (needed >= 0 && static_cast<size_t>(needed) < size) {
            out[needed] = '\0';
        }
    }
    return needed;
}
