#include "dialogs/port_setup_dlg.h"

CPortSetupDlg::CPortSetupDlg(HWND parent) : CDialog(129, parent), firstRun(0) {}
