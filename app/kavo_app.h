#pragma once
// CKavoApp: the application object. It owns every setting (KavoSettings), the preset
// table, the hidden window and the notification-icon record; start-up and shut-down
// are its InitInstance and ExitInstance. Windows build only.
#include <windows.h>
#include <shellapi.h>

#include "settings/settings_model.h"
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
    // Adds the icon again as it was last shown (the shell lost it, or had no
    // notification area when the program started).
    void RestoreTrayIcon();
    // Puts the icon in the notification area unless it is there; while the shell
    // refuses, tries again on a timer until it takes it.
    void ShowTrayIconOrRetry();
    // The icon belongs in the notification area and the shell has not taken it yet.
    bool IconRetrying() const { return iconWanted_ && !trayIconShown; }
    // What shut-down does before the window goes: the routes stopped (which silences
    // the outputs), the settings saved and the icon removed while exitCleanup is 1, in
    // the order of ShutDownSteps (at a session's end the save first). Once: at the
    // session's end, and then never again at the loop's end.
    void ShutDown(bool sessionEnding);

    PresetTable presetTable;
    CTrayWnd trayWnd;
    NOTIFYICONDATAW trayIcon = {};
    // The shell holds the icon, as far as the program knows.
    bool trayIconShown = false;

private:
    bool shutDown_ = false;
    // From start-up's add to shut-down's removal: the icon belongs in the notification
    // area, whether or not the shell has taken it yet.
    bool iconWanted_ = false;
};

// 1 from program start; 0 once start-up gives up, and then shut-down saves nothing,
// removes no icon and destroys no window.
extern int exitCleanup;

CKavoApp& TheKavoApp();
