#pragma once
// CAboutDlg: the version box (template 100). Modeless like the other dialogs: made
// once, then shown and hidden; OK, Esc and the close box end it in the base way.
// Windows build only.
#include <windows.h>

#include "ui/dialog.h"

class CAboutDlg : public CDialog {
public:
    explicit CAboutDlg(HWND parent = nullptr);
};
