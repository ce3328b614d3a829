// Links the hidden window to Kavo2.exe's application object and dialogs. Part of the
// executable only: the Windows tests give the window settings and dialogs of their own.
#include "app/kavo_app.h"
#include "dialogs/port_setup_dlg.h"
#include "tray/tray_wnd.h"

namespace {

CDialog* MakePortSetup() { return new CPortSetupDlg(); }

TrayWndLinks AppLinks() {
    CKavoApp& app = TheKavoApp();
    TrayWndLinks links;
    links.settings = &app;
    links.presets = &app.presetTable;
    links.makePortSetup = &MakePortSetup;
    // The control panel and the version dialog are not made yet: their commands open
    // nothing.
    return links;
}

}  // namespace

void LinkTrayWndToApp() { CTrayWnd::SetLinksProvider(&AppLinks); }
