#include "tray/tray_wnd.h"

#include <dbt.h>

#include <atomic>
#include <initializer_list>
#include <string>

#include "engine/engine.h"
#include "platform/app_data.h"
#include "platform/message_box.h"
#include "res/resource.h"
#include "platform/cp932.h"
#include "tray/run_at_logon.h"
#include "tray/tray_menu.h"
#include "ui/dialog.h"
#include "ui/winapp.h"

CDialog* portSetupDlg = nullptr;
CDialog* controlPanelDlg = nullptr;
CDialog* aboutDlg = nullptr;
CDialog* monitorDlg = nullptr;

namespace {

CTrayWnd::CopyDataHandler copyDataHandler = nullptr;
CTrayWnd::LinksProvider linksProvider = nullptr;
CTrayWnd::MenuListener menuListener = nullptr;
std::atomic<HWND> lossWindow{nullptr};

// The device interface classes of MIDI ports, input and output: their arrival and
// removal reach only a window that asks for them (DBT_DEVNODES_CHANGED, which says
// only that some device changed, reaches every top-level window).
const GUID kMidiInClass = {0x504be32c, 0xccf6, 0x4d2c, {0xb7, 0x3f, 0x6f, 0x8b, 0x37, 0x47, 0xe2, 0x2b}};
const GUID kMidiOutClass = {0x6dc23320, 0xab33, 0x4ce4, {0x80, 0xd4, 0xbb, 0xb3, 0xeb, 0xbf, 0x28, 0x14}};

HDEVNOTIFY AskForNotices(HWND window, const GUID& cls) {
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = cls;
    return ::RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

// A WM_DEVICECHANGE that may concern a MIDI port.
bool ConcernsMidi(WPARAM event, LPARAM data) {
    if (event == DBT_DEVNODES_CHANGED) return true;
    if (event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) return false;
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    if (!header || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return false;
    const auto* device = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(data);
    return ::IsEqualGUID(device->dbcc_classguid, kMidiInClass) || ::IsEqualGUID(device->dbcc_classguid, kMidiOutClass);
}

// After a sleep an input often stays "open" but delivers nothing, with no error.
bool IsResume(WPARAM event) { return event == PBT_APMRESUMEAUTOMATIC || event == PBT_APMRESUMESUSPEND; }

// Broadcast by the shell when its notification area is made: at its start, and again
// whenever it restarts (after a crash or an update), which leaves no icon behind.
UINT TaskbarCreatedMessage() {
    static const UINT message = ::RegisterWindowMessageW(L"TaskbarCreated");
    return message;
}

TrayWndLinks Links() { return linksProvider ? linksProvider() : TrayWndLinks{}; }

bool IsShown(const CDialog* dlg) { return dlg && dlg->m_hWnd && ::IsWindowVisible(dlg->m_hWnd); }

// Makes the dialog on first use and its window when it has none, then shows it.
void OpenDialog(CDialog*& dlg, CDialog* (*make)()) {
    if (!dlg) {
        if (!make) return;
        dlg = make();
        if (!dlg) return;
    }
    if (!dlg->m_hWnd) dlg->Create(dlg->TemplateId(), ::GetDesktopWindow());
    dlg->ShowWindow(SW_SHOW);
}

void DestroyDialog(CDialog*& dlg) {
    if (!dlg) return;
    if (dlg->m_hWnd) dlg->DestroyWindow();
    delete dlg;
    dlg = nullptr;
}

const char kStartAtLogonFailedText[] = "ログオン時の起動を設定できませんでした。";

// Whether the Run value starts this very program; read afresh at every use, since the
// user (or another copy) may have changed it meanwhile.
bool StartsAtLogon() {
    platform::NativePath program;
    return platform::ProgramFile(program) && ReadRunAtLogon(program) == RunAtLogonState::ThisProgram;
}

void ToggleRoutes() {
    if (engineRunning.load() == 1) {
        StopRoutes();
    } else {
        StartRoutes();
    }
}

}  // namespace

BEGIN_MESSAGE_MAP(CTrayWnd, CWnd)
    ON_COMMAND(ID_KAVO_ENABLE, OnKavoEnable)
    ON_COMMAND(ID_PORT_SETUP, OnPortSetup)
    ON_COMMAND(ID_CONTROL_PANEL, OnControlPanel)
    ON_COMMAND(ID_APP_ABOUT, OnAppAbout)
    ON_COMMAND(ID_MONITOR, OnMonitor)
    ON_COMMAND(ID_APP_CLOSE, OnAppClose)
    ON_COMMAND(ID_START_AT_LOGON, OnStartAtLogon)
    ON_MESSAGE(WM_COPYDATA, OnCopyData)
END_MESSAGE_MAP()

void CTrayWnd::SetCopyDataHandler(CopyDataHandler handler) { copyDataHandler = handler; }
void CTrayWnd::SetLinksProvider(LinksProvider provider) { linksProvider = provider; }
void CTrayWnd::SetMenuListener(MenuListener listener) { menuListener = listener; }

BOOL CTrayWnd::CreateHidden() {
    const std::string title = LoadResString(IDS_WINDOW_TITLE);
    const RECT rect = {0, 0, 10, 10};
    if (!Create(nullptr, title.c_str(), WS_POPUP, rect, nullptr, 0)) return FALSE;
    ShowWindow(SW_HIDE);
    // A program started with more rights than the shell would not hear the shell's
    // broadcast otherwise.
    if (const UINT message = TaskbarCreatedMessage()) ::ChangeWindowMessageFilterEx(m_hWnd, message, MSGFLT_ALLOW, nullptr);
    deviceNotices_[0] = AskForNotices(m_hWnd, kMidiInClass);
    deviceNotices_[1] = AskForNotices(m_hWnd, kMidiOutClass);
    lossWindow.store(m_hWnd, std::memory_order_release);
    return TRUE;
}

void CTrayWnd::PostDeviceLoss() {
    if (HWND window = lossWindow.load(std::memory_order_acquire)) ::PostMessageW(window, kDeviceLossMessage, 0, 0);
}

void CTrayWnd::DevicesChanged(bool resume) { ::SetTimer(m_hWnd, kHealTimerId, heal_.Changed(resume), nullptr); }

void CTrayWnd::OnHealTimer() {
    ::KillTimer(m_hWnd, kHealTimerId);
    const bool reopenAll = heal_.Begin();
    // Automatic: no box, whatever happens; the icon says what the routes wait for.
    if (const UINT pause = heal_.Attempted(HealRoutes(reopenAll))) ::SetTimer(m_hWnd, kHealTimerId, pause, nullptr);
}

LRESULT CTrayWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_ENDSESSION && wParam) {
        // Windows ends the process after this returns, without leaving the message
        // loop: shut-down's work must be done here or not at all.
        if (auto end = Links().endSession) end();
    } else if (message != 0 && message == TaskbarCreatedMessage()) {
        if (auto restore = Links().restoreIcon) restore();
    } else if (message == WM_DEVICECHANGE) {
        if (ConcernsMidi(wParam, lParam)) DevicesChanged(false);
        return TRUE;
    } else if (message == WM_POWERBROADCAST) {
        if (IsResume(wParam)) DevicesChanged(true);
        return TRUE;
    } else if (message == kDeviceLossMessage) {
        DevicesChanged(false);
        return 0;
    } else if (message == WM_TIMER && wParam == kHealTimerId) {
        OnHealTimer();
        return 0;
    } else if (message == WM_DESTROY) {
        lossWindow.store(nullptr, std::memory_order_release);
        for (HDEVNOTIFY& notices : deviceNotices_) {
            if (notices) ::UnregisterDeviceNotification(notices);
            notices = nullptr;
        }
    }
    if (message == kTrayCallbackMessage) {
        if (lParam == WM_RBUTTONUP) {
            OpenMenu();
        } else if (lParam == WM_LBUTTONDBLCLK) {
            ToggleFromIcon();
        }
    }
    return CWnd::WindowProc(message, wParam, lParam);
}

