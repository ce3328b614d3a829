#pragma once
// CWnd: a window object bound to one system window. Messages reach the object's
// WindowProc, which hands WM_COMMAND to OnCommand, WM_NOTIFY to OnNotify and every
// other message to the message maps; what no map binds goes to DefWindowProc.
// Windows build only.
#include <windows.h>

#include "ui/message_map.h"

class CWnd {
public:
    CWnd() = default;
    // Destroys the window if it still exists (without calling back into the object).
    virtual ~CWnd();
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND m_hWnd = nullptr;

    // Creates the window (texts in 932); className null means the class library's
    // default window class. Returns FALSE when the system refuses.
    BOOL Create(const char* className, const char* windowName, DWORD style, const RECT& rect, HWND parent, UINT id);
    BOOL DestroyWindow();

    HWND GetSafeHwnd() const { return m_hWnd; }
    BOOL ShowWindow(int show) { return ::ShowWindow(m_hWnd, show); }
    BOOL IsWindowVisible() const { return m_hWnd && ::IsWindowVisible(m_hWnd); }
    // Messages that carry text carry UTF-16 (the windows are wide): convert with
    // platform/wide_text.h.
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const { return ::SendMessageW(m_hWnd, message, wParam, lParam); }
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const { return ::PostMessageW(m_hWnd, message, wParam, lParam); }
    HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }

    // The object bound to a system window, or null.
    static CWnd* FromHandle(HWND hwnd);

    // Message handling, in the order the system's message reaches them.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // WM_COMMAND through the maps; TRUE when a handler took it.
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
    // WM_NOTIFY through the maps; TRUE when a handler took it (its result in *result).
    virtual BOOL OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* result);
    // The system's default handling of a message.
    virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // Called after the window's last message; m_hWnd is already null.
    virtual void PostNcDestroy() {}
    // A queued message for this window or one of its children, before it is
    // dispatched: TRUE when the window used it up (it is then not dispatched).
    virtual BOOL PreTranslateMessage(MSG* msg);

    // The window procedure of the default class (and of any class that wants objects).
    static LRESULT CALLBACK StandardWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

protected:
    static const ui::MessageMap* GetThisMessageMap();
    virtual const ui::MessageMap* GetMessageMap() const;

    // Binds this object to hwnd (so FromHandle finds it) / undoes that.
    void Attach(HWND hwnd);
    void Detach();
    // Runs the entry of the maps that binds message; FALSE when none does.
    BOOL DispatchToMaps(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);
};

// Name of the class library's default window class.
extern const char kDefaultWindowClass[];
