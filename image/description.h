// An updater's description: one line of text for people, stored in Windows-1252, the ANSI
// code page the programmer's window shows it in. Pure functions; nothing here prints.
#pragma once
#include <cstdint>
#include <string>

enum DescriptionResult : int { DescriptionOk = 0, DescriptionRefused = 1 };

// The stored bytes for a description given in UTF-8. DescriptionOk on success;
// DescriptionRefused when a character has no Windows-1252 form (*refused: its code point)
// or the text is not UTF-8 (*refused: 0xFFFFFFFF). Control characters pass through; the
// packer refuses them.
DescriptionResult DescriptionFromUtf8(const std::string& utf8, std::string* cp1252,
                                      uint32_t* refused);

// True for a stored byte that is no printable character: C0 controls, DEL, and the five
// positions Windows-1252 leaves undefined.
bool IsDescriptionControl(uint8_t byte);

// A stored description made safe for a terminal: converted to UTF-8, every control byte
// written as \xNN, so that no escape sequence of an updater reaches the screen.
std::string DescriptionForTerminal(const char* cp1252);