BOOL CTrayWnd::OnCommand(WPARAM wParam, LPARAM lParam) {
    const UINT id = LOWORD(wParam);
    if (HIWORD(wParam) == 0 && id >= ID_PRESET_FIRST && id <= ID_PRESET_LAST) PickPresetEntry(id);
    return CWnd::OnCommand(wParam, lParam);
}

void CTrayWnd::OpenMenu() {
    // While a dialog is up the icon brings it back instead: a menu could change the
    // settings under the dialog's feet.
    for (CDialog* dlg : {portSetupDlg, controlPanelDlg, aboutDlg}) {
        if (!IsShown(dlg)) continue;
        ::MessageBeep(0);
        ::SetForegroundWindow(dlg->m_hWnd);
        ::SetActiveWindow(dlg->m_hWnd);
        return;
    }

    HMENU menu = ::LoadMenuW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_TRAY_MENU));
    if (!menu) return;
    HMENU popup = ::GetSubMenu(menu, 0);
    POINT cursor = {};
    ::GetCursorPos(&cursor);

    const TrayWndLinks links = Links();
    const PresetTable noPresets;
    const std::string defaultText = LoadResString(IDS_MENU_DEFAULT);
    const std::string startText = LoadResString(IDS_MENU_START);
    const std::string stopText = LoadResString(IDS_MENU_STOP);
    const TrayMenuTexts texts = {defaultText.c_str(), startText.c_str(), stopText.c_str()};
    TrayMenuModel model =
        BuildTrayMenuModel(links.settings ? links.settings->Name : "", links.settings ? links.settings->pickedEntry : -1,
                           links.presets ? *links.presets : noPresets, engineRunning.load() == 1, texts);
    model.startAtLogon = StartsAtLogon();
    ApplyTrayMenuModel(popup, model);

    // A menu of a window that is not in the foreground stays open when the user
    // clicks elsewhere; the posted message lets the next opening work after a cancel.
    ::SetForegroundWindow(m_hWnd);
    if (menuListener) menuListener(popup, true);
    ::TrackPopupMenu(popup, TPM_RIGHTALIGN | TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, m_hWnd, nullptr);
    if (menuListener) menuListener(nullptr, false);
    PostMessage(WM_NULL);
    ::DestroyMenu(menu);
}

