// The class library's dialogs in the real system (the Windows build, under Wine):
// ending a modeless dialog hides it as the system's EndDialog does (no WM_SHOWWINDOW,
// a WM_NULL posted to it), the message loop offers a queued message to the
// PreTranslateMessage of its window and of that window's parents, and dialog-init
// data is read entry by entry without trusting its lengths.
#ifdef _WIN32
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ui/dialog.h"
#include "ui/winapp.h"

namespace {

// A modeless dialog with one button (identifier 7), made from a template in memory
// (the test program has no dialog resources); it records the show requests it gets
// and the messages offered to its pre-translation.
class CRecordingDlg : public CDialog {
public:
    CRecordingDlg() : CDialog(0) {}
    bool MakeWindow() {
        static const struct alignas(4) {
            DLGTEMPLATE t;
            WORD menu, windowClass, title;
            alignas(4) DLGITEMTEMPLATE button;
            WORD buttonClass[2], buttonText, buttonExtra;
        } tmpl = {{WS_POPUP, 0, 1, 0, 0, 120, 60}, 0, 0, 0,
                  {WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 0, 5, 5, 50, 14, 7}, {0xFFFF, 0x0080}, 0, 0};
        return ::CreateDialogIndirectParamA(::GetModuleHandleA(nullptr), &tmpl.t, nullptr, &CDialog::DialogProc,
                                            reinterpret_cast<LPARAM>(this)) != nullptr;
    }
    BOOL PreTranslateMessage(MSG* msg) override {
        offered.push_back(msg->message);
        return msg->message == WM_APP + 1;  // this one it uses up
    }

    std::vector<WPARAM> shows;
    std::vector<UINT> offered;

protected:
    LRESULT OnShowWindow(WPARAM wParam, LPARAM lParam) {
        shows.push_back(wParam);
        return DefWindowProc(WM_SHOWWINDOW, wParam, lParam);
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CRecordingDlg, CDialog)
    ON_MESSAGE(WM_SHOWWINDOW, OnShowWindow)
END_MESSAGE_MAP()

bool NullQueuedFor(HWND hwnd) {
    MSG msg;
    return ::PeekMessageA(&msg, hwnd, WM_NULL, WM_NULL, PM_REMOVE) != FALSE;
}

TEST(DialogTest, EndingAModelessDialogHidesItWithoutAShowRequestAndPostsANullMessage) {
    CRecordingDlg dlg;
    ASSERT_TRUE(dlg.MakeWindow());
    dlg.ShowWindow(SW_SHOWNA);
    ASSERT_EQ(dlg.shows, (std::vector<WPARAM>{TRUE}));
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageA(&msg);

    ::SendMessageA(dlg.m_hWnd, WM_COMMAND, IDCANCEL, 0);  // Esc and the close box come as this
    EXPECT_FALSE(::IsWindowVisible(dlg.m_hWnd));
    EXPECT_NE(dlg.m_hWnd, nullptr);  // hidden, still made
    EXPECT_EQ(dlg.shows, (std::vector<WPARAM>{TRUE}));
    EXPECT_TRUE(NullQueuedFor(dlg.m_hWnd));

    // A show request to hide does deliver WM_SHOWWINDOW: that is the other way a
    // dialog goes, and the one a dialog may act on.
    dlg.ShowWindow(SW_SHOWNA);
    dlg.ShowWindow(SW_HIDE);
    EXPECT_EQ(dlg.shows, (std::vector<WPARAM>{TRUE, TRUE, FALSE}));
    EXPECT_FALSE(NullQueuedFor(dlg.m_hWnd));
    dlg.DestroyWindow();
}

TEST(DialogTest, TheLoopOffersAMessageToItsWindowAndItsParents) {
    CWinApp app;
    CRecordingDlg dlg;
    ASSERT_TRUE(dlg.MakeWindow());
    HWND button = dlg.GetDlgItem(7);
    ASSERT_NE(button, nullptr);

    MSG msg = {button, WM_APP, 0, 0, 0, {0, 0}};
    EXPECT_FALSE(app.PreTranslateMessage(&msg));  // offered to the dialog, which passes
    msg.message = WM_APP + 1;
    EXPECT_TRUE(app.PreTranslateMessage(&msg));   // used up: not dispatched
    msg.hwnd = dlg.m_hWnd;
    msg.message = WM_NULL;
    EXPECT_FALSE(app.PreTranslateMessage(&msg));
    EXPECT_EQ(dlg.offered, (std::vector<UINT>{WM_APP, WM_APP + 1, WM_NULL}));

    // A window of no object is passed over; a thread message has no window at all.
    HWND plain = ::CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    msg.hwnd = plain;
    EXPECT_FALSE(app.PreTranslateMessage(&msg));
    msg.hwnd = nullptr;
    EXPECT_FALSE(app.PreTranslateMessage(&msg));
    EXPECT_EQ(dlg.offered.size(), 3u);
    ::DestroyWindow(plain);
    dlg.DestroyWindow();
}

// Dialog-init data as the resource compiler lays it out: entries follow their texts
// unaligned.
std::vector<uint8_t> Entry(WORD control, WORD message, const std::string& text, DWORD length) {
    std::vector<uint8_t> b;
    for (int i = 0; i < 2; ++i) b.push_back(static_cast<uint8_t>(control >> (8 * i)));
    for (int i = 0; i < 2; ++i) b.push_back(static_cast<uint8_t>(message >> (8 * i)));
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(length >> (8 * i)));
    for (char c : text) b.push_back(static_cast<uint8_t>(c));
    b.push_back(0);
    return b;
}

TEST(DialogTest, DialogInitDataIsReadEntryByEntryWithinItsSize) {
    struct Case {
        const char* what;
        std::vector<std::vector<uint8_t>> parts;
        bool complete;
        std::vector<std::string> added;  // "control message text"
    };
    const std::vector<uint8_t> end = {0, 0};
    const Case cases[] = {
        {"two lists, odd lengths",
         {Entry(1043, 0x403, "Kavo1", 6), Entry(1044, 0x403, "10", 3), Entry(1044, 0x401, "ALL", 4), end},
         true,
         {"1043 323 Kavo1", "1044 323 10", "1044 384 ALL"}},
        {"a message that adds nothing is passed over", {Entry(5, 0x1234, "x", 2), Entry(6, 0x403, "y", 2), end},
         true, {"6 323 y"}},
        {"no terminating 0", {Entry(5, 0x403, "a", 2)}, false, {"5 323 a"}},
        {"a length past the end", {Entry(5, 0x403, "a", 2), Entry(6, 0x403, "b", 200)}, false, {"5 323 a"}},
        {"a text without its NUL ends at its length", {{5, 0, 0x03, 0x04, 2, 0, 0, 0, 'a', 'b'}, end}, true, {"5 323 ab"}},
        {"an entry cut in its header", {Entry(5, 0x403, "a", 2), {6, 0, 3}}, false, {"5 323 a"}},
        {"nothing", {}, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> data;
        for (const auto& p : c.parts) data.insert(data.end(), p.begin(), p.end());
        std::vector<std::string> added;
        const bool complete = ui::ForEachDlgInitEntry(data.data(), data.size(), [&](const ui::DlgInitEntry& e) {
            added.push_back(std::to_string(e.control) + " " + std::to_string(e.message) + " " + e.text);
        });
        EXPECT_EQ(complete, c.complete);
        EXPECT_EQ(added, c.added);
    }
}

}  // namespace
#endif
