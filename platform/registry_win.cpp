#ifdef _WIN32
#include <windows.h>

#include "platform/registry.h"

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
        if (RegOpenKeyExA(RootKey(root), path, 0, sam, &key) != ERROR_SUCCESS) return nullptr;
        return key;
    }

    RegKey CreateKey(RegRoot root, const char* path) override {
        HKEY key = nullptr;
        if (RegCreateKeyExA(RootKey(root), path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE | View(root), nullptr, &key,
                            nullptr) != ERROR_SUCCESS)
            return nullptr;
        return key;
    }

    bool QueryValue(RegKey key, const char* name, void* data, uint32_t* size) override {
        if (!key) return false;
        DWORD bytes = *size;
        // ERROR_MORE_DATA (a value larger than the buffer) is a failure like any other.
        if (RegQueryValueExA(static_cast<HKEY>(key), name, nullptr, nullptr, static_cast<BYTE*>(data), &bytes) !=
            ERROR_SUCCESS)
            return false;
        *size = bytes;
        return true;
    }

    bool SetValue(RegKey key, const char* name, uint32_t type, const void* data, uint32_t size) override {
        if (!key) return false;
        return RegSetValueExA(static_cast<HKEY>(key), name, 0, type, static_cast<const BYTE*>(data), size) ==
               ERROR_SUCCESS;
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
