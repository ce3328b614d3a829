#include "tray/tray_wnd.h"

#include <string>

#include "engine/engine.h"
#include "res/resource.h"
#include "ui/winapp.h"

namespace {
CTrayWnd::CopyDataHandler copyDataHandler = nullptr;
}

BEGIN_MESSAGE_MAP(CTrayWnd, CWnd)
    ON_COMMAND(ID_KAVO_ENABLE, OnKavoEnable)
    ON_COMMAND(ID_APP_CLOSE, OnAppClose)
    ON_MESSAGE(WM_COPYDATA, OnCopyData)
END_MESSAGE_MAP()

void CTrayWnd::SetCopyDataHandler(CopyDataHandler handler) { copyDataHandler = handler; }

BOOL CTrayWnd::CreateHidden() {
    const std::string title = LoadResString(IDS_WINDOW_TITLE);
    const RECT rect = {0, 0, 10, 10};
    if (!Create(nullptr, title.c_str(), WS_CHILD, rect, ::GetDesktopWindow(), IDC_TRAY_WINDOW)) return FALSE;
    ShowWindow(SW_HIDE);
    return TRUE;
}

void CTrayWnd::OnKavoEnable() {
    if (engineRunning.load() == 1) {
        StopRoutes();
    } else {
        StartRoutes();
    }
}

void CTrayWnd::OnAppClose() {
    // The message loop ends; shut-down stops the routes, saves and removes the icon.
    ::PostQuitMessage(0);
}

LRESULT CTrayWnd::OnCopyData(WPARAM wParam, LPARAM lParam) {
    if (!copyDataHandler) return 0;
    return copyDataHandler(reinterpret_cast<HWND>(wParam), reinterpret_cast<const COPYDATASTRUCT*>(lParam));
}
