// kavo_driver.exe: drives a running Kavo2.exe from outside for the end-to-end tests,
// through the program's test-only control channel and through ordinary window
// messages. Prints texts in UTF-8; exits 0 on success, 1 on failure, 2 on bad usage.
//
//   kavo_driver wait-window [ms]        wait until the hidden window "KAVO2.0" exists
//   kavo_driver wait-gone [ms]          wait until it is gone (the program ended)
//   kavo_driver state                   icon picture and tip, engine and device state
//   kavo_driver feed IN HEX             feed a packed short message to virtual input IN
//   kavo_driver sysex IN HEXBYTES       feed a system-exclusive message
//   kavo_driver dump OUT                what virtual output OUT received, one line each
//   kavo_driver dump-timed OUT          the same, each line led by its time in microseconds
//   kavo_driver now                     the time on the clock of those time stamps
//   kavo_driver wait-dump OUT N [ms]    like dump, once OUT holds at least N events
//   kavo_driver clear OUT               forget what OUT received
//   kavo_driver device-remove in|out ID        unplug virtual device ID (later ones move down)
//   kavo_driver device-add in|out NAME [INDEX] plug in a device so named, at INDEX (default:
//                                       the end); a removed device's name brings it back
//   kavo_driver device-hold NAME        an output so named is plugged in, and another
//                                       program opens it at once and keeps it
//   kavo_driver device-free             ... and closes it
//   kavo_driver broadcast devices|resume  what the system tells every window: a device
//                                       changed (WM_DEVICECHANGE), the computer woke
//   kavo_driver device-sleep            the computer sleeps
//   kavo_driver device-resume           it wakes: the inputs open now go silent
//   kavo_driver command ID              a tray menu command (WM_COMMAND ID)
//   kavo_driver close                   the tray menu's close command
//   kavo_driver box-text CAPTION [ms]   wait for a message box so captioned; print its texts
//   kavo_driver box-ok CAPTION          press the box's OK button
//   kavo_driver box-made                how the last box was made: topmost=, setforeground=
//   kavo_driver desktop-setup           what the system made of the manifest: smallIcon=,
//                                       commonControls= (the library's file)
//   kavo_driver icon-adds               the icon's adds: adds=, refused=, retrying=
//   kavo_driver dlg-... / caps-fail     the port setup dialog (kavo_driver_dialog.cpp)
//   kavo_driver icon right|double|left|CODE   the icon's callback message (the right
//                                       button's posted, the others sent)
//   kavo_driver menu [ms]               right-click the icon, wait for the pop-up menu,
//                                       print its items (id, x = checked, text; --- separators)
//   kavo_driver menu-items              the items of the menu opened last
//   kavo_driver menu-key KEY...         keys to the open menu: one character (its
//                                       accelerator), or ESC, DOWN, UP, RETURN
//   kavo_driver menu-gone [ms]          wait until no pop-up menu of the program is shown
//   kavo_driver menu-rect               the shown pop-up menu's rectangle: X Y WIDTH HEIGHT
//   kavo_driver foreground|icon-probe|icon-delete|taskbar-created|decoy|count-windows|
//               box-style ...          the program on the desktop (kavo_driver_desktop.cpp)
//   kavo_driver file-version|file-manifest|file-icons PATH
//                                       a program file as the system reads it
//                                       (kavo_driver_package.cpp)
//   kavo_driver right-click-focus [ms]  put a window of the driver in front, right-click
//                                       the icon; print "menu=0|1" (a menu came up) and
//                                       "foreground=TITLE" (the window in front after it)
#include <windows.h>
#include <dbt.h>

#include <fcntl.h>
#include <io.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/test_control_protocol.h"
#include "tests/e2e/driver_channel.h"
#include "tests/e2e/driver_text.h"
#include "res/resource.h"