void CTrayWnd::ToggleFromIcon() {
    if (IsShown(aboutDlg) || IsShown(portSetupDlg) || IsShown(controlPanelDlg)) return;
    ToggleRoutes();
}

void CTrayWnd::PickPresetEntry(UINT id) {
    const TrayWndLinks links = Links();
    if (!links.settings || !links.presets) return;
    KavoSettings& s = *links.settings;
    const PresetTable& t = *links.presets;
    const int preset = PresetIndexForMenuId(id, s.Name);
    // A command for an entry the menu does not have (sent from outside): the slots
    // past the count hold nothing to run.
    if (preset >= t.count || preset >= kPresetMax) return;

    s.pickedEntry = static_cast<int32_t>(id - ID_PRESET_FIRST);
    if (preset < 0) {
        s.CopyStoredToActive();
    } else {
        for (int r = 0; r < 2; ++r) {
            s.activeIn[r] = t.ports[preset][r].MIDIIn;
            s.activeOut[r] = t.ports[preset][r].MIDIOut;
            s.activeEnabled[r] = t.ports[preset][r].Enabled;
            s.activeNames[r] = s.presetNames.routes[preset][r];
        }
        // The slot holds at most 36 bytes and its NUL; the bound keeps a damaged
        // slot from overrunning Name.
        char name[kPresetSlotBytes + 1] = {};
        for (int i = 0; i < kPresetSlotBytes && t.names[preset][i]; ++i) name[i] = t.names[preset][i];
        Cp932CopyCut(s.Name, name, kNameSize - 1);
    }
    // Restarted even when stopped: a pick means "run this".
    StopRoutes();
    StartRoutes();
}

void CTrayWnd::OnKavoEnable() { ToggleRoutes(); }

void CTrayWnd::OnPortSetup() { OpenDialog(portSetupDlg, Links().makePortSetup); }
void CTrayWnd::OnControlPanel() { OpenDialog(controlPanelDlg, Links().makeControlPanel); }
void CTrayWnd::OnAppAbout() { OpenDialog(aboutDlg, Links().makeAbout); }

// The monitor only watches: it changes no setting, so the icon's menu and double click
// stay as they are while it is up. Chosen again, it comes to the front.
void CTrayWnd::OnMonitor() {
    OpenDialog(monitorDlg, Links().makeMonitor);
    if (monitorDlg && monitorDlg->m_hWnd) ::SetForegroundWindow(monitorDlg->m_hWnd);
}

void CTrayWnd::OnAppClose() {
    DestroyDialog(aboutDlg);
    DestroyDialog(portSetupDlg);
    DestroyDialog(controlPanelDlg);
    DestroyDialog(monitorDlg);
    // The message loop ends; shut-down stops the routes, saves and removes the icon.
    ::PostQuitMessage(0);
}

void CTrayWnd::OnStartAtLogon() {
    // Checked: the value goes; unchecked (no value, or one that starts another copy):
    // it is made to start this one.
    platform::NativePath program;
    const bool known = platform::ProgramFile(program);
    const bool on = known && ReadRunAtLogon(program) == RunAtLogonState::ThisProgram;
    if (!known || !SetRunAtLogon(!on, program))
        platform::ShowMessageBox(kStartAtLogonFailedText, platform::kMbIconExclamation);
}

LRESULT CTrayWnd::OnCopyData(WPARAM wParam, LPARAM lParam) {
    if (!copyDataHandler) return 0;
    return copyDataHandler(reinterpret_cast<HWND>(wParam), reinterpret_cast<const COPYDATASTRUCT*>(lParam));
}
