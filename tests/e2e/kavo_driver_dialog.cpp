// kavo_driver's commands for the dialogs: the port setup dialog "Kavo2 - MIDI I/Fの設定"
// (prefix dlg-), the control panel "Kavo2 - MIDI音源ｺﾝﾄﾛｰﾙ" (cp-), the version box
// "Kavo2のﾊﾞｰｼﾞｮﾝ情報" (ab-) and the MIDI monitor "Kavo2 - MIDIモニター" (mon-). Their controls are driven by their
// identifiers with the messages a person's clicks and keys produce, and read back from
// outside; what cannot be read from another process (the name box's entries, the
// settings in memory) comes through the test channel. The verbs below take any of the
// prefixes unless marked; the control panel's own verbs are in kavo_driver_panel.cpp,
// the monitor's in kavo_driver_monitor.cpp.
//
//   dlg-wait [ms]             wait until the dialog is visible
//   dlg-gone [ms]             wait until it is not visible (hidden or destroyed)
//   dlg-rect                  its window rectangle on the screen: X Y WIDTH HEIGHT
//   dlg-move X Y              move it there (as a person dragging its title bar)
//   dlg-state                 every control: enabled, check, selection, entries, texts
//   dlg-select ID POS         select position POS of list ID (-1: none) and notify
//                             the dialog as the list does (CBN_SELCHANGE)
//   dlg-name TEXT             (port setup) put TEXT into the name box's edit field and
//                             notify the dialog as typing does (CBN_EDITCHANGE)
//   dlg-click ID              click button ID and return once its handler has run
//   dlg-click-at ID           the same, then print the time (as drv now) it returned
//   dlg-post-click ID         click button ID without waiting (for a click that opens
//                             a message box, which would hold a waiting driver)
//   dlg-esc                   the Esc key, through the program's message loop
//   dlg-closebox              the title bar's close button
//   dlg-names                 the name box's entries ("entry=DATA TEXT" lines)
//   dlg-settings              the settings in the program's memory (test channel)
//   caps-fail in|out DEV RESULT   a virtual device's capability query fails (0: works)
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/test_control_dialog_protocol.h"
#include "app/test_control_protocol.h"
#include "tests/e2e/driver_channel.h"
#include "tests/e2e/driver_text.h"
#include "res/resource.h"

long long SteadyMicros();

namespace {

struct DialogKind {
    const char* prefix;
    const wchar_t* caption;
    const char* name;
};
const DialogKind kDialogs[] = {
    {"dlg-", L"Kavo2 - MIDI I/Fの設定", "port setup dialog"},
    {"cp-", L"Kavo2 - MIDI音源ｺﾝﾄﾛｰﾙ", "control panel"},
    {"ab-", L"Kavo2のﾊﾞｰｼﾞｮﾝ情報", "version box"},
    {"mon-", L"Kavo2 - MIDIモニター", "MIDI monitor"},
};
const DialogKind* kind = &kDialogs[0];

std::string FromCp932(const std::string& s) { return Cp932ToUtf8(s); }

void Out(const std::string& s) { std::fwrite(s.data(), 1, s.size(), stdout); }

HWND FindDialog() { return ::FindWindowW(L"#32770", kind->caption); }

bool Visible(HWND dialog) { return dialog && ::IsWindowVisible(dialog); }

int WaitDialog(bool visible, DWORD ms) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        if (Visible(FindDialog()) == visible) return 0;
        if (::GetTickCount() - start >= ms) {
            std::fprintf(stderr, "kavo_driver: the %s is still %s after %lu ms\n", kind->name,
                         visible ? "not visible" : "visible", static_cast<unsigned long>(ms));
            return 1;
        }
        ::Sleep(50);
    }
}

std::string WindowText(HWND hwnd) { return WindowTextUtf8(hwnd); }

HWND NameEdit(HWND dialog) {
    return reinterpret_cast<HWND>(::SendMessageW(::GetDlgItem(dialog, IDC_NAME_BOX), CBEM_GETEDITCONTROL, 0, 0));
}

