#pragma once
// The one place where text crosses between the program and the system. Inside the
// program and on disk every text is code page 932 (the texts compiled into it, preset
// names in PORT.KAV, the registry's "Name", the 36-byte cut, the A-Z-only comparison).
// The system is called only through its wide-character ("W") functions, with the text
// converted here, explicitly from and to 932: so a system whose ANSI code page is
// another (1252, or 65001 with the UTF-8 option) shows and stores the same texts as a
// Japanese one. Nothing else in the program converts, and nothing calls an "A"
// function that takes text.
#include <string>

namespace text {

// 932 text (up to its NUL, or length bytes) as UTF-16. A byte sequence that is not
// 932 (a lead byte without its trail byte) comes out as U+30FB "・", visibly, and sets
// *invalid when given (a path made of it must not name some other file).
std::u16string Utf16From932(const char* cp932, size_t length = std::string::npos, bool* invalid = nullptr);

// UTF-16 text as 932. A character that has no 932 form (é, an emoji) is replaced by
// "?" and *replaced, when given, is set: the caller sees it and may refuse the text;
// a text is never cut inside a character here, so no half of one is ever stored.
std::string Cp932FromUtf16(const char16_t* utf16, size_t length, bool* replaced = nullptr);
inline std::string Cp932FromUtf16(const std::u16string& utf16, bool* replaced = nullptr) {
    return Cp932FromUtf16(utf16.data(), utf16.size(), replaced);
}

#ifdef _WIN32
// The same for the system's wide strings (UTF-16 in wchar_t there).
std::wstring Wide(const char* cp932, size_t length = std::string::npos, bool* invalid = nullptr);
inline std::wstring Wide(const std::string& cp932) { return Wide(cp932.c_str(), cp932.size()); }
std::string Narrow(const wchar_t* wide, size_t length = std::string::npos, bool* replaced = nullptr);
#endif

}  // namespace text
