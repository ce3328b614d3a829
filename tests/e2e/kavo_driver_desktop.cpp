// kavo_driver's commands about the program on the desktop: the foreground window, the
// notification icon as the shell holds it, the shell's restart, windows that share the
// program's title, and how message boxes come up.
//
//   foreground                the foreground window: "foreground=TITLE" and "class=CLASS"
//   icon-probe                whether the shell holds the program's icon: "icon=1|0"
//   icon-delete               the shell forgets the icon, as when it restarts
//   taskbar-created           the shell's "TaskbarCreated" broadcast; returns when
//                             every top-level window has handled it
//   decoy TITLE MS            a window of another class titled TITLE, kept MS ms
//   count-windows             how many hidden windows of the program exist
//   box-style CAPTION         the message box so captioned: "foreground=0|1" (how it
//                             was made: box-made, through the test channel)
//   reg-text KEY VALUE        a text value as "REG_SZ TEXT" (UTF-8), read wide, so the
//                             same whatever the prefix's code page; "missing" when absent
//                             (REG_EXPAND_SZ shows as such, unexpanded)
//   reg-set KEY VALUE TYPE DATA  stores a value with the wide calls: TYPE sz or expand
//                             (DATA as UTF-8 text), or dword (DATA a number)
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "tests/e2e/driver_text.h"