// One line per control: "ID enabled=E" and what the control holds.
std::string State(HWND dialog) {
    std::string text;
    auto line = [&](int id, const std::string& rest) {
        HWND c = ::GetDlgItem(dialog, id);
        text += std::to_string(id) + " enabled=" + std::to_string(::IsWindowEnabled(c) ? 1 : 0) + rest + "\n";
    };
    for (int id : {IDC_IN_LIST1, IDC_OUT_LIST1, IDC_IN_LIST2, IDC_OUT_LIST2}) {
        HWND list = ::GetDlgItem(dialog, id);
        const int count = static_cast<int>(::SendMessageW(list, CB_GETCOUNT, 0, 0));
        const std::string rest = " sel=" + std::to_string(static_cast<int>(::SendMessageW(list, CB_GETCURSEL, 0, 0))) +
                                 " count=" + std::to_string(count) + " items=" + ComboItemsUtf8(list);
        line(id, rest);
    }
    for (int id : {IDC_ROUTE_CHECK1, IDC_ROUTE_CHECK2}) {
        const LRESULT checked = ::SendMessageW(::GetDlgItem(dialog, id), BM_GETCHECK, 0, 0);
        line(id, " checked=" + std::to_string(checked == BST_CHECKED ? 1 : 0));
    }
    HWND box = ::GetDlgItem(dialog, IDC_NAME_BOX);
    line(IDC_NAME_BOX, " sel=" + std::to_string(static_cast<int>(::SendMessageW(box, CB_GETCURSEL, 0, 0))) +
                           " count=" + std::to_string(static_cast<int>(::SendMessageW(box, CB_GETCOUNT, 0, 0))) +
                           " text=" + WindowText(NameEdit(dialog)));
    for (int id : {IDC_STORE_PRESET, IDC_REMOVE_PRESET, IDOK, IDCANCEL, IDC_APPLY}) line(id, "");
    return text;
}

// A text only the program itself can read, through the test channel.
int TextRequest(uintptr_t kind) {
    std::string text;
    if (!RequestText(kind, nullptr, 0, &text)) return 1;
    Out(FromCp932(text));
    return 0;
}

bool Number(const char* text, long* value) {
    char* end = nullptr;
    *value = std::strtol(text, &end, 10);
    return *text && !*end;
}

DWORD Millis(int argc, char** argv, int index, DWORD def) {
    long v = 0;
    return argc > index && Number(argv[index], &v) && v >= 0 ? static_cast<DWORD>(v) : def;
}

int Usage() {
    std::fprintf(stderr, "usage: kavo_driver dlg-|cp-|ab-|mon- wait|gone|rect|move|state|select|name|click|post-click|"
                         "esc|closebox|names|settings, cp-key|cp-drag|cp-text|cp-spin, mon-lines, caps-fail ...\n");
    return 2;
}

}  // namespace

bool IsDialogCommand(const std::string& command) {
    for (const DialogKind& k : kDialogs)
        if (command.rfind(k.prefix, 0) == 0) return true;
    return command == "caps-fail";
}

// The control panel's own verbs (kavo_driver_panel.cpp): -1 when verb is not one.
int PanelCommand(HWND dialog, const std::string& verb, int argc, char** argv);
// Every control of the panel or the version box, one line each.
std::string PanelState(HWND dialog);
std::string AboutState(HWND dialog);
// The monitor's own verbs (kavo_driver_monitor.cpp): -1 when verb is not one.
int MonitorCommand(HWND dialog, const std::string& verb);

