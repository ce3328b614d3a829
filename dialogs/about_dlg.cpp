#include "dialogs/about_dlg.h"

#include "res/resource.h"

CAboutDlg::CAboutDlg(HWND parent) : CDialog(IDD_ABOUT, parent) {}
