// kavo_driver's reading of the control panel and the version box, and the panel's own
// verbs (kavo_driver_dialog.cpp finds the dialog and takes the shared ones):
//
//   cp-state                  every control of the panel, one line each (below)
//   cp-key ID KEY             a key to track bar ID, as the keyboard gives it: PAGEUP,
//                             PAGEDOWN, UP, DOWN, HOME, END (key down, then key up)
//   cp-drag ID POS            the thumb of track bar ID dragged to POS and dropped
//   cp-text ID TEXT           TEXT into edit ID, as typing it would leave it
//   cp-spin ID up|down        the arrow key on up-down ID's buddy edit
//   ab-state                  the version box's controls
//
// cp-state lines: "ID key=value...", texts last:
//   1043 sel=N count=N data=D,D items=A|B     the route list (data: item data)
//   1044 visible=V sel=N count=N items=...     the channel list
//   1052 pos=N min=N max=N page=N tics=N       a track bar (tics: the control's count)
//   1050 checked=C                             a check box or radio button
//   1049 pos=N lo=N hi=N                       an up-down control
//   1048 text=T                                an edit or a value text
//   label visible=V text=T                     each unnamed static control with text
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "res/resource.h"
#include "tests/e2e/driver_text.h"

namespace {

std::string TextOf(HWND hwnd) { return WindowTextUtf8(hwnd); }
std::string ListItems(HWND list) { return ComboItemsUtf8(list); }

std::string N(LRESULT v) { return std::to_string(static_cast<long long>(v)); }

BOOL CALLBACK AddLabel(HWND hwnd, LPARAM lParam) {
    std::string* text = reinterpret_cast<std::string*>(lParam);
    wchar_t cls[32] = {};
    ::GetClassNameW(hwnd, cls, 32);
    const int id = ::GetDlgCtrlID(hwnd);
    if (_wcsicmp(cls, L"Static") != 0 || (id != -1 && id != 0xFFFF)) return TRUE;
    const std::string t = TextOf(hwnd);
    if (!t.empty()) *text += "label visible=" + N(::IsWindowVisible(hwnd) ? 1 : 0) + " text=" + t + "\n";
    return TRUE;
}

bool WideArg(int index, int argc, std::wstring* out) {
    // The C runtime's argv is in the prefix's code page; the text as typed is the
    // wide command line's.
    int wargc = 0;
    LPWSTR* wargv = ::CommandLineToArgvW(::GetCommandLineW(), &wargc);
    if (!wargv || wargc != argc || index >= wargc) return false;
    *out = wargv[index];
    ::LocalFree(wargv);
    return true;
}

bool Number(const char* text, long* value) {
    char* end = nullptr;
    *value = std::strtol(text, &end, 10);
    return *text && !*end;
}

}  // namespace

