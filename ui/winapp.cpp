#include "ui/winapp.h"

#include <commctrl.h>

#include <cstring>

#include "platform/message_box.h"
#include "ui/dialog.h"
#include "ui/wnd.h"

namespace {
CWinApp* theApp = nullptr;

// The file name without directory and extension.
std::string BaseNameOfModule() {
    char path[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return "Kavo2";
    const char* name = path;
    for (const char* p = path; *p; ++p) {
        // Both separators occur; a code-page-932 trail byte can equal '\\', so lead
        // bytes carry their trail byte past the test.
        if (::IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1]) {
            ++p;
            continue;
        }
        if (*p == '\\' || *p == '/' || *p == ':') name = p + 1;
    }
    std::string base = name;
    const size_t dot = base.rfind('.');
    if (dot != std::string::npos && dot > 0) base.erase(dot);
    return base;
}
}  // namespace

CWinApp* GetApp() { return theApp; }

CWinApp::CWinApp() { theApp = this; }

CWinApp::~CWinApp() {
    if (theApp == this) theApp = nullptr;
}

int CWinApp::ExitInstance() { return exitCode_; }

BOOL CWinApp::Enable3dControls() {
    INITCOMMONCONTROLSEX icc = {};
    icc.dwSize = sizeof(icc);
    icc.dwICC = ICC_BAR_CLASSES | ICC_UPDOWN_CLASS | ICC_USEREX_CLASSES | ICC_STANDARD_CLASSES;
    return ::InitCommonControlsEx(&icc);
}

int CWinApp::DoMessageBox(const char* text, UINT type) { return platform::ShowMessageBox(text, type); }

BOOL CWinApp::PreTranslateMessage(MSG* msg) {
    // The window the message is for, then its parents up to its top-level window:
    // a control's keys reach the dialog it sits in.
    for (HWND hwnd = msg->hwnd; hwnd; hwnd = ::GetAncestor(hwnd, GA_PARENT)) {
        CWnd* wnd = CWnd::FromHandle(hwnd);
        if (wnd && wnd->PreTranslateMessage(msg)) return TRUE;
        if (::GetAncestor(hwnd, GA_ROOT) == hwnd) break;
    }
    return FALSE;
}

int CWinApp::Run() {
    MSG msg = {};
    for (;;) {
        const BOOL got = ::GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0) {
            exitCode_ = static_cast<int>(msg.wParam);
            break;
        }
        if (got == -1) break;
        if (!PreTranslateMessage(&msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
    }
    return ExitInstance();
}

int CWinApp::RunMain(HINSTANCE instance, const char* commandLine, int show) {
    m_hInstance = instance;
    m_lpCmdLine = commandLine ? commandLine : "";
    m_nCmdShow = show;
    appName_ = BaseNameOfModule();
    m_pszAppName = appName_.c_str();
    platform::SetAppTitle(m_pszAppName);
    if (!InitInstance()) return ExitInstance();
    return Run();
}

std::string LoadResString(UINT id) {
    char buffer[512] = {};
    const int n = ::LoadStringA(::GetModuleHandleA(nullptr), id, buffer, sizeof(buffer));
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}