int DialogCommand(int argc, char** argv) {
    std::string command = argv[1];
    for (const DialogKind& k : kDialogs) {
        if (command.rfind(k.prefix, 0) != 0) continue;
        kind = &k;
        // One set of verbs for the three dialogs, written with the port setup's prefix.
        command = "dlg-" + command.substr(std::strlen(k.prefix));
        break;
    }
    long a = 0;
    long b = 0;
    if (command == "dlg-wait") return WaitDialog(true, Millis(argc, argv, 2, 20000));
    if (command == "dlg-gone") return WaitDialog(false, Millis(argc, argv, 2, 20000));
    if (command == "dlg-names") return TextRequest(testctl::kQueryNameBox);
    if (command == "dlg-settings") return TextRequest(testctl::kQuerySettings);
    if (command == "caps-fail") {
        if (argc != 5 || !Number(argv[3], &a) || !Number(argv[4], &b)) return Usage();
        const std::string kind = argv[2];
        if (kind != "in" && kind != "out") return Usage();
        const testctl::CapsResult caps = {kind == "out" ? 1u : 0u, static_cast<uint32_t>(a), static_cast<uint32_t>(b)};
        return Request(testctl::kSetCapsResult, &caps, sizeof(caps)) == 1 ? 0 : 1;
    }

    HWND dialog = FindDialog();
    if (!dialog) {
        std::fprintf(stderr, "kavo_driver: no %s\n", kind->name);
        return 1;
    }
    if (kind == &kDialogs[1]) {
        const int rc = PanelCommand(dialog, command.substr(4), argc, argv);
        if (rc >= 0) return rc;
    }
    if (kind == &kDialogs[3]) {
        const int rc = MonitorCommand(dialog, command.substr(4));
        if (rc >= 0) return rc;
    }
    if (command == "dlg-rect") {
        RECT r = {};
        ::GetWindowRect(dialog, &r);
        std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
        return 0;
    }
    if (command == "dlg-move") {
        if (argc != 4 || !Number(argv[2], &a) || !Number(argv[3], &b)) return Usage();
        return ::SetWindowPos(dialog, nullptr, static_cast<int>(a), static_cast<int>(b), 0, 0,
                              SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE)
                   ? 0
                   : 1;
    }
    if (command == "dlg-state") {
        Out(kind == &kDialogs[0] ? State(dialog) : kind == &kDialogs[1] ? PanelState(dialog) : AboutState(dialog));
        return 0;
    }
    if (command == "dlg-select") {
        if (argc != 4 || !Number(argv[2], &a) || !Number(argv[3], &b)) return Usage();
        HWND list = ::GetDlgItem(dialog, static_cast<int>(a));
        if (!list) return 1;
        ::SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(b), 0);
        ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(a, CBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
        return 0;
    }
    if (command == "dlg-name") {
        if (argc != 3 || kind != &kDialogs[0]) return Usage();
        HWND edit = NameEdit(dialog);
        if (!edit) return 1;
        // The C runtime's argv is in the prefix's code page; the text as typed is the
        // wide command line's.
        int wargc = 0;
        LPWSTR* wargv = ::CommandLineToArgvW(::GetCommandLineW(), &wargc);
        if (!wargv || wargc != argc) return 1;
        const std::wstring text = wargv[2];
        ::LocalFree(wargv);
        ::SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
        ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_NAME_BOX, CBN_EDITCHANGE),
                       reinterpret_cast<LPARAM>(::GetDlgItem(dialog, IDC_NAME_BOX)));
        return 0;
    }
    if (command == "dlg-click" || command == "dlg-click-at" || command == "dlg-post-click") {
        if (argc != 3 || !Number(argv[2], &a)) return Usage();
        HWND button = ::GetDlgItem(dialog, static_cast<int>(a));
        if (!button) return 1;
        if (command == "dlg-click" || command == "dlg-click-at") {
            ::SendMessageW(button, BM_CLICK, 0, 0);
            if (command == "dlg-click-at") std::printf("%lld\n", SteadyMicros());
            return 0;
        }
        return ::PostMessageW(button, BM_CLICK, 0, 0) ? 0 : 1;
    }
    if (command == "dlg-esc") {
        // To the control that has the focus, as the keyboard would: the program's loop
        // hands it to the dialog manager, which turns Esc into the Cancel command.
        GUITHREADINFO info = {};
        info.cbSize = sizeof(info);
        HWND target = dialog;
        if (::GetGUIThreadInfo(::GetWindowThreadProcessId(dialog, nullptr), &info) && info.hwndFocus)
            target = info.hwndFocus;
        return ::PostMessageW(target, WM_KEYDOWN, VK_ESCAPE, 0x00010001) ? 0 : 1;
    }
    if (command == "dlg-closebox") return ::PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0) ? 0 : 1;
    return Usage();
}