std::string PanelState(HWND dialog) {
    std::string text;
    auto item = [&](int id) { return ::GetDlgItem(dialog, id); };

    HWND routes = item(IDC_PORT_LIST);
    const LRESULT count = ::SendMessageW(routes, CB_GETCOUNT, 0, 0);
    std::string data;
    for (LRESULT i = 0; i < count; ++i) data += (i ? "," : "") + N(::SendMessageW(routes, CB_GETITEMDATA, i, 0));
    text += N(IDC_PORT_LIST) + " sel=" + N(::SendMessageW(routes, CB_GETCURSEL, 0, 0)) + " count=" + N(count) +
            " data=" + data + " items=" + ListItems(routes) + "\n";
    HWND channels = item(IDC_CHANNEL_LIST);
    text += N(IDC_CHANNEL_LIST) + " visible=" + N(::IsWindowVisible(channels) ? 1 : 0) +
            " sel=" + N(::SendMessageW(channels, CB_GETCURSEL, 0, 0)) +
            " count=" + N(::SendMessageW(channels, CB_GETCOUNT, 0, 0)) + " items=" + ListItems(channels) + "\n";

    for (int id : {IDC_SENS, IDC_OFFSET}) {
        HWND bar = item(id);
        text += N(id) + " pos=" + N(::SendMessageW(bar, TBM_GETPOS, 0, 0)) +
                " min=" + N(::SendMessageW(bar, TBM_GETRANGEMIN, 0, 0)) +
                " max=" + N(::SendMessageW(bar, TBM_GETRANGEMAX, 0, 0)) +
                " page=" + N(::SendMessageW(bar, TBM_GETPAGESIZE, 0, 0)) +
                " tics=" + N(::SendMessageW(bar, TBM_GETNUMTICS, 0, 0)) + "\n";
    }
    for (int id : {IDC_VEL_CONVERSION, IDC_METRONOME_START, IDC_MEASURE_2_2, IDC_MEASURE_3_4, IDC_MEASURE_4_4,
                   IDC_TRANSPOSE}) {
        text += N(id) + " checked=" + N(::SendMessageW(item(id), BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0) + "\n";
    }
    for (int id : {IDC_TEMPO_SPIN, IDC_OCTAVE_SPIN}) {
        HWND spin = item(id);
        const LRESULT range = ::SendMessageW(spin, UDM_GETRANGE, 0, 0);  // high word: lower end
        text += N(id) + " pos=" + N(::SendMessageW(spin, UDM_GETPOS32, 0, 0)) +
                " lo=" + N(static_cast<short>(HIWORD(range))) + " hi=" + N(static_cast<short>(LOWORD(range))) + "\n";
    }
    for (int id : {IDC_TEMPO_EDIT, IDC_OCTAVE_EDIT, IDC_SENS_VALUE, IDC_OFFSET_VALUE})
        text += N(id) + " text=" + TextOf(item(id)) + "\n";
    ::EnumChildWindows(dialog, AddLabel, reinterpret_cast<LPARAM>(&text));
    return text;
}

std::string AboutState(HWND dialog) {
    std::string text;
    for (HWND c = ::GetWindow(dialog, GW_CHILD); c; c = ::GetWindow(c, GW_HWNDNEXT)) {
        wchar_t cls[32] = {};
        ::GetClassNameW(c, cls, 32);
        const LONG style = ::GetWindowLongW(c, GWL_STYLE);
        const bool icon = _wcsicmp(cls, L"Static") == 0 && (style & SS_TYPEMASK) == SS_ICON;
        text += N(static_cast<short>(::GetDlgCtrlID(c))) + " class=" + ToUtf8(cls) +
                (icon ? " icon=" + N(::SendMessageW(c, STM_GETICON, 0, 0) ? 1 : 0) : std::string()) +
                " text=" + TextOf(c) + "\n";
    }
    return text;
}

int PanelCommand(HWND dialog, const std::string& verb, int argc, char** argv) {
    long id = 0;
    long pos = 0;
    if (verb == "key") {
        if (argc != 4 || !Number(argv[2], &id)) return 2;
        const struct {
            const char* name;
            UINT vk;
        } keys[] = {{"PAGEUP", VK_PRIOR}, {"PAGEDOWN", VK_NEXT}, {"UP", VK_UP},
                    {"DOWN", VK_DOWN},    {"HOME", VK_HOME},     {"END", VK_END}};
        HWND control = ::GetDlgItem(dialog, static_cast<int>(id));
        for (const auto& k : keys) {
            if (std::string(argv[3]) != k.name) continue;
            // Sent: the track bar's scroll notification has reached the dialog when
            // the driver returns.
            ::SendMessageW(control, WM_KEYDOWN, k.vk, 1);
            ::SendMessageW(control, WM_KEYUP, k.vk, 0xC0000001);
            return control ? 0 : 1;
        }
        return 2;
    }
    if (verb == "drag") {
        if (argc != 4 || !Number(argv[2], &id) || !Number(argv[3], &pos)) return 2;
        HWND bar = ::GetDlgItem(dialog, static_cast<int>(id));
        if (!bar) return 1;
        // What the track bar does while its thumb is dragged and dropped: it moves
        // the thumb, reports the position while tracking and at the drop, then the
        // end of the action.
        const LPARAM from = reinterpret_cast<LPARAM>(bar);
        ::SendMessageW(bar, TBM_SETPOS, TRUE, pos);
        ::SendMessageW(dialog, WM_VSCROLL, MAKEWPARAM(TB_THUMBTRACK, pos), from);
        ::SendMessageW(dialog, WM_VSCROLL, MAKEWPARAM(TB_THUMBPOSITION, pos), from);
        ::SendMessageW(dialog, WM_VSCROLL, MAKEWPARAM(TB_ENDTRACK, 0), from);
        return 0;
    }
    if (verb == "text") {
        std::wstring text;
        if (argc != 4 || !Number(argv[2], &id) || !WideArg(3, argc, &text)) return 2;
        HWND edit = ::GetDlgItem(dialog, static_cast<int>(id));
        if (!edit) return 1;
        // The edit tells the dialog of the change (EN_CHANGE) before this returns.
        ::SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
        return 0;
    }
    if (verb == "spin") {
        if (argc != 4 || !Number(argv[2], &id)) return 2;
        const std::string way = argv[3];
        if (way != "up" && way != "down") return 2;
        HWND spin = ::GetDlgItem(dialog, static_cast<int>(id));
        HWND buddy = reinterpret_cast<HWND>(::SendMessageW(spin, UDM_GETBUDDY, 0, 0));
        if (!buddy) return 1;
        const UINT vk = way == "up" ? VK_UP : VK_DOWN;
        ::SendMessageW(buddy, WM_KEYDOWN, vk, 1);
        ::SendMessageW(buddy, WM_KEYUP, vk, 0xC0000001);
        return 0;
    }
    return -1;
}
