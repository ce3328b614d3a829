#pragma once
// CTrayWnd: the hidden window that owns the notification-area icon, is the program's
// main window and whose title marks a running instance. It takes the icon's mouse
// messages (the pop-up menu, the double click) and the menu's commands. Windows build
// only.
#include <windows.h>

#include "settings/settings_model.h"
#include "store/preset_table.h"
#include "tray/heal_schedule.h"
#include "ui/wnd.h"

class CDialog;

// The icon's callback message.
constexpr UINT kTrayCallbackMessage = WM_APP;
// Posted when the engine finds a device gone: the routes are tried again.
constexpr UINT kDeviceLossMessage = WM_APP + 1;
// The timer that tries waiting routes again.
constexpr UINT_PTR kHealTimerId = 0x4B48;

// The modeless dialogs the menu opens: made on first use, only hidden when the user
// closes them, destroyed by the close command.
extern CDialog* portSetupDlg;
extern CDialog* controlPanelDlg;
extern CDialog* aboutDlg;
extern CDialog* monitorDlg;

// What the window works on: the application's settings and presets, and the makers of
// the dialogs (a null maker: that command opens nothing). Kavo2.exe links its
// application object in (app/tray_app_links.cpp); tests link their own.
// Gives the hidden window Kavo2.exe's application object and dialogs; defined in the
// executable only (the Windows tests give the window settings and dialogs of their own).
void LinkTrayWndToApp();

struct TrayWndLinks {
    KavoSettings* settings = nullptr;
    PresetTable* presets = nullptr;
    CDialog* (*makePortSetup)() = nullptr;
    CDialog* (*makeControlPanel)() = nullptr;
    CDialog* (*makeAbout)() = nullptr;
    CDialog* (*makeMonitor)() = nullptr;
    // The session ends (logoff, shutdown): what shut-down does, once.
    void (*endSession)() = nullptr;
    // The shell's notification area was (re)created: the icon goes back in.
    void (*restoreIcon)() = nullptr;
};

class CTrayWnd : public CWnd {
public:
    // Creates the window: title string 102, a top-level pop-up window that is never
    // shown, (0, 0)-(10, 10), of the class library's default class (which, with the
    // title, is what the single-instance test looks for). Top-level, because only a
    // top-level window can be made the foreground window, which its pop-up menu needs
    // to close when the user clicks elsewhere, and only top-level windows hear the
    // shell's "TaskbarCreated" and the session's end.
    BOOL CreateHidden();

    // The links are asked for at each use, so that the provider may hand out objects
    // that are made after it is set. Null (the default): the menu shows no presets
    // and the commands that need settings do nothing.
    using LinksProvider = TrayWndLinks (*)();
    static void SetLinksProvider(LinksProvider provider);

    // A handler for WM_COPYDATA, for the test-only control channel; null (the default)
    // leaves WM_COPYDATA unanswered. Set before the window exists.
    using CopyDataHandler = LRESULT (*)(HWND sender, const COPYDATASTRUCT* data);
    static void SetCopyDataHandler(CopyDataHandler handler);

    // The engine's loss listener: posts kDeviceLossMessage to the window, from any
    // thread (the worker's included), once it exists.
    static void PostDeviceLoss();

    // Told of each pop-up menu of the icon: with open true and the filled menu right
    // before it is shown, with open false and no menu once it has closed. A second
    // right click can arrive while a menu is shown; its own menu fails to show, and
    // the first is still open when it returns. For the test-only channel, which cannot
    // read another process's menu under Wine. Null (the default) tells nobody.
    using MenuListener = void (*)(HMENU popup, bool open);
    static void SetMenuListener(MenuListener listener);

    // Picks the preset entry with this identifier (20000..20016) as the menu built now
    // would offer it; an identifier beyond the entries does nothing.
    void PickPresetEntry(UINT id);

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;

protected:
    void OpenMenu();
    void ToggleFromIcon();
    void OnKavoEnable();
    void OnPortSetup();
    void OnControlPanel();
    void OnAppAbout();
    void OnMonitor();
    void OnAppClose();
    void OnStartAtLogon();
    LRESULT OnCopyData(WPARAM wParam, LPARAM lParam);
    // The routes follow their devices: a change heard of arms the heal timer, which
    // tries the waiting routes again.
    void DevicesChanged(bool resume);
    void OnHealTimer();
    DECLARE_MESSAGE_MAP()

private:
    HealSchedule heal_;
    HDEVNOTIFY deviceNotices_[2] = {nullptr, nullptr};
};
