// Input files by name on Windows: UTF-8 names outside the ANSI code page, ANSI names from
// callers that still pass them, and names of devices refused as files.
#include "image/input.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::wstring TempFolder() {
    wchar_t buffer[MAX_PATH];
    GetTempPathW(MAX_PATH, buffer);
    return buffer;
}

std::string InCodePage(const std::wstring& wide, UINT codePage) {
    BOOL lost = FALSE;
    BOOL* lostFlag = codePage == CP_UTF8 ? nullptr : &lost;
    const DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const int n =
        WideCharToMultiByte(codePage, flags, wide.c_str(), -1, nullptr, 0, nullptr, lostFlag);
    std::string text(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(codePage, flags, wide.c_str(), -1, text.data(), n, nullptr, lostFlag);
    text.resize(static_cast<size_t>(n > 0 ? n - 1 : 0));
    return lost ? std::string() : text;
}

// Writes "abc" under the wide name, reads it back through the named code page.
InputResult ReadBack(const std::wstring& name, UINT codePage, std::string* content) {
    const std::wstring path = TempFolder() + name;
    FILE* file = _wfopen(path.c_str(), L"wb");
    EXPECT_NE(file, nullptr);
    fputs("abc", file);
    fclose(file);
    InputBytes bytes;
    const InputResult result = ReadInputFile(InCodePage(path, codePage).c_str(), 16, &bytes);
    content->assign(reinterpret_cast<const char*>(bytes.data), bytes.size);
    _wremove(path.c_str());
    return result;
}

TEST(InputWin32, NamesInUtf8AndInTheAnsiCodePage) {
    std::string content;
    EXPECT_EQ(InputOk, ReadBack(L"fw \u65E5\u672C.bin", CP_UTF8, &content));
    EXPECT_EQ("abc", content);
    const std::wstring ansiName = L"fw M\u00FCller.bin";
    if (InCodePage(TempFolder() + ansiName, CP_ACP).empty() || GetACP() == CP_UTF8) {
        GTEST_SKIP() << "the ANSI code page has no \u00FC";
    }
    EXPECT_EQ(InputOk, ReadBack(ansiName, CP_ACP, &content));
    EXPECT_EQ("abc", content);
}

TEST(InputWin32, DevicesAndFoldersAreNotFiles) {
    InputBytes bytes;
    for (const char* path : {"NUL", "\\\\.\\NUL", "C:\\"}) {
        EXPECT_EQ(InputNotRegular, ReadInputFile(path, 16, &bytes)) << path;
    }
    // A console is refused either way: without one, it cannot even be opened.
    EXPECT_NE(InputOk, ReadInputFile("CON", 16, &bytes));
}

} // namespace
