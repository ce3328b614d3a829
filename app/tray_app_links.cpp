// Links the hidden window to Kavo2.exe's application object and dialogs. Part of the
// executable only: the Windows tests give the window settings and dialogs of their own.
#include "app/kavo_app.h"
#include "dialogs/about_dlg.h"
#include "dialogs/control_panel_dlg.h"
#include "dialogs/monitor_dlg.h"
#include "dialogs/port_setup_dlg.h"
#include "tray/tray_wnd.h"

namespace {

CDialog* MakePortSetup() { return new CPortSetupDlg(); }
CDialog* MakeControlPanel() { return new CControlPanelDlg(); }
CDialog* MakeAbout() { return new CAboutDlg(); }
CDialog* MakeMonitor() { return new CMonitorDlg(); }
void EndSession() { TheKavoApp().ShutDown(true); }
void RestoreIcon() { TheKavoApp().RestoreTrayIcon(); }

TrayWndLinks AppLinks() {
    CKavoApp& app = TheKavoApp();
    TrayWndLinks links;
    links.settings = &app;
    links.presets = &app.presetTable;
    links.makePortSetup = &MakePortSetup;
    links.makeControlPanel = &MakeControlPanel;
    links.makeAbout = &MakeAbout;
    links.makeMonitor = &MakeMonitor;
    links.endSession = &EndSession;
    links.restoreIcon = &RestoreIcon;
    return links;
}

}  // namespace

void LinkTrayWndToApp() { CTrayWnd::SetLinksProvider(&AppLinks); }
