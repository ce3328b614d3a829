// The Run value itself, through the wide registry calls: the path is stored exactly as
// the system gives it, whatever characters the user's folders are named with.
#include <windows.h>

#include <string>
#include <vector>

#include "tray/run_at_logon.h"

namespace {

const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// wchar_t is UTF-16 on Windows: the two string types hold the same units.
std::u16string U16(const std::wstring& w) { return std::u16string(w.begin(), w.end()); }
const wchar_t* ValueName() { return reinterpret_cast<const wchar_t*>(kRunValueName); }

}  // namespace

RunAtLogonState ReadRunAtLogon(const std::wstring& programPath) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return RunAtLogonState::Absent;
    DWORD type = 0;
    DWORD bytes = 0;
    LSTATUS status = ::RegQueryValueExW(key, ValueName(), nullptr, &type, nullptr, &bytes);
    std::vector<wchar_t> data;
    if (status == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ)) {
        // Room for a terminating NUL the stored text may lack.
        data.assign(bytes / sizeof(wchar_t) + 1, L'\0');
        DWORD got = bytes;
        status = ::RegQueryValueExW(key, ValueName(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &got);
    }
    ::RegCloseKey(key);
    if (status == ERROR_FILE_NOT_FOUND) return RunAtLogonState::Absent;
    // A number, binary data or a text that could not be read: something is stored under
    // the program's name, and it is not this program.
    if (status != ERROR_SUCCESS || data.empty()) return RunAtLogonState::Other;
    std::wstring text(data.data());
    if (type == REG_EXPAND_SZ) {
        const DWORD need = ::ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
        std::vector<wchar_t> expanded(need + 1, L'\0');
        if (need && ::ExpandEnvironmentStringsW(text.c_str(), expanded.data(), need + 1)) text = expanded.data();
    }
    return RunValueNamesProgram(U16(text), U16(programPath)) ? RunAtLogonState::ThisProgram : RunAtLogonState::Other;
}

bool SetRunAtLogon(bool on, const std::wstring& programPath) {
    if (on && programPath.empty()) return false;
    HKEY key = nullptr;
    if (on) {
        if (::RegCreateKeyExW(HKEY_CURRENT_USER, kRunKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                              &key, nullptr) != ERROR_SUCCESS)
            return false;
        const std::u16string text = RunValueFor(U16(programPath));
        const LSTATUS status =
            ::RegSetValueExW(key, ValueName(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * sizeof(char16_t)));
        ::RegCloseKey(key);
        return status == ERROR_SUCCESS;
    }
    const LSTATUS open = ::RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_SET_VALUE, &key);
    if (open == ERROR_FILE_NOT_FOUND) return true;
    if (open != ERROR_SUCCESS) return false;
    const LSTATUS status = ::RegDeleteValueW(key, ValueName());
    ::RegCloseKey(key);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}
