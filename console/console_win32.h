// What the Windows files of the command-line tools share beyond console.h.
#pragma once
#include <string>

// A UTF-8 text as the wide string the system's W calls take ("" for an invalid one).
std::wstring WideFromUtf8(const std::string& utf8);
