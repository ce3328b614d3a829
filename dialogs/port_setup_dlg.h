#pragma once
// CPortSetupDlg: the dialog that picks the MIDI input and output devices of the two
// routes and keeps named presets of them. Modeless from the tray menu, modal on the
// first run. Windows build only.
#include <windows.h>

#include "ui/dialog.h"

class CPortSetupDlg : public CDialog {
public:
    explicit CPortSetupDlg(HWND parent = nullptr);

    // 1 while the dialog runs as the first-run question: Apply then neither restarts
    // the routes (they have not been started yet) nor is the dialog modeless.
    int firstRun;
};
