#include "ui/dialog.h"

#include <commctrl.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

#include "platform/wide_text.h"

namespace {

// The resource type of dialog-init data, and the add-string messages it names: the
// 16-bit numbers the class library's tools write, and the 32-bit ones.
constexpr WORD kDlgInitType = 240;
constexpr WORD kLbAddString16 = 0x0401;
constexpr WORD kCbAddString16 = 0x0403;

template <class T>
T ReadAt(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);  // entries follow their texts, so they are not aligned
    return v;
}

}  // namespace

BOOL ui::RegisterCommonControls() {
    INITCOMMONCONTROLSEX icc = {};
    icc.dwSize = sizeof(icc);
    icc.dwICC = ICC_BAR_CLASSES | ICC_UPDOWN_CLASS | ICC_USEREX_CLASSES | ICC_STANDARD_CLASSES | ICC_LISTVIEW_CLASSES;
    return ::InitCommonControlsEx(&icc);
}

INT_PTR CDialog::DoModal() {
    modal_ = true;
    const INT_PTR result = ::DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId_), parent_,
                                             &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
    modal_ = false;
    return result;
}

BOOL CDialog::Create(UINT templateId, HWND parent) {
    templateId_ = templateId;
    parent_ = parent;
    modal_ = false;
    HWND hwnd = ::CreateDialogParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId), parent,
                                     &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
    return hwnd != nullptr;
}

void CDialog::EndDialog(int result) {
    if (!m_hWnd) return;
    if (modal_) {
        ::EndDialog(m_hWnd, result);
        return;
    }
    // As the system ends a dialog: hidden by position, so no WM_SHOWWINDOW arrives
    // (a dialog that acts on being hidden by a show request does not act on being
    // ended), and a WM_NULL posted, which a dialog may watch for in its
    // pre-translation to learn that it was ended.
    ::SetWindowPos(m_hWnd, nullptr, 0, 0, 0, 0,
                   SWP_HIDEWINDOW | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    ::PostMessageW(m_hWnd, WM_NULL, 0, 0);
}

BOOL CDialog::PreTranslateMessage(MSG* msg) {
    // A modal dialog runs its own loop; only modeless ones come through here.
    if (modal_ || !m_hWnd) return FALSE;
    return ::IsDialogMessageW(m_hWnd, msg);
}

BOOL CDialog::OnInitDialog() {
    ExecuteDlgInit();
    return TRUE;
}

BOOL CDialog::ExecuteDlgInit() {
    HMODULE module = ::GetModuleHandleW(nullptr);
    HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(templateId_), MAKEINTRESOURCEW(kDlgInitType));
    if (!found) return TRUE;
    HGLOBAL loaded = ::LoadResource(module, found);
    const uint8_t* p = loaded ? static_cast<const uint8_t*>(::LockResource(loaded)) : nullptr;
    if (!p) return TRUE;
    return ui::ForEachDlgInitEntry(p, ::SizeofResource(module, found), [this](const ui::DlgInitEntry& e) {
        // The data's texts are 932, as every text of ours.
        const std::wstring wide = text::Wide(e.text);
        ::SendDlgItemMessageW(m_hWnd, e.control, e.message, 0, reinterpret_cast<LPARAM>(wide.c_str()));
    });
}

namespace ui {

bool ForEachDlgInitEntry(const uint8_t* p, size_t size, const std::function<void(const DlgInitEntry&)>& add) {
    const uint8_t* const end = p + size;
    // Each entry: control (16 bits), message (16 bits), length (32 bits), that many
    // bytes of text with its NUL; a control of 0 ends the list. A damaged resource
    // must not make us read past its end.
    while (end - p >= 2) {
        DlgInitEntry e;
        e.control = ReadAt<WORD>(p);
        if (e.control == 0) return true;
        if (end - p < 8) return false;
        WORD message = ReadAt<WORD>(p + 2);
        const DWORD length = ReadAt<DWORD>(p + 4);
        p += 8;
        if (length > static_cast<size_t>(end - p)) return false;
        e.text.assign(reinterpret_cast<const char*>(p), strnlen(reinterpret_cast<const char*>(p), length));
        p += length;
        if (message == kLbAddString16) message = LB_ADDSTRING;
        if (message == kCbAddString16) message = CB_ADDSTRING;
        // Other messages (the class library's tools also write data for other list
        // kinds) are passed over.
        if (message != LB_ADDSTRING && message != CB_ADDSTRING) continue;
        e.message = message;
        add(e);
    }
    return false;  // no terminating 0
}

}  // namespace ui

LRESULT CDialog::DefWindowProc(UINT, WPARAM, LPARAM) {
    defaulted_ = true;
    return 0;
}

BOOL CDialog::OnCommand(WPARAM wParam, LPARAM lParam) {
    if (CWnd::OnCommand(wParam, lParam)) return TRUE;
    if (HIWORD(wParam) != 0 && HIWORD(wParam) != BN_CLICKED) return FALSE;
    // Enter, Esc and the title bar's close button arrive as these two commands.
    switch (LOWORD(wParam)) {
    case IDOK:
        OnOK();
        return TRUE;
    case IDCANCEL:
        OnCancel();
        return TRUE;
    default:
        return FALSE;
    }
}

LRESULT CDialog::HandleInitDialog() {
    RECT before = {};
    ::GetWindowRect(m_hWnd, &before);
    const BOOL focusDefault = OnInitDialog();
    RECT after = {};
    ::GetWindowRect(m_hWnd, &after);
    HWND owner = ::GetWindow(m_hWnd, GW_OWNER);
    const bool moved = before.left != after.left || before.top != after.top;
    if (!::IsWindowVisible(m_hWnd) && !moved && !(owner && ::IsWindowEnabled(owner))) {
        // The work area of the monitor the dialog is on, so that it never lands under
        // the task bar.
        MONITORINFO mi = {};
        mi.cbSize = sizeof(mi);
        RECT area = {0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN)};
        if (::GetMonitorInfoW(::MonitorFromWindow(m_hWnd, MONITOR_DEFAULTTOPRIMARY), &mi)) area = mi.rcWork;
        const int width = after.right - after.left;
        const int height = after.bottom - after.top;
        const int x = area.left + ((area.right - area.left) - width) / 2;
        const int y = area.top + ((area.bottom - area.top) - height) / 2;
        ::SetWindowPos(m_hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    return focusDefault;
}

LRESULT CDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) return HandleInitDialog();
    return CWnd::WindowProc(message, wParam, lParam);
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CDialog* dlg = static_cast<CDialog*>(CWnd::FromHandle(hwnd));
    if (!dlg && message == WM_INITDIALOG) {
        dlg = reinterpret_cast<CDialog*>(lParam);
        if (dlg) dlg->Attach(hwnd);
    }
    if (!dlg) return FALSE;

    // A handler may send messages to its own dialog: each message keeps its own flag.
    const bool outer = dlg->defaulted_;
    dlg->defaulted_ = false;
    const LRESULT result = dlg->WindowProc(message, wParam, lParam);
    const bool defaulted = dlg->defaulted_;
    dlg->defaulted_ = outer;

    if (message == WM_NCDESTROY) {
        dlg->Detach();
        dlg->PostNcDestroy();
        return FALSE;
    }
    if (defaulted) return FALSE;
    switch (message) {
    // These give their result as the procedure's return value.
    case WM_INITDIALOG:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_QUERYDRAGICON:
        return static_cast<INT_PTR>(result);
    default:
        ::SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, result);
        return TRUE;
    }
}
