// The hidden window and the class library under it, in the real system (the Windows
// build, under Wine): message maps bind commands, command ranges, control
// notifications and messages to handlers, a derived class's table is searched before
// its base's, and what no table binds gets the system's default handling. The tray
// window's commands: preset picks on virtual devices, the double click, opening and
// closing the dialogs, bringing a visible dialog forward; the menu model moved into
// a real menu.
#ifdef _WIN32
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine_test_support.h"
#include "res/resource.h"
#include "tray/tray_menu.h"
#include "tray/tray_wnd.h"
#include "ui/dialog.h"
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

TEST(TrayWndTest, HiddenTopLevelPopUpFoundByTitleAndClass) {
    CTrayWnd wnd;
    ASSERT_TRUE(wnd.CreateHidden());
    EXPECT_FALSE(::IsWindowVisible(wnd.m_hWnd));
    const LONG style = ::GetWindowLongA(wnd.m_hWnd, GWL_STYLE);
    EXPECT_TRUE(style & WS_POPUP);
    EXPECT_FALSE(style & WS_CHILD);
    EXPECT_EQ(::GetAncestor(wnd.m_hWnd, GA_ROOT), wnd.m_hWnd);
    EXPECT_EQ(::GetWindow(wnd.m_hWnd, GW_OWNER), nullptr);
    // Found by its class with its title (string 102, which this test program, having
    // no string table, makes empty).
    char title[32] = {};
    ::GetWindowTextA(wnd.m_hWnd, title, sizeof title);
    EXPECT_EQ(::FindWindowA(kDefaultWindowClass, title), wnd.m_hWnd);
    // It can be the foreground window, which its menu needs to close on a click
    // elsewhere; a child-style window cannot.
    EXPECT_TRUE(::SetForegroundWindow(wnd.m_hWnd));
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

// ---- the menu model in a real menu --------------------------------------------

// The first pop-up of menu 135, as the resource script has it.
HMENU MakeResourceLikePopup() {
    HMENU popup = ::CreatePopupMenu();
    ::AppendMenuA(popup, MF_STRING, ID_KAVO_ENABLE, "Kavo Enable(&S)");
    ::AppendMenuA(popup, MF_SEPARATOR, 0, nullptr);
    ::AppendMenuA(popup, MF_STRING, ID_PRESET_FIRST, "(placeholder)");
    ::AppendMenuA(popup, MF_SEPARATOR, 0, nullptr);
    ::AppendMenuA(popup, MF_STRING, ID_PORT_SETUP, "setup");
    ::AppendMenuA(popup, MF_STRING, ID_CONTROL_PANEL, "panel");
    ::AppendMenuA(popup, MF_SEPARATOR, 0, nullptr);
    ::AppendMenuA(popup, MF_STRING, ID_APP_ABOUT, "about");
    ::AppendMenuA(popup, MF_SEPARATOR, 0, nullptr);
    ::AppendMenuA(popup, MF_STRING, ID_APP_CLOSE, "close");
    return popup;
}

const char kTail[] = "---\n32773 - setup\n32772 - panel\n---\n16 - about\n---\n32774 - close\n";

PresetTable NamedPresets(int count) {
    PresetTable t;
    for (int k = 0; k < count; ++k) std::snprintf(t.names[k], kPresetSlotBytes, "P%d", k + 1);
    t.count = count;
    return t;
}

std::string MenuAfterModel(const char* name, int32_t picked, const PresetTable& presets, bool running) {
    const TrayMenuTexts texts = {"Default (&0)", "start", "stop"};
    HMENU popup = MakeResourceLikePopup();
    ApplyTrayMenuModel(popup, BuildTrayMenuModel(name, picked, presets, running, texts));
    const std::string text = FormatMenuItems(ReadMenuItems(popup));
    ::DestroyMenu(popup);
    return text;
}

TEST(TrayMenuInMenuTest, SectionRemovedWithItsSeparator) {
    // Default alone, and nothing at all (Name set, no presets): the placeholder goes too.
    EXPECT_EQ(MenuAfterModel("", -1, NamedPresets(0), false), std::string("32771 - start\n") + kTail);
    EXPECT_EQ(MenuAfterModel("Live", -1, NamedPresets(0), true), std::string("32771 - stop\n") + kTail);
    PresetTable one = NamedPresets(1);
    EXPECT_EQ(MenuAfterModel("P1", -1, one, false), std::string("32771 - start\n") + kTail);
}

TEST(TrayMenuInMenuTest, EntriesInOrderWithTheCheckMarkOnTheRightItem) {
    EXPECT_EQ(MenuAfterModel("P2", -1, NamedPresets(3), true),
              std::string("32771 - stop\n---\n20000 - P1 (&0)\n20001 x P2 (&1)\n20002 - P3 (&2)\n") + kTail);
    // Picked at 3 under Default, P3 now sits at 2.
    EXPECT_EQ(MenuAfterModel("P3", 3, NamedPresets(3), false),
              std::string("32771 - start\n---\n20000 - P1 (&0)\n20001 - P2 (&1)\n20002 x P3 (&2)\n") + kTail);
    // The picked preset was removed: no check mark anywhere.
    EXPECT_EQ(MenuAfterModel("P9", 1, NamedPresets(2), false),
              std::string("32771 - start\n---\n20000 - P1 (&0)\n20001 - P2 (&1)\n") + kTail);
}

TEST(TrayMenuInMenuTest, SeventeenEntriesEndAt20016) {
    HMENU popup = MakeResourceLikePopup();
    const TrayMenuTexts texts = {"Default (&0)", "start", "stop"};
    ApplyTrayMenuModel(popup, BuildTrayMenuModel("", -1, NamedPresets(16), false, texts));
    const std::vector<MenuItemRecord> items = ReadMenuItems(popup);
    ::DestroyMenu(popup);
    ASSERT_EQ(items.size(), 10u + 16u);
    EXPECT_EQ(items[2].id, 20000u);
    EXPECT_EQ(items[2].text, "Default (&0)");
    EXPECT_TRUE(items[2].checked);
    EXPECT_EQ(items[18].id, 20016u);
    EXPECT_EQ(items[18].text, "P16 (&10)");
    EXPECT_TRUE(items[19].separator);
    EXPECT_EQ(items[20].id, static_cast<UINT>(ID_PORT_SETUP));
    int checked = 0;
    for (const MenuItemRecord& r : items) checked += r.checked;
    EXPECT_EQ(checked, 1);
}

// ---- commands -----------------------------------------------------------------

// A dialog made from a template in memory (the test program has no dialog
// resources), recording when its window goes and when the object is deleted.
class CProbeDlg : public CDialog {
public:
    CProbeDlg(std::vector<std::string>* log, std::string name) : CDialog(0), log_(log), name_(std::move(name)) {}
    ~CProbeDlg() override { log_->push_back(name_ + " deleted"); }
    bool MakeWindow() {
        static const struct alignas(4) {
            DLGTEMPLATE t;
            WORD menu, windowClass, title;
        } tmpl = {{WS_POPUP, 0, 0, 0, 0, 120, 60}, 0, 0, 0};
        return ::CreateDialogIndirectParamA(::GetModuleHandleA(nullptr), &tmpl.t, nullptr, &CDialog::DialogProc,
                                            reinterpret_cast<LPARAM>(this)) != nullptr;
    }

protected:
    void PostNcDestroy() override { log_->push_back(name_ + " destroyed"); }

private:
    std::vector<std::string>* log_;
    std::string name_;
};

class TrayCommandTest : public EngineFixture {
public:
    void SetUp() override {
        EngineFixture::SetUp();
        current = this;
        CTrayWnd::SetLinksProvider(&TrayCommandTest::TestLinks);
        CTrayWnd::SetMenuListener([](HMENU, bool open) { current->menuOpenings += open ? 1 : 0; });
        ASSERT_TRUE(wnd.CreateHidden());
        // Stored: route 1 from input 0 to output 0, route 2 from input 1 to output 1.
        settings.routeSettings[0] = RouteSettings{1, 0, 0, 0};
        settings.routeSettings[1] = RouteSettings{1, 1, 1, 0};
        settings.CopyStoredToActive();
        // "A": route 1 from input 0 to output 1. "B": route 2 from input 1 to output 0.
        std::strcpy(presets.names[0], "A");
        presets.ports[0][0] = RouteSettings{1, 0, 1, 0};
        presets.ports[0][1] = RouteSettings{0, NO_DEVICE, NO_DEVICE, 0};
        std::strcpy(presets.names[1], "B");
        presets.ports[1][0] = RouteSettings{0, NO_DEVICE, NO_DEVICE, 0};
        presets.ports[1][1] = RouteSettings{1, 1, 0, 0};
        presets.count = 2;
    }

    void TearDown() override {
        for (CDialog** dlg : {&portSetupDlg, &controlPanelDlg, &aboutDlg}) {
            delete *dlg;
            *dlg = nullptr;
        }
        wnd.DestroyWindow();
        CTrayWnd::SetLinksProvider(nullptr);
        CTrayWnd::SetMenuListener(nullptr);
        current = nullptr;
        EngineFixture::TearDown();
    }

    static TrayWndLinks TestLinks() {
        TrayWndLinks links;
        links.settings = &current->settings;
        links.presets = &current->presets;
        links.makePortSetup = current->makePortSetup;
        links.endSession = [] { current->log.push_back("session ended"); };
        links.restoreIcon = [] { current->log.push_back("icon restored"); };
        return links;
    }

    LRESULT Send(UINT id) { return Command(wnd.m_hWnd, id); }
    void Icon(LPARAM mouse) { ::SendMessageA(wnd.m_hWnd, kTrayCallbackMessage, kTrayIconId, mouse); }

    // Open count of inputs 0, 1 and outputs 0, 1.
    std::vector<int> OpenDevices() const {
        return {dev.InOpenCount(0), dev.InOpenCount(1), dev.OutOpenCount(0), dev.OutOpenCount(1)};
    }

    CProbeDlg* Probe(const std::string& name, bool shown) {
        CProbeDlg* dlg = new CProbeDlg(&log, name);
        EXPECT_TRUE(dlg->MakeWindow());
        if (shown) dlg->ShowWindow(SW_SHOWNA);
        return dlg;
    }

    static constexpr UINT kTrayIconId = 128;
    static inline TrayCommandTest* current = nullptr;
    CTrayWnd wnd;
    PresetTable presets;
    CDialog* (*makePortSetup)() = nullptr;
    std::vector<std::string> log;
    int menuOpenings = 0;
};

TEST_F(TrayCommandTest, PickingAPresetRunsItsDevicesAndTakesItsName) {
    ASSERT_EQ(engineRunning.load(), 0);
    // Name empty: 20000 is Default, so 20002 is the second preset, "B".
    Send(20002);
    EXPECT_EQ(settings.pickedEntry, 2);
    EXPECT_STREQ(settings.Name, "B");
    EXPECT_EQ(engineRunning.load(), 1);
    EXPECT_EQ(OpenDevices(), (std::vector<int>{0, 1, 1, 0}));
    EXPECT_EQ(settings.activeIn[1], 1);
    EXPECT_EQ(settings.activeOut[1], 0);
    EXPECT_EQ(settings.activeEnabled[0], 0);

    // Name set now: 20000 is the first preset.
    Send(20000);
    EXPECT_EQ(settings.pickedEntry, 0);
    EXPECT_STREQ(settings.Name, "A");
    EXPECT_EQ(OpenDevices(), (std::vector<int>{1, 0, 0, 1}));
    // A pick leaves the stored assignment alone.
    EXPECT_EQ(settings.routeSettings[0].MIDIOut, 0);
    EXPECT_EQ(settings.routeSettings[1].MIDIOut, 1);
}

TEST_F(TrayCommandTest, DefaultWhileStoppedRunsTheStoredAssignment) {
    settings.activeIn[0] = NO_DEVICE;  // as after an earlier pick of another preset
    Send(20000);
    EXPECT_EQ(settings.pickedEntry, 0);
    EXPECT_STREQ(settings.Name, "");
    EXPECT_EQ(engineRunning.load(), 1);
    EXPECT_EQ(OpenDevices(), (std::vector<int>{1, 1, 1, 1}));
}

TEST_F(TrayCommandTest, AnIdentifierPastTheEntriesChangesNothing) {
    Send(20003);  // Default, A, B: 20003 is no entry
    std::strcpy(settings.Name, "A");
    Send(20002);  // A, B: 20002 is no entry
    EXPECT_EQ(settings.pickedEntry, -1);
    EXPECT_STREQ(settings.Name, "A");
    EXPECT_EQ(engineRunning.load(), 0);
    EXPECT_EQ(OpenDevices(), (std::vector<int>{0, 0, 0, 0}));
}

TEST_F(TrayCommandTest, DoubleClickTogglesUnlessADialogIsShown) {
    Icon(WM_LBUTTONDBLCLK);
    EXPECT_EQ(engineRunning.load(), 1);
    Icon(WM_LBUTTONUP);  // other mouse codes do nothing
    Icon(WM_RBUTTONDOWN);
    EXPECT_EQ(engineRunning.load(), 1);
    Icon(WM_LBUTTONDBLCLK);
    EXPECT_EQ(engineRunning.load(), 0);

    aboutDlg = Probe("about", true);
    Icon(WM_LBUTTONDBLCLK);
    EXPECT_EQ(engineRunning.load(), 0);
    aboutDlg->ShowWindow(SW_HIDE);  // a hidden dialog does not hold the toggle
    Icon(WM_LBUTTONDBLCLK);
    EXPECT_EQ(engineRunning.load(), 1);
}

TEST_F(TrayCommandTest, RightClickBringsTheFirstShownDialogForward) {
    controlPanelDlg = Probe("panel", true);
    aboutDlg = Probe("about", true);
    portSetupDlg = Probe("setup", false);
    ::SetForegroundWindow(aboutDlg->m_hWnd);
    ASSERT_EQ(::GetForegroundWindow(), aboutDlg->m_hWnd);
    Icon(WM_RBUTTONUP);
    EXPECT_EQ(::GetForegroundWindow(), controlPanelDlg->m_hWnd);  // before about; setup is hidden
    portSetupDlg->ShowWindow(SW_SHOW);
    ::SetForegroundWindow(aboutDlg->m_hWnd);
    Icon(WM_RBUTTONUP);
    EXPECT_EQ(::GetForegroundWindow(), portSetupDlg->m_hWnd);
    EXPECT_EQ(menuOpenings, 0);
}

TEST_F(TrayCommandTest, DialogsOpenOnFirstUseAndStayMade) {
    // No maker linked: the command opens nothing.
    Send(ID_CONTROL_PANEL);
    Send(ID_APP_ABOUT);
    EXPECT_EQ(controlPanelDlg, nullptr);
    EXPECT_EQ(aboutDlg, nullptr);

    makePortSetup = []() -> CDialog* { return current->Probe("setup", false); };
    Send(ID_PORT_SETUP);
    ASSERT_NE(portSetupDlg, nullptr);
    CDialog* first = portSetupDlg;
    EXPECT_TRUE(::IsWindowVisible(first->m_hWnd));
    first->ShowWindow(SW_HIDE);  // the user closes it: hidden, not destroyed
    Send(ID_PORT_SETUP);
    EXPECT_EQ(portSetupDlg, first);
    EXPECT_TRUE(::IsWindowVisible(first->m_hWnd));
    EXPECT_TRUE(log.empty());
}

TEST_F(TrayCommandTest, SessionEndAndTheShellsRestartReachTheApplication) {
    // Logoff is not refused; only an ending session (not a cancelled one) shuts down.
    EXPECT_EQ(::SendMessageA(wnd.m_hWnd, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE);
    ::SendMessageA(wnd.m_hWnd, WM_ENDSESSION, FALSE, ENDSESSION_LOGOFF);
    EXPECT_TRUE(log.empty());
    ::SendMessageA(wnd.m_hWnd, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
    // The shell's broadcast reaches a top-level window.
    const UINT taskbarCreated = ::RegisterWindowMessageA("TaskbarCreated");
    DWORD_PTR ignored = 0;
    ::SendMessageTimeoutA(HWND_BROADCAST, taskbarCreated, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
    EXPECT_EQ(log, (std::vector<std::string>{"session ended", "icon restored"}));
}

TEST_F(TrayCommandTest, CloseDestroysTheDialogsInOrderAndQuits) {
    portSetupDlg = Probe("setup", false);  // hidden after an earlier OK: still destroyed
    controlPanelDlg = Probe("panel", true);
    aboutDlg = Probe("about", true);
    // Shown windows keep asking to be painted: the queue empties only when dispatched.
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageA(&msg);
    Send(ID_APP_CLOSE);
    const std::vector<std::string> expected = {"about destroyed", "about deleted", "setup destroyed",
                                               "setup deleted",   "panel destroyed", "panel deleted"};
    EXPECT_EQ(log, expected);
    EXPECT_EQ(portSetupDlg, nullptr);
    EXPECT_EQ(controlPanelDlg, nullptr);
    EXPECT_EQ(aboutDlg, nullptr);
    ASSERT_TRUE(::PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 0u);
}

}  // namespace
#endif
