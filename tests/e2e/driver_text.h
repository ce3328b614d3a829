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

inline std::string ToCp932(const std::wstring& w) {
    if (w.empty()) return std::string();
    const int n = ::WideCharToMultiByte(932, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) ::WideCharToMultiByte(932, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
    return s;
}

inline std::string Cp932ToUtf8(const std::string& s) {
    if (s.empty()) return s;
    const int n = ::MultiByteToWideChar(932, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(932, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
    return ToUtf8(w);
}

// A window's text, asked for in wide characters (it may live in another process).
inline std::string WindowTextUtf8(HWND hwnd) {
    const int n = static_cast<int>(::SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0));
    std::wstring w(static_cast<size_t>(n > 0 ? n : 0) + 1, L'\0');
    const int got = static_cast<int>(::SendMessageW(hwnd, WM_GETTEXT, w.size(), reinterpret_cast<LPARAM>(&w[0])));
    w.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return ToUtf8(w);
}

// The entries of a combo box's list, joined by "|".
inline std::string ComboItemsUtf8(HWND list) {
    std::string items;
    const int count = static_cast<int>(::SendMessageW(list, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        const int n = static_cast<int>(::SendMessageW(list, CB_GETLBTEXTLEN, i, 0));
        std::wstring w(static_cast<size_t>(n > 0 ? n : 0) + 1, L'\0');
        ::SendMessageW(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(&w[0]));
        w.resize(static_cast<size_t>(n > 0 ? n : 0));
        items += (i ? "|" : "") + ToUtf8(w);
    }
    return items;
}
