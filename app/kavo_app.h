#pragma once
// CKavoApp: the application object. It owns every setting (KavoSettings), the preset
// table, the hidden window and the notification-icon record; start-up and shut-down
// are its InitInstance and ExitInstance. Windows build only.
#include <windows.h>
#include <shellapi.h>

#include "app/settings_model.h"
#include "store/preset_table.h"
#include "tray/tray_wnd.h"
#include "ui/winapp.h"

class CKavoApp : public CWinApp, public KavoSettings {
public:
    CKavoApp() = default;

    BOOL InitInstance() override;
    int ExitInstance() override;

    // Shows the picture and tooltip that match the engine's state and the settings.
    void UpdateTrayIcon();

    PresetTable presetTable;
    CTrayWnd trayWnd;
    NOTIFYICONDATAA trayIcon = {};
    // What the notification area shows: for the test channel, which cannot read the
    // icon back from the shell.
    bool trayIconShown = false;
    int trayPicture = 0;
};

// 1 from program start; 0 once start-up gives up, and then shut-down saves nothing,
// removes no icon and destroys no window.
extern int exitCleanup;

CKavoApp& TheKavoApp();
