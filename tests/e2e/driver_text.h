#pragma once
// Text conversions the e2e driver needs: it prints UTF-8 for the test scripts, and the
// program's own texts are code page 932 whatever the prefix's code page.
#include <windows.h>

#include <string>

inline std::string ToUtf8(const std::wstring& w) {
    if (w.empty()) return std::string();
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
    return s;
}

inline std::string Cp932ToUtf8(const std::string& s) {
    if (s.empty()) return s;
    const int n = ::MultiByteToWideChar(932, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(932, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
    return ToUtf8(w);
}