namespace {

const char kTitle[] = "KAVO2.0";
std::string replyText;
bool replied = false;

void Print(const std::string& utf8) { std::fwrite(utf8.data(), 1, utf8.size(), stdout); }

std::wstring FromUtf8(const char* s) {
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
    std::wstring w(static_cast<size_t>(n > 0 ? n - 1 : 0), L'\0');
    if (n > 1) ::MultiByteToWideChar(CP_UTF8, 0, s, -1, &w[0], n);
    return w;
}

LRESULT CALLBACK ReplyProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA) {
        const COPYDATASTRUCT* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        if (data && data->dwData == testctl::kReply) {
            replyText.assign(static_cast<const char*>(data->lpData), data->cbData);
            replied = true;
            return 1;
        }
        return 0;
    }
    return ::DefWindowProcA(hwnd, message, wParam, lParam);
}

HWND MakeReplyWindow() {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = ReplyProc;
    wc.hInstance = ::GetModuleHandleA(nullptr);
    wc.lpszClassName = "KavoDriverReply";
    ::RegisterClassA(&wc);
    return ::CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
}

// The hidden window: its title and the class library's window class, as the program's
// own single-instance test looks for it.
const char kClass[] = "KavoWnd";
HWND FindProgram() { return ::FindWindowA(kClass, kTitle); }

}  // namespace

LRESULT Request(uintptr_t kind, const void* payload, size_t size) {
    HWND program = FindProgram();
    if (!program) {
        std::fprintf(stderr, "kavo_driver: no window \"%s\"\n", kTitle);
        return 0;
    }
    HWND self = MakeReplyWindow();
    COPYDATASTRUCT cds = {};
    cds.dwData = kind;
    cds.cbData = static_cast<DWORD>(size);
    cds.lpData = const_cast<void*>(payload);
    DWORD_PTR result = 0;
    replied = false;
    if (!::SendMessageTimeoutA(program, WM_COPYDATA, reinterpret_cast<WPARAM>(self), reinterpret_cast<LPARAM>(&cds),
                               SMTO_ABORTIFHUNG, 10000, &result)) {
        std::fprintf(stderr, "kavo_driver: the program did not answer\n");
        return 0;
    }
    return static_cast<LRESULT>(result);
}

bool RequestText(uintptr_t kind, const void* payload, size_t size, std::string* reply) {
    if (Request(kind, payload, size) != 1 || !replied) return false;
    *reply = replyText;
    return true;
}

namespace {

bool ParseHex(const char* text, std::vector<uint8_t>* bytes) {
    const size_t n = std::strlen(text);
    if (n == 0 || n % 2) return false;
    for (size_t i = 0; i < n; i += 2) {
        char pair[3] = {text[i], text[i + 1], 0};
        char* end = nullptr;
        const unsigned long v = std::strtoul(pair, &end, 16);
        if (*end) return false;
        bytes->push_back(static_cast<uint8_t>(v));
    }
    return true;
}

bool ParseU32(const char* text, int base, uint32_t* value) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, base);
    if (!*text || *end) return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

DWORD TimeoutArg(int argc, char** argv, int index, DWORD def) {
    uint32_t v = def;
    if (argc > index && !ParseU32(argv[index], 10, &v)) return def;
    return v;
}

int WaitWindow(bool present, DWORD ms) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        if ((FindProgram() != nullptr) == present) return 0;
        if (::GetTickCount() - start >= ms) {
            std::fprintf(stderr, "kavo_driver: window \"%s\" still %s after %lu ms\n", kTitle,
                         present ? "missing" : "present", static_cast<unsigned long>(ms));
            return 1;
        }
        ::Sleep(50);
    }
}

int Dump(uint32_t output, size_t atLeast, DWORD ms, bool timed = false) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        std::string text;
        if (!RequestText(timed ? testctl::kDumpOutputTimed : testctl::kDumpOutput, &output, sizeof(output), &text))
            return 1;
        size_t lines = 0;
        for (char c : text) lines += c == '\n';
        if (lines >= atLeast || ::GetTickCount() - start >= ms) {
            Print(text);
            return lines >= atLeast ? 0 : 1;
        }
        ::Sleep(20);
    }
}

struct BoxSearch {
    std::wstring caption;
    HWND found;
};

