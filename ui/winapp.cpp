#include "ui/winapp.h"

#include <cstring>

#include "platform/message_box.h"
#include "platform/wide_text.h"
#include "ui/dialog.h"
#include "ui/wnd.h"

namespace {
CWinApp* theApp = nullptr;

// The file name without directory and extension, in 932 (the caption of every box).
// Asked for wide: a folder's name may hold characters outside the ANSI code page.
std::string BaseNameOfModule() {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return "Kavo2";
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p; ++p)
        if (*p == L'\\' || *p == L'/' || *p == L':') name = p + 1;
    std::wstring base = name;
    const size_t dot = base.rfind(L'.');
    if (dot != std::wstring::npos && dot > 0) base.erase(dot);
    return text::Narrow(base.c_str(), base.size());
}

// The command line after the program's name, as WinMain's would be, but taken from
// the wide command line and converted to 932 here rather than by the system in
// whatever its ANSI code page is.
std::string ArgumentsAfterProgram() {
    const wchar_t* p = ::GetCommandLineW();
    if (!p) return std::string();
    if (*p == L'"') {
        for (++p; *p && *p != L'"'; ++p) {
        }
        if (*p == L'"') ++p;
    } else {
        while (*p && *p != L' ' && *p != L'\t') ++p;
    }
    while (*p == L' ' || *p == L'\t') ++p;
    return text::Narrow(p);
}

}  // namespace

CWinApp* GetApp() { return theApp; }

CWinApp::CWinApp() { theApp = this; }

CWinApp::~CWinApp() {
    if (theApp == this) theApp = nullptr;
}

int CWinApp::ExitInstance() { return exitCode_; }

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
        const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {
            exitCode_ = static_cast<int>(msg.wParam);
            break;
        }
        if (got == -1) break;
        if (!PreTranslateMessage(&msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
    return ExitInstance();
}

int CWinApp::RunMain(HINSTANCE instance, const char*, int show) {
    m_hInstance = instance;
    commandLine_ = ArgumentsAfterProgram();
    m_lpCmdLine = commandLine_.c_str();
    m_nCmdShow = show;
    appName_ = BaseNameOfModule();
    m_pszAppName = appName_.c_str();
    platform::SetAppTitle(m_pszAppName);
    if (!InitInstance()) return ExitInstance();
    return Run();
}

std::string LoadResString(UINT id) {
    wchar_t buffer[512] = {};
    const int n = ::LoadStringW(::GetModuleHandleW(nullptr), id, buffer, 512);
    return n > 0 ? text::Narrow(buffer, static_cast<size_t>(n)) : std::string();
}
