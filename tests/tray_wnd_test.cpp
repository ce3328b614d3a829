// The hidden window and the class library under it, in the real system (the Windows
// build, under Wine): message maps bind commands, command ranges, control
// notifications and messages to handlers, a derived class's table is searched before
// its base's, and what no table binds gets the system's default handling.
#ifdef _WIN32
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "res/resource.h"
#include "tray/tray_wnd.h"
#include "ui/wnd.h"

namespace {

constexpr UINT kProbeMessage = WM_APP + 5;

class CProbeWnd : public CWnd {
public:
    std::vector<std::string> calls;

protected:
    void OnHundred() { calls.push_back("base 100"); }
    void OnOverridden() { calls.push_back("base 101"); }
    void OnRange(UINT id) { calls.push_back("range " + std::to_string(id)); }
    void OnEditChange() { calls.push_back("change 300"); }
    void OnClick(NMHDR* hdr, LRESULT* result) {
        calls.push_back("click " + std::to_string(hdr->idFrom));
        *result = 77;
    }
    LRESULT OnProbe(WPARAM wParam, LPARAM lParam) {
        calls.push_back("probe");
        return static_cast<LRESULT>(wParam + lParam);
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CProbeWnd, CWnd)
    ON_COMMAND(100, OnHundred)
    ON_COMMAND(101, OnOverridden)
    ON_COMMAND_RANGE(200, 210, OnRange)
    ON_CONTROL(EN_CHANGE, 300, OnEditChange)
    ON_NOTIFY(NM_CLICK, 400, OnClick)
    ON_MESSAGE(kProbeMessage, OnProbe)
END_MESSAGE_MAP()

class CDerivedProbeWnd : public CProbeWnd {
protected:
    void OnOverriddenHere() { calls.push_back("derived 101"); }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CDerivedProbeWnd, CProbeWnd)
    ON_COMMAND(101, OnOverriddenHere)
END_MESSAGE_MAP()

LRESULT Command(HWND hwnd, UINT id, UINT code = 0) { return ::SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(id, code), 0); }

TEST(TrayClassLibraryTest, MessageMapsDispatchToTheRightHandler) {
    CDerivedProbeWnd wnd;
    const RECT rect = {0, 0, 10, 10};
    ASSERT_TRUE(wnd.Create(nullptr, "probe", WS_POPUP, rect, nullptr, 0));
    ASSERT_EQ(CWnd::FromHandle(wnd.m_hWnd), &wnd);

    Command(wnd.m_hWnd, 100);         // only the base binds it
    Command(wnd.m_hWnd, 101);         // the derived table wins
    Command(wnd.m_hWnd, 200);         // range ends
    Command(wnd.m_hWnd, 210);
    Command(wnd.m_hWnd, 211);         // outside the range: nobody
    Command(wnd.m_hWnd, 300, EN_CHANGE);
    Command(wnd.m_hWnd, 300, EN_KILLFOCUS);  // another code: nobody
    Command(wnd.m_hWnd, 100, EN_CHANGE);     // a command binding takes code 0 only
    NMHDR hdr = {wnd.m_hWnd, 400, static_cast<UINT>(NM_CLICK)};
    EXPECT_EQ(::SendMessageA(wnd.m_hWnd, WM_NOTIFY, 400, reinterpret_cast<LPARAM>(&hdr)), 77);
    hdr.idFrom = 401;
    EXPECT_EQ(::SendMessageA(wnd.m_hWnd, WM_NOTIFY, 401, reinterpret_cast<LPARAM>(&hdr)), 0);
    EXPECT_EQ(::SendMessageA(wnd.m_hWnd, kProbeMessage, 5, 6), 11);

    const std::vector<std::string> expected = {"base 100", "derived 101", "range 200", "range 210",
                                               "change 300", "click 400", "probe"};
    EXPECT_EQ(wnd.calls, expected);

    // Unbound messages get the system's handling: here the window's title length.
    EXPECT_EQ(::SendMessageA(wnd.m_hWnd, WM_GETTEXTLENGTH, 0, 0), 5);

    HWND hwnd = wnd.m_hWnd;
    EXPECT_TRUE(wnd.DestroyWindow());
    EXPECT_EQ(wnd.m_hWnd, nullptr);
    EXPECT_EQ(CWnd::FromHandle(hwnd), nullptr);
}

TEST(TrayWndTest, HiddenChildOfTheDesktopWithItsIdentifier) {
    CTrayWnd wnd;
    ASSERT_TRUE(wnd.CreateHidden());
    EXPECT_FALSE(::IsWindowVisible(wnd.m_hWnd));
    EXPECT_TRUE(::GetWindowLongA(wnd.m_hWnd, GWL_STYLE) & WS_CHILD);
    EXPECT_EQ(::GetWindowLongA(wnd.m_hWnd, GWL_ID), IDC_TRAY_WINDOW);
    EXPECT_EQ(::GetAncestor(wnd.m_hWnd, GA_PARENT), ::GetDesktopWindow());
    wnd.DestroyWindow();
}

LRESULT CountingCopyData(HWND, const COPYDATASTRUCT* data) { return static_cast<LRESULT>(data->dwData + data->cbData); }

TEST(TrayWndTest, CloseCommandEndsTheLoopAndCopyDataGoesToItsHandler) {
    CTrayWnd wnd;
    ASSERT_TRUE(wnd.CreateHidden());

    COPYDATASTRUCT cds = {40, 2, const_cast<char*>("ab")};
    // Without a handler the message is not answered (the channel is off).
    EXPECT_EQ(::SendMessageA(wnd.m_hWnd, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds)), 0);
    CTrayWnd::SetCopyDataHandler(&CountingCopyData);
    EXPECT_EQ(::SendMessageA(wnd.m_hWnd, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds)), 42);
    CTrayWnd::SetCopyDataHandler(nullptr);

    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
    Command(wnd.m_hWnd, ID_APP_CLOSE);
    ASSERT_TRUE(::PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 0u);
    wnd.DestroyWindow();
}

}  // namespace
#endif
