#include "tray/run_at_logon.h"

namespace {

char16_t Fold(char16_t c) {
    if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - u'a' + u'A');
    if (c == u'/') return u'\\';
    return c;
}

bool SamePath(const std::u16string& a, const std::u16string& b) {
    if (a.empty() || a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Fold(a[i]) != Fold(b[i])) return false;
    }
    return true;
}

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string Trimmed(const std::u16string& s) {
    size_t begin = 0;
    size_t end = s.size();
    while (begin < end && IsBlank(s[begin])) ++begin;
    while (end > begin && IsBlank(s[end - 1])) --end;
    return s.substr(begin, end - begin);
}

}  // namespace

std::u16string RunValueFor(const std::u16string& programPath) { return u"\"" + programPath + u"\""; }

std::u16string ProgramOfRunValue(const std::u16string& value) {
    const std::u16string text = Trimmed(value);
    if (text.empty()) return {};
    if (text[0] == u'"') {
        const size_t close = text.find(u'"', 1);
        return close == std::u16string::npos ? std::u16string() : text.substr(1, close - 1);
    }
    size_t end = 0;
    while (end < text.size() && !IsBlank(text[end])) ++end;
    return text.substr(0, end);
}

bool RunValueNamesProgram(const std::u16string& value, const std::u16string& programPath) {
    if (SamePath(ProgramOfRunValue(value), programPath)) return true;
    // Written by hand without quotes: "C:\Program Files\Kavo2\Kavo2.exe" still starts
    // it (the shell tries the longer readings too).
    const std::u16string whole = Trimmed(value);
    return !whole.empty() && whole[0] != u'"' && SamePath(whole, programPath);
}