BOOL CALLBACK FindBox(HWND hwnd, LPARAM lParam) {
    BoxSearch* search = reinterpret_cast<BoxSearch*>(lParam);
    wchar_t cls[64] = {};
    ::GetClassNameW(hwnd, cls, 64);
    if (std::wcscmp(cls, L"#32770") != 0 || !::IsWindowVisible(hwnd)) return TRUE;
    wchar_t text[256] = {};
    ::GetWindowTextW(hwnd, text, 256);
    if (search->caption == text) {
        search->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

HWND WaitBox(const char* caption, DWORD ms) {
    BoxSearch search = {FromUtf8(caption), nullptr};
    const DWORD start = ::GetTickCount();
    for (;;) {
        search.found = nullptr;
        ::EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
        if (search.found || ::GetTickCount() - start >= ms) return search.found;
        ::Sleep(50);
    }
}

BOOL CALLBACK PrintStaticText(HWND hwnd, LPARAM) {
    wchar_t cls[64] = {};
    ::GetClassNameW(hwnd, cls, 64);
    if (_wcsicmp(cls, L"Static") != 0) return TRUE;
    wchar_t text[1024] = {};
    ::GetWindowTextW(hwnd, text, 1024);
    if (text[0]) Print(ToUtf8(text) + "\n");
    return TRUE;
}

int Usage();

// ---- the tray menu ----------------------------------------------------------------

struct PopupSearch {
    DWORD process;
    HWND found;
};

BOOL CALLBACK FindPopupMenu(HWND hwnd, LPARAM lParam) {
    PopupSearch* search = reinterpret_cast<PopupSearch*>(lParam);
    char cls[16] = {};
    ::GetClassNameA(hwnd, cls, sizeof(cls));
    DWORD process = 0;
    ::GetWindowThreadProcessId(hwnd, &process);
    if (std::strcmp(cls, "#32768") != 0 || !::IsWindowVisible(hwnd) || process != search->process) return TRUE;
    search->found = hwnd;
    return FALSE;
}

// The pop-up menu the program shows now, or null.
HWND ProgramPopupMenu() {
    HWND program = FindProgram();
    if (!program) return nullptr;
    PopupSearch search = {0, nullptr};
    ::GetWindowThreadProcessId(program, &search.process);
    ::EnumWindows(FindPopupMenu, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool WaitPopupMenu(bool shown, DWORD ms) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        if ((ProgramPopupMenu() != nullptr) == shown) return true;
        if (::GetTickCount() - start >= ms) return false;
        ::Sleep(30);
    }
}

bool PostIconMessage(LPARAM mouse) {
    HWND program = FindProgram();
    // Posted: the menu's loop runs inside the handler and would hold a sent message.
    return program && ::PostMessageA(program, WM_APP, 128, mouse);
}

bool QueryMenu(std::string* text) { return RequestText(testctl::kQueryMenu, nullptr, 0, text); }

std::string MenuLine(const std::string& text, const char* key) {
    const std::string prefix = std::string(key) + "=";
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        const std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (line.compare(0, prefix.size(), prefix) == 0) return line.substr(prefix.size());
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return std::string();
}

// The menu text without its two head lines, open= and openings=.
std::string MenuItemsOf(const std::string& text) {
    size_t at = text.find('\n');
    if (at != std::string::npos) at = text.find('\n', at + 1);
    return at == std::string::npos ? std::string() : text.substr(at + 1);
}

bool SendMenuKey(HWND popup, const std::string& key) {
    const struct {
        const char* name;
        UINT vk;
    } named[] = {{"ESC", VK_ESCAPE}, {"DOWN", VK_DOWN}, {"UP", VK_UP}, {"RETURN", VK_RETURN}};
    for (const auto& n : named) {
        if (key != n.name) continue;
        if (!::PostMessageA(popup, WM_KEYDOWN, n.vk, 1)) return false;
        // A key that ends the menu may have ended it already: its release has nowhere
        // to go then, and that is no failure.
        ::PostMessageA(popup, WM_KEYUP, n.vk, 0xC0000001);
        return true;
    }
    if (key.size() != 1) return false;
    return ::PostMessageA(popup, WM_CHAR, static_cast<unsigned char>(key[0]), 1) != 0;
}

LRESULT CALLBACK PlainProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return ::DefWindowProcA(hwnd, message, wParam, lParam);
}

std::string WindowTitle(HWND hwnd) {
    wchar_t text[256] = {};
    if (hwnd) ::GetWindowTextW(hwnd, text, 256);
    return ToUtf8(text);
}

void PumpFor(DWORD ms) {
    const DWORD start = ::GetTickCount();
    MSG msg;
    while (::GetTickCount() - start < ms) {
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageA(&msg);
        ::Sleep(10);
    }
}

int RightClickFocus(DWORD ms) {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = PlainProc;
    wc.hInstance = ::GetModuleHandleA(nullptr);
    wc.lpszClassName = "KavoDriverFront";
    ::RegisterClassA(&wc);
    HWND front = ::CreateWindowExA(0, wc.lpszClassName, "kavo_driver", WS_OVERLAPPEDWINDOW, 40, 600, 300, 120,
                                   nullptr, nullptr, wc.hInstance, nullptr);
    ::ShowWindow(front, SW_SHOW);
    ::SetForegroundWindow(front);
    PumpFor(300);
    if (::GetForegroundWindow() != front) {
        std::fprintf(stderr, "kavo_driver: could not put a window in front\n");
        return 1;
    }
    if (!PostIconMessage(WM_RBUTTONUP)) return 1;
    bool menu = false;
    const DWORD start = ::GetTickCount();
    while (::GetTickCount() - start < ms) {
        PumpFor(50);
        menu = menu || ProgramPopupMenu() != nullptr;
    }
    Print(std::string("menu=") + (menu ? "1" : "0") + "\n");
    Print("foreground=" + WindowTitle(::GetForegroundWindow()) + "\n");
    ::DestroyWindow(front);
    return 0;
}

// Returns -1 when command is not one of the menu's.
int MenuCommand(const std::string& command, int argc, char** argv) {
    if (command == "icon") {
        if (argc != 3) return Usage();
        const std::string code = argv[2];
        uint32_t mouse = 0;
        if (code == "right") {
            mouse = WM_RBUTTONUP;
        } else if (code == "double") {
            mouse = WM_LBUTTONDBLCLK;
        } else if (code == "left") {
            mouse = WM_LBUTTONUP;
        } else if (!ParseU32(argv[2], 0, &mouse)) {
            return Usage();
        }
        if (mouse == WM_RBUTTONUP) return PostIconMessage(mouse) ? 0 : 1;
        // Sent, so that the next request sees its effect (a sent request overtakes a
        // posted message); only the right button's, whose menu holds the handler, is
        // posted.
        HWND program = FindProgram();
        if (!program) return 1;
        ::SendMessageA(program, WM_APP, 128, mouse);
        return 0;
    }
    if (command == "menu") {
        std::string before;
        if (!QueryMenu(&before)) return 1;
        const int openings = std::atoi(MenuLine(before, "openings").c_str());
        if (!PostIconMessage(WM_RBUTTONUP)) return 1;
        if (!WaitPopupMenu(true, TimeoutArg(argc, argv, 2, 10000))) {
            std::fprintf(stderr, "kavo_driver: no pop-up menu came up\n");
            return 1;
        }
        std::string after;
        if (!QueryMenu(&after)) return 1;
        if (MenuLine(after, "open") != "1" || std::atoi(MenuLine(after, "openings").c_str()) != openings + 1) {
            std::fprintf(stderr, "kavo_driver: the program did not report the new menu\n");
            return 1;
        }
        Print(Cp932ToUtf8(MenuItemsOf(after)));
        return 0;
    }
    if (command == "box-made" || command == "desktop-setup" || command == "icon-adds") {
        const uintptr_t kind = command == "box-made"        ? testctl::kQueryBox
                               : command == "icon-adds"     ? testctl::kQueryIconAdds
                                                            : testctl::kQueryDesktopSetup;
        std::string text;
        if (!RequestText(kind, nullptr, 0, &text))
            return 1;
        Print(text);
        return 0;
    }
    if (command == "menu-items") {
        std::string text;
        if (!QueryMenu(&text)) return 1;
        Print(Cp932ToUtf8(text));
        return 0;
    }
    if (command == "menu-key") {
        HWND popup = ProgramPopupMenu();
        if (!popup) {
            std::fprintf(stderr, "kavo_driver: no pop-up menu is shown\n");
            return 1;
        }
        for (int i = 2; i < argc; ++i) {
            if (!SendMenuKey(popup, argv[i])) {
                std::fprintf(stderr, "kavo_driver: key %s unknown, or the menu was gone\n", argv[i]);
                return 1;
            }
            ::Sleep(50);
        }
        return 0;
    }
    if (command == "menu-gone") return WaitPopupMenu(false, TimeoutArg(argc, argv, 2, 10000)) ? 0 : 1;
    if (command == "menu-rect") {
        HWND popup = ProgramPopupMenu();
        RECT r = {};
        if (!popup || !::GetWindowRect(popup, &r)) return 1;
        std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
        return 0;
    }
    if (command == "right-click-focus") return RightClickFocus(TimeoutArg(argc, argv, 2, 1500));
    return -1;
}

int Usage() {
    std::fprintf(stderr, "usage: kavo_driver wait-window|wait-gone|state|feed|sysex|dump|wait-dump|clear|device-remove|device-add|device-hold|device-free|broadcast|device-sleep|device-resume|command|close|box-text|box-ok|icon|menu|menu-items|menu-key|menu-gone|right-click-focus ...\n");
    return 2;
}

}  // namespace

