#pragma once
// CWinApp: the application object. The program defines exactly one, as a static
// object; WinMain hands it to RunWinApp, which calls InitInstance, runs the message
// loop while InitInstance succeeded, and returns what ExitInstance returns.
// Windows build only.
#include <windows.h>

#include <string>

class CWnd;

class CWinApp {
public:
    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // The executable's base name: the caption of every message box.
    const char* m_pszAppName = "";
    HINSTANCE m_hInstance = nullptr;
    const char* m_lpCmdLine = "";  // the text after the program name
    int m_nCmdShow = SW_SHOWNORMAL;
    // The window whose existence keeps the program resident (the loop itself ends
    // only on WM_QUIT).
    CWnd* m_pMainWnd = nullptr;

    // Start-up: TRUE keeps the program running; FALSE ends it (ExitInstance still runs).
    virtual BOOL InitInstance() { return TRUE; }
    // Shut-down: returns the process's exit code (the WM_QUIT code, 0 before the loop).
    virtual int ExitInstance();
    // The message loop, until WM_QUIT; then ExitInstance.
    virtual int Run();
    // Offers a queued message to the PreTranslateMessage of the window it is for and
    // of its parents up to the top-level window (a modeless dialog's handles its
    // keyboard navigation); TRUE when one used it up.
    virtual BOOL PreTranslateMessage(MSG* msg);

    // The application's message box: caption m_pszAppName; a type that names no icon
    // gets the exclamation icon.
    int DoMessageBox(const char* text, UINT type = MB_OK);

    // Sets up the object from WinMain's arguments and runs it (the command line is
    // taken wide from the system, not from WinMain's ANSI copy).
    int RunMain(HINSTANCE instance, const char* commandLine, int show);

private:
    std::string appName_;
    std::string commandLine_;
    int exitCode_ = 0;
};

// The running application object (the one static CWinApp), or null before it exists.
CWinApp* GetApp();

// A string from the program's string table, in 932, empty when missing.
std::string LoadResString(UINT id);