namespace {

const wchar_t kTitle[] = L"KAVO2.0";
const wchar_t kClass[] = L"KavoWnd";
constexpr UINT kIconId = 128;

std::string ClassOf(HWND hwnd) {
    wchar_t cls[128] = {};
    if (hwnd) ::GetClassNameW(hwnd, cls, 128);
    return ToUtf8(cls);
}

// The shell identifies an icon by its window and number only, so another process can
// ask about it.
BOOL Notify(DWORD what) {
    NOTIFYICONDATAW data = {};
    data.cbSize = NOTIFYICONDATAW_V1_SIZE;
    data.hWnd = ::FindWindowW(kClass, kTitle);
    data.uID = kIconId;
    data.uFlags = 0;  // a modify that changes nothing fails only for an icon not there
    return data.hWnd && ::Shell_NotifyIconW(what, &data);
}

BOOL CALLBACK CountProgram(HWND hwnd, LPARAM lParam) {
    wchar_t text[32] = {};
    ::GetWindowTextW(hwnd, text, 32);
    if (ClassOf(hwnd) == "KavoWnd" && std::wcscmp(text, kTitle) == 0) ++*reinterpret_cast<int*>(lParam);
    return TRUE;
}

struct BoxFind {
    std::wstring caption;
    HWND found;
};

BOOL CALLBACK FindBox(HWND hwnd, LPARAM lParam) {
    BoxFind* f = reinterpret_cast<BoxFind*>(lParam);
    wchar_t text[128] = {};
    ::GetWindowTextW(hwnd, text, 128);
    if (ClassOf(hwnd) == "#32770" && ::IsWindowVisible(hwnd) && f->caption == text) {
        f->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

std::wstring Wide(const char* s) {
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
    std::wstring w(static_cast<size_t>(n > 0 ? n - 1 : 0), L'\0');
    if (n > 1) ::MultiByteToWideChar(CP_UTF8, 0, s, -1, &w[0], n);
    return w;
}

// Argument index as the system has it: the C runtime's argv is in the prefix's code
// page, which cannot hold every character of a path.
std::wstring WideArg(int index) {
    int count = 0;
    LPWSTR* args = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::wstring arg = args && index < count ? args[index] : L"";
    ::LocalFree(args);
    return arg;
}

}  // namespace

// -1 when command is not one of these.
int DesktopCommand(const std::string& command, int argc, char** argv) {
    if (command == "foreground") {
        HWND front = ::GetForegroundWindow();
        wchar_t text[256] = {};
        if (front) ::GetWindowTextW(front, text, 256);
        std::printf("foreground=%s\nclass=%s\n", ToUtf8(text).c_str(), ClassOf(front).c_str());
        return 0;
    }
    if (command == "icon-probe") {
        std::printf("icon=%d\n", Notify(NIM_MODIFY) ? 1 : 0);
        return 0;
    }
    if (command == "icon-delete") return Notify(NIM_DELETE) ? 0 : 1;
    if (command == "taskbar-created") {
        const UINT message = ::RegisterWindowMessageW(L"TaskbarCreated");
        DWORD_PTR ignored = 0;
        return message && ::SendMessageTimeoutW(HWND_BROADCAST, message, 0, 0, SMTO_ABORTIFHUNG, 10000, &ignored) ? 0 : 1;
    }
    if (command == "decoy") {
        if (argc != 4) return 2;
        // The C runtime's argv is in the prefix's code page; this title is ASCII.
        HWND decoy = ::CreateWindowExW(0, L"STATIC", Wide(argv[2]).c_str(), WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                       nullptr, nullptr);
        if (!decoy) return 1;
        const DWORD ms = static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10));
        const DWORD start = ::GetTickCount();
        MSG msg;
        while (::GetTickCount() - start < ms) {
            while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
            ::Sleep(20);
        }
        ::DestroyWindow(decoy);
        return 0;
    }
    if (command == "count-windows") {
        int n = 0;
        ::EnumWindows(CountProgram, reinterpret_cast<LPARAM>(&n));
        std::printf("%d\n", n);
        return 0;
    }
    if (command == "reg-text") {
        if (argc != 4) return 2;
        const std::wstring path = Wide(argv[2]);
        HKEY root = nullptr;
        size_t skip = 0;
        if (path.rfind(L"HKLM\\", 0) == 0) {
            root = HKEY_LOCAL_MACHINE;
            skip = 5;
        } else if (path.rfind(L"HKCU\\", 0) == 0) {
            root = HKEY_CURRENT_USER;
            skip = 5;
        } else {
            return 2;
        }
        HKEY key = nullptr;
        wchar_t data[1024] = {};
        DWORD type = 0;
        DWORD size = sizeof(data) - sizeof(wchar_t);
        const bool found = ::RegOpenKeyExW(root, path.c_str() + skip, 0, KEY_READ, &key) == ERROR_SUCCESS &&
                           ::RegQueryValueExW(key, Wide(argv[3]).c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data),
                                              &size) == ERROR_SUCCESS &&
                           (type == REG_SZ || type == REG_EXPAND_SZ);
        if (key) ::RegCloseKey(key);
        const std::string text = ToUtf8(std::wstring(data, wcsnlen(data, size / sizeof(wchar_t))));
        const std::string kind = type == REG_EXPAND_SZ ? "REG_EXPAND_SZ" : "REG_SZ";
        std::printf("%s\n", found ? (text.empty() ? kind : (kind + " " + text)).c_str() : "missing");
        return 0;
    }
    if (command == "reg-set") {
        if (argc != 6) return 2;
        HKEY root = nullptr;
        std::wstring path = Wide(argv[2]);
        if (path.rfind(L"HKCU\\", 0) == 0) {
            root = HKEY_CURRENT_USER;
        } else if (path.rfind(L"HKLM\\", 0) == 0) {
            root = HKEY_LOCAL_MACHINE;
        } else {
            return 2;
        }
        path.erase(0, 5);
        const std::string type = argv[4];
        HKEY key = nullptr;
        if (::RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
            return 1;
        LSTATUS status = ERROR_INVALID_PARAMETER;
        if (type == "dword") {
            const DWORD value = static_cast<DWORD>(std::strtoul(argv[5], nullptr, 0));
            status = ::RegSetValueExW(key, Wide(argv[3]).c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                      sizeof value);
        } else if (type == "sz" || type == "expand") {
            const std::wstring data = WideArg(5);
            status = ::RegSetValueExW(key, Wide(argv[3]).c_str(), 0, type == "sz" ? REG_SZ : REG_EXPAND_SZ,
                                      reinterpret_cast<const BYTE*>(data.c_str()),
                                      static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
        }
        ::RegCloseKey(key);
        return status == ERROR_SUCCESS ? 0 : 1;
    }
    if (command == "box-style") {
        if (argc != 3) return 2;
        BoxFind f = {Wide(argv[2]), nullptr};
        ::EnumWindows(FindBox, reinterpret_cast<LPARAM>(&f));
        if (!f.found) return 1;
        std::printf("foreground=%d\n", ::GetForegroundWindow() == f.found ? 1 : 0);
        return 0;
    }
    return -1;
}
