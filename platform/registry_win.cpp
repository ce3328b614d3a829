#ifdef _WIN32
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/wide_text.h"

namespace platform {
namespace {

HKEY RootKey(RegRoot root) { return root == RegRoot::CurrentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE; }

// The 32-bit view is HKEY_LOCAL_MACHINE opened with the flag that selects it.
REGSAM View(RegRoot root) { return root == RegRoot::LocalMachine32 ? KEY_WOW64_32KEY : 0; }

class Advapi32Registry : public Registry {
public:
    RegKey OpenKey(RegRoot root, const char* path, RegAccess access) override {
        HKEY key = nullptr;
        const REGSAM sam = (access == RegAccess::Read ? KEY_READ : KEY_WRITE) | View(root);
        if (RegOpenKeyExW(RootKey(root), text::Wide(path).c_str(), 0, sam, &key) != ERROR_SUCCESS) return nullptr;
        return key;
    }

    RegKey CreateKey(RegRoot root, const char* path) override {
        HKEY key = nullptr;
        if (RegCreateKeyExW(RootKey(root), text::Wide(path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_WRITE | View(root), nullptr, &key, nullptr) != ERROR_SUCCESS)
            return nullptr;
        return key;
    }

    // Texts are read and written through the wide calls and converted to and from
    // 932 here: a Japanese system stores exactly what the ANSI calls stored, and a
    // system of another code page the same texts. The size rules hold for the 932
    // form, which is what the store asks for.
    bool QueryValue(RegKey key, const char* name, void* data, uint32_t* size) override {
        if (!key) return false;
        const std::wstring wname = text::Wide(name);
        DWORD type = 0;
        DWORD bytes = 0;
        if (RegQueryValueExW(static_cast<HKEY>(key), wname.c_str(), nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS)
            return false;
        if (type != REG_SZ && type != REG_EXPAND_SZ) {
            bytes = *size;
            // ERROR_MORE_DATA (a value larger than the buffer) is a failure like any other.
            if (RegQueryValueExW(static_cast<HKEY>(key), wname.c_str(), nullptr, nullptr, static_cast<BYTE*>(data),
                                 &bytes) != ERROR_SUCCESS)
                return false;
            *size = bytes;
            return true;
        }
        std::vector<wchar_t> wide(bytes / sizeof(wchar_t) + 1, L'\0');
        DWORD got = static_cast<DWORD>((wide.size() - 1) * sizeof(wchar_t));
        if (RegQueryValueExW(static_cast<HKEY>(key), wname.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(wide.data()),
                             &got) != ERROR_SUCCESS)
            return false;
        size_t units = got / sizeof(wchar_t);
        while (units > 0 && wide[units - 1] == L'\0') --units;  // its NUL, if it was stored with one
        const std::string narrow = text::Narrow(wide.data(), units) + '\0';
        if (narrow.size() > *size) return false;
        std::memcpy(data, narrow.data(), narrow.size());
        *size = static_cast<uint32_t>(narrow.size());
        return true;
    }

    bool SetValue(RegKey key, const char* name, uint32_t type, const void* data, uint32_t size) override {
        if (!key) return false;
        const std::wstring wname = text::Wide(name);
        if (type != REG_SZ && type != REG_EXPAND_SZ)
            return RegSetValueExW(static_cast<HKEY>(key), wname.c_str(), 0, type, static_cast<const BYTE*>(data), size) ==
                   ERROR_SUCCESS;
        const char* narrow = static_cast<const char*>(data);
        const std::wstring wide = text::Wide(narrow, strnlen(narrow, size));
        return RegSetValueExW(static_cast<HKEY>(key), wname.c_str(), 0, type, reinterpret_cast<const BYTE*>(wide.c_str()),
                              static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }

    void CloseKey(RegKey key) override {
        if (key) RegCloseKey(static_cast<HKEY>(key));
    }
};

}  // namespace

Registry& SystemRegistry() {
    static Advapi32Registry registry;
    return registry;
}

}  // namespace platform
#endif  // _WIN32
