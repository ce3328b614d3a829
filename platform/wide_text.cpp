#include "platform/wide_text.h"

#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

#include "platform/cp932.h"

namespace text {

namespace {

constexpr unsigned kCodePage = 932;
constexpr char16_t kNot932 = u'\u30FB';  // shown for bytes that are not 932

size_t Length(const char* s, size_t length) { return length == std::string::npos ? std::strlen(s) : length; }

#ifndef _WIN32
// The host has no MultiByteToWideChar: glibc's converter for the same code page.
// One character at a time, so that what it cannot convert is replaced alone.
struct Converter {
    explicit Converter(const char* to, const char* from) : cd(iconv_open(to, from)) {}
    ~Converter() {
        if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
    }
    bool Convert(const char* in, size_t inBytes, std::string* out) {
        if (cd == reinterpret_cast<iconv_t>(-1)) return false;
        char buffer[16];
        char* src = const_cast<char*>(in);
        char* dst = buffer;
        size_t left = sizeof buffer;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd, &src, &inBytes, &dst, &left) == static_cast<size_t>(-1) || inBytes != 0) return false;
        out->assign(buffer, sizeof buffer - left);
        return true;
    }
    iconv_t cd;
};
#endif

}  // namespace

std::u16string Utf16From932(const char* cp932, size_t length, bool* invalid) {
    std::u16string out;
    if (invalid) *invalid = false;
    if (!cp932) return out;
    const size_t n = Length(cp932, length);
    for (size_t i = 0; i < n;) {
        const unsigned char c = static_cast<unsigned char>(cp932[i]);
        const size_t bytes = IsCp932LeadByte(c) ? 2 : 1;
        if (i + bytes > n) {  // a lead byte at the end: half a character
            out += kNot932;
            if (invalid) *invalid = true;
            break;
        }
#ifdef _WIN32
        wchar_t w[2];
        const int got = MultiByteToWideChar(kCodePage, MB_ERR_INVALID_CHARS, cp932 + i, static_cast<int>(bytes), w, 2);
        if (got > 0) {
            out.append(reinterpret_cast<const char16_t*>(w), static_cast<size_t>(got));
        } else {
            out += kNot932;
            if (invalid) *invalid = true;
        }
#else
        static thread_local Converter toUtf16("UTF-16LE", "CP932");
        std::string u;
        if (toUtf16.Convert(cp932 + i, bytes, &u)) {
            for (size_t k = 0; k + 1 < u.size(); k += 2)
                out += static_cast<char16_t>(static_cast<unsigned char>(u[k]) | static_cast<unsigned char>(u[k + 1]) << 8);
        } else {
            out += kNot932;
            if (invalid) *invalid = true;
        }
#endif
        i += bytes;
    }
    return out;
}

std::string Cp932FromUtf16(const char16_t* utf16, size_t length, bool* replaced) {
    std::string out;
    if (replaced) *replaced = false;
    if (!utf16) return out;
    for (size_t i = 0; i < length;) {
        // A surrogate pair is one character (none of them has a 932 form).
        const bool pair = utf16[i] >= 0xD800 && utf16[i] <= 0xDBFF && i + 1 < length && utf16[i + 1] >= 0xDC00 &&
                          utf16[i + 1] <= 0xDFFF;
        const size_t units = pair ? 2 : 1;
        std::string one;
        bool ok = false;
#ifdef _WIN32
        char bytes[8];
        BOOL usedDefault = FALSE;
        const int got = WideCharToMultiByte(kCodePage, WC_NO_BEST_FIT_CHARS, reinterpret_cast<const wchar_t*>(utf16 + i),
                                            static_cast<int>(units), bytes, sizeof bytes, "?", &usedDefault);
        ok = got > 0 && !usedDefault;
        if (ok) one.assign(bytes, static_cast<size_t>(got));
#else
        static thread_local Converter to932("CP932", "UTF-16LE");
        char in[4];
        for (size_t k = 0; k < units; ++k) {
            in[2 * k] = static_cast<char>(utf16[i + k] & 0xFF);
            in[2 * k + 1] = static_cast<char>(utf16[i + k] >> 8);
        }
        ok = to932.Convert(in, 2 * units, &one) && !one.empty();
#endif
        if (ok) {
            out += one;
        } else {
            out += '?';
            if (replaced) *replaced = true;
        }
        i += units;
    }
    return out;
}

#ifdef _WIN32
std::wstring Wide(const char* cp932, size_t length, bool* invalid) {
    const std::u16string u = Utf16From932(cp932, length, invalid);
    return std::wstring(reinterpret_cast<const wchar_t*>(u.data()), u.size());
}

std::string Narrow(const wchar_t* wide, size_t length, bool* replaced) {
    if (!wide) {
        if (replaced) *replaced = false;
        return std::string();
    }
    const size_t n = length == std::string::npos ? std::wcslen(wide) : length;
    return Cp932FromUtf16(reinterpret_cast<const char16_t*>(wide), n, replaced);
}
#endif

}  // namespace text
