#include "ui/wnd.h"

#include "platform/wide_text.h"

namespace {

// The window property that points at the bound object.
const wchar_t kObjectProperty[] = L"ui.CWnd";

void RegisterDefaultClass() {
    static bool registered = false;
    if (registered) return;
    // A wide class: its windows take their texts as UTF-16, converted from 932 by us.
    static const std::wstring name = text::Wide(kDefaultWindowClass);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = &CWnd::StandardWndProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = name.c_str();
    registered = ::RegisterClassW(&wc) != 0;
}

}  // namespace

const char kDefaultWindowClass[] = "KavoWnd";

CWnd::~CWnd() {
    if (m_hWnd) {
        // The derived part is gone: the last messages must not reach it.
        HWND hwnd = m_hWnd;
        Detach();
        ::DestroyWindow(hwnd);
    }
}

CWnd* CWnd::FromHandle(HWND hwnd) {
    if (!hwnd) return nullptr;
    return static_cast<CWnd*>(::GetPropW(hwnd, kObjectProperty));
}

void CWnd::Attach(HWND hwnd) {
    m_hWnd = hwnd;
    ::SetPropW(hwnd, kObjectProperty, this);
}

void CWnd::Detach() {
    if (m_hWnd) ::RemovePropW(m_hWnd, kObjectProperty);
    m_hWnd = nullptr;
}

BOOL CWnd::Create(const char* className, const char* windowName, DWORD style, const RECT& rect, HWND parent, UINT id) {
    if (!className) {
        RegisterDefaultClass();
        className = kDefaultWindowClass;
    }
    // A child window's menu argument is its identifier.
    HMENU menuOrId = (style & WS_CHILD) ? reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id)) : nullptr;
    HWND hwnd = ::CreateWindowExW(0, text::Wide(className).c_str(), text::Wide(windowName ? windowName : "").c_str(), style,
                                  rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top, parent, menuOrId,
                                  ::GetModuleHandleW(nullptr), this);
    if (hwnd && m_hWnd != hwnd) Attach(hwnd);  // a class other than ours never saw WM_NCCREATE with us
    return hwnd != nullptr;
}

BOOL CWnd::PreTranslateMessage(MSG*) { return FALSE; }

BOOL CWnd::DestroyWindow() {
    if (!m_hWnd) return FALSE;
    return ::DestroyWindow(m_hWnd);
}

const ui::MessageMap* CWnd::GetThisMessageMap() {
    static const ui::MessageMapEntry entries[] = {ui::EndEntry()};
    static const ui::MessageMap map = {nullptr, entries};
    return &map;
}

const ui::MessageMap* CWnd::GetMessageMap() const { return GetThisMessageMap(); }

BOOL CWnd::DispatchToMaps(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    UINT code = 0;
    UINT id = 0;
    if (message == WM_COMMAND) {
        code = HIWORD(wParam);
        id = LOWORD(wParam);
    } else if (message == WM_NOTIFY) {
        const NMHDR* hdr = reinterpret_cast<const NMHDR*>(lParam);
        if (!hdr) return FALSE;
        code = hdr->code;
        id = static_cast<UINT>(hdr->idFrom);
    }
    for (const ui::MessageMap* map = GetMessageMap(); map; map = map->base ? map->base() : nullptr) {
        for (const ui::MessageMapEntry* e = map->entries; e->sig != ui::Sig::End; ++e) {
            if (e->message != message) continue;
            switch (e->sig) {
            case ui::Sig::Command:
                if (e->code == code && e->idFirst == id) {
                    (this->*(e->command))();
                    *result = 0;
                    return TRUE;
                }
                break;
            case ui::Sig::CommandRange:
                if (code == 0 && id >= e->idFirst && id <= e->idLast) {
                    (this->*(e->commandRange))(id);
                    *result = 0;
                    return TRUE;
                }
                break;
            case ui::Sig::Notify:
                if (e->code == code && e->idFirst == id) {
                    *result = 0;
                    (this->*(e->notify))(reinterpret_cast<NMHDR*>(lParam), result);
                    return TRUE;
                }
                break;
            case ui::Sig::Message:
                *result = (this->*(e->handler))(wParam, lParam);
                return TRUE;
            case ui::Sig::End:
                break;
            }
        }
    }
    return FALSE;
}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM lParam) {
    LRESULT ignored = 0;
    return DispatchToMaps(WM_COMMAND, wParam, lParam, &ignored);
}

BOOL CWnd::OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* result) {
    return DispatchToMaps(WM_NOTIFY, wParam, lParam, result);
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    return ::DefWindowProcW(m_hWnd, message, wParam, lParam);
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (message == WM_COMMAND) {
        if (OnCommand(wParam, lParam)) return 0;
    } else if (message == WM_NOTIFY) {
        if (OnNotify(wParam, lParam, &result)) return result;
    } else if (DispatchToMaps(message, wParam, lParam, &result)) {
        return result;
    }
    return DefWindowProc(message, wParam, lParam);
}

LRESULT CALLBACK CWnd::StandardWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CWnd* wnd = FromHandle(hwnd);
    if (!wnd && message == WM_NCCREATE) {
        const CREATESTRUCTW* cs = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        wnd = static_cast<CWnd*>(cs->lpCreateParams);
        if (wnd) wnd->Attach(hwnd);
    }
    if (!wnd) return ::DefWindowProcW(hwnd, message, wParam, lParam);
    const LRESULT result = wnd->WindowProc(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        wnd->Detach();
        wnd->PostNcDestroy();
    }
    return result;
}
