// The counter text; the locking and file access are in counter_posix.cpp and counter_win32.cpp.
#include "cli/counter.h"

#include <cstdio>

namespace {
bool Blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
} // namespace

bool ParseSerialText(const std::string& text, uint32_t* number, std::string* error) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && Blank(text[begin])) {
        ++begin;
    }
    while (end > begin && Blank(text[end - 1])) {
        --end;
    }
    if (begin == end) {
        *error = "it is empty; write the next serial number into it, e.g. 1000";
        return false;
    }
    uint64_t value = 0;
    for (size_t i = begin; i < end; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            *error = "it does not hold one decimal number (found \"" +
                     text.substr(begin, std::min<size_t>(end - begin, 40)) + "\")";
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
        if (value > UINT32_MAX) {
            *error = "its number is past 4294967295, the largest a 32-bit serial number holds";
            return false;
        }
    }
    *number = static_cast<uint32_t>(value);
    return true;
}

bool PeekSerial(const char* path, uint32_t* next, std::string* error) {
    return LockedCounterUpdate(path, false, next, error);
}

bool TakeSerial(const char* path, uint32_t* number, std::string* error) {
    return LockedCounterUpdate(path, true, number, error);
}
