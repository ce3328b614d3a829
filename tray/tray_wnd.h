#pragma once
// CTrayWnd: the hidden window that owns the notification-area icon, is the program's
// main window and whose title marks a running instance. Windows build only.
#include <windows.h>

#include "ui/wnd.h"

// The icon's callback message.
constexpr UINT kTrayCallbackMessage = WM_APP;

class CTrayWnd : public CWnd {
public:
    // Creates the window: title string 102, child style, (0, 0)-(10, 10), the desktop
    // as parent (a top-level window for FindWindow), identifier 3000; then hides it.
    BOOL CreateHidden();

    // A handler for WM_COPYDATA, for the test-only control channel; null (the default)
    // leaves WM_COPYDATA unanswered. Set before the window exists.
    using CopyDataHandler = LRESULT (*)(HWND sender, const COPYDATASTRUCT* data);
    static void SetCopyDataHandler(CopyDataHandler handler);

protected:
    void OnKavoEnable();
    void OnAppClose();
    LRESULT OnCopyData(WPARAM wParam, LPARAM lParam);
    DECLARE_MESSAGE_MAP()
};