// The clock of the virtual devices' time stamps, which is the system's monotonic
// clock, the same in every process.
long long SteadyMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The program on the desktop: foreground, icon, decoys, boxes (kavo_driver_desktop.cpp).
int DesktopCommand(const std::string& command, int argc, char** argv);

// Program files as the system reads them (kavo_driver_package.cpp).
int PackageCommand(const std::string& command, int argc, char** argv);

// The port setup dialog's commands (kavo_driver_dialog.cpp).
bool IsDialogCommand(const std::string& command);
int DialogCommand(int argc, char** argv);

int main(int argc, char** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc < 2) return Usage();
    const std::string command = argv[1];
    if (IsDialogCommand(command)) return DialogCommand(argc, argv);
    uint32_t a = 0;
    uint32_t b = 0;

    if (const int rc = MenuCommand(command, argc, argv); rc >= 0) return rc;
    if (const int rc = DesktopCommand(command, argc, argv); rc >= 0) return rc == 2 ? Usage() : rc;
    if (const int rc = PackageCommand(command, argc, argv); rc >= 0) return rc == 2 ? Usage() : rc;
    if (command == "now") {
        std::printf("%lld\n", SteadyMicros());
        return 0;
    }
    if (command == "wait-window") return WaitWindow(true, TimeoutArg(argc, argv, 2, 20000));
    if (command == "wait-gone") return WaitWindow(false, TimeoutArg(argc, argv, 2, 20000));
    if (command == "state") {
        std::string text;
        if (!RequestText(testctl::kQueryState, nullptr, 0, &text)) return 1;
        Print(Cp932ToUtf8(text));
        return 0;
    }
    if (command == "feed") {
        if (argc != 4 || !ParseU32(argv[2], 10, &a) || !ParseU32(argv[3], 16, &b)) return Usage();
        const testctl::FeedShort feed = {a, b};
        return Request(testctl::kFeedShort, &feed, sizeof(feed)) == 1 ? 0 : 1;
    }
    if (command == "sysex") {
        std::vector<uint8_t> payload(4);
        if (argc != 4 || !ParseU32(argv[2], 10, &a)) return Usage();
        std::memcpy(payload.data(), &a, 4);
        if (!ParseHex(argv[3], &payload)) return Usage();
        return Request(testctl::kFeedSysEx, payload.data(), payload.size()) == 1 ? 0 : 1;
    }
    if (command == "dump" || command == "dump-timed") {
        if (argc != 3 || !ParseU32(argv[2], 10, &a)) return Usage();
        return Dump(a, 0, 0, command == "dump-timed");
    }
    if (command == "wait-dump") {
        if (argc < 4 || !ParseU32(argv[2], 10, &a) || !ParseU32(argv[3], 10, &b)) return Usage();
        return Dump(a, b, TimeoutArg(argc, argv, 4, 10000));
    }
    if (command == "clear") {
        if (argc != 3 || !ParseU32(argv[2], 10, &a)) return Usage();
        return Request(testctl::kClearOutput, &a, sizeof(a)) == 1 ? 0 : 1;
    }
    if (command == "device-remove" || command == "device-add") {
        const bool add = command == "device-add";
        if (argc < 4 || argc > (add ? 5 : 4)) return Usage();
        const std::string kind = argv[2];
        if (kind != "in" && kind != "out") return Usage();
        testctl::DeviceChange change = {kind == "out" ? 1u : 0u, testctl::kAtEnd};
        if (!add && !ParseU32(argv[3], 10, &change.index)) return Usage();
        if (add && argc == 5 && !ParseU32(argv[4], 10, &change.index)) return Usage();
        std::vector<uint8_t> payload(sizeof(change));
        std::memcpy(payload.data(), &change, sizeof(change));
        if (add) {
            // The program's device names are code page 932 text.
            const std::string name = ToCp932(FromUtf8(argv[3]));
            if (name.empty()) return Usage();
            payload.insert(payload.end(), name.begin(), name.end());
        }
        return Request(add ? testctl::kDeviceAdd : testctl::kDeviceRemove, payload.data(), payload.size()) == 1 ? 0 : 1;
    }
    if (command == "device-hold") {
        if (argc != 3) return Usage();
        const std::string name = ToCp932(FromUtf8(argv[2]));
        if (name.empty()) return Usage();
        return Request(testctl::kDeviceHold, name.data(), name.size()) == 1 ? 0 : 1;
    }
    if (command == "device-free") return Request(testctl::kDeviceFree, nullptr, 0) == 1 ? 0 : 1;
    if (command == "broadcast") {
        // What the system sends every top-level window: some device changed, or the
        // computer woke from sleep.
        if (argc != 3) return Usage();
        const std::string what = argv[2];
        UINT message = WM_DEVICECHANGE;
        WPARAM event = DBT_DEVNODES_CHANGED;
        if (what == "resume") {
            message = WM_POWERBROADCAST;
            event = PBT_APMRESUMEAUTOMATIC;
        } else if (what != "devices") {
            return Usage();
        }
        DWORD_PTR ignored = 0;
        return ::SendMessageTimeoutW(HWND_BROADCAST, message, event, 0, SMTO_ABORTIFHUNG, 5000, &ignored) ? 0 : 1;
    }
    if (command == "device-sleep") return Request(testctl::kDeviceSleep, nullptr, 0) == 1 ? 0 : 1;
    if (command == "device-resume") return Request(testctl::kDeviceResume, nullptr, 0) == 1 ? 0 : 1;
    if (command == "command" || command == "close") {
        if (command == "close") {
            a = ID_APP_CLOSE;
        } else if (argc != 3 || !ParseU32(argv[2], 10, &a)) {
            return Usage();
        }
        HWND program = FindProgram();
        if (!program) return 1;
        // Sent, not posted, so that the command has run when the driver returns.
        if (command == "command") return ::SendMessageA(program, WM_COMMAND, MAKEWPARAM(a, 0), 0) == 0 ? 0 : 1;
        return ::PostMessageA(program, WM_COMMAND, MAKEWPARAM(a, 0), 0) ? 0 : 1;
    }
    if (command == "box-text") {
        if (argc < 3) return Usage();
        HWND box = WaitBox(argv[2], TimeoutArg(argc, argv, 3, 20000));
        if (!box) {
            std::fprintf(stderr, "kavo_driver: no message box captioned %s\n", argv[2]);
            return 1;
        }
        ::EnumChildWindows(box, PrintStaticText, 0);
        return 0;
    }
    if (command == "box-ok") {
        if (argc != 3) return Usage();
        HWND box = WaitBox(argv[2], 0);
        if (!box) return 1;
        return ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0) ? 0 : 1;
    }
    return Usage();
}
