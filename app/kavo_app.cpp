#include "app/kavo_app.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/command_line.h"
#include "app/shut_down.h"
#include "app/test_control.h"
#include "dialogs/control_panel_dlg.h"
#include "dialogs/port_setup_dlg.h"
#include "engine/engine.h"
#include "platform/midi.h"
#include "platform/virtual/virtual_midi.h"
#include "platform/winmm/winmm_backend.h"
#include "platform/app_data.h"
#include "platform/wide_text.h"
#include "res/resource.h"
#include "store/preset_location.h"
#include "store/preset_names.h"
#include "store/settings_store.h"
#include "tray/tray_icon.h"

int exitCleanup = 1;

namespace {

CKavoApp theApp;

const char kAlreadyRunningText[] = "KAVOは既に起動しています。";

// Held for the program's life: of two starts that race past the window search (the
// hidden window is made only later), only the first to take it stays. Per session, as
// the notification icon is.
const wchar_t kInstanceMutexName[] = L"Local\\Ombrix.Kavo2.Resident";
HANDLE instanceMutex = nullptr;

// Another instance of this program is resident: its hidden window (the title and our
// own window class, so that an unrelated window of that name does not count), or the
// instance mutex taken by a start that has not made its window yet.
bool AnotherInstance(const std::string& title) {
    if (::FindWindowW(text::Wide(kDefaultWindowClass).c_str(), text::Wide(title).c_str())) return true;
    instanceMutex = ::CreateMutexW(nullptr, FALSE, kInstanceMutexName);
    return instanceMutex && ::GetLastError() == ERROR_ALREADY_EXISTS;
}
const char kFirstRunText[] = "使用するMIDIデバイスを選択してください。";

// The devices the engine opens: winmm, or the in-process virtual devices when the
// environment names them (end-to-end tests, trying the program without hardware).
// Lives until the process ends, after the last device is closed.
std::unique_ptr<midi::Backend> backend;
midi::VirtualMidi* virtualMidi = nullptr;

// Chooses the backend. False when KAVO_VIRTUAL_MIDI is set but malformed: the program
// then refuses to start rather than run on devices nobody asked for.
bool ChooseBackend() {
    const char* config = std::getenv("KAVO_VIRTUAL_MIDI");
    if (!config) {
        backend = std::make_unique<midi::WinmmBackend>();
    } else {
        midi::VirtualMidi::Config parsed;
        if (!midi::VirtualMidi::ParseConfig(config, &parsed)) return false;
        auto devices = std::make_unique<midi::VirtualMidi>(parsed);
        virtualMidi = devices.get();
        backend = std::move(devices);
    }
    midi::SetBackend(backend.get());
    return true;
}

bool TestControlRequested() {
    const char* v = std::getenv("KAVO_TEST_CONTROL");
    return v && std::strcmp(v, "1") == 0;
}

// At logon the shell may not be ready for the icon, and its "TaskbarCreated" may have
// gone out before the program could hear it: the add is tried again this often.
constexpr UINT_PTR kIconRetryTimer = 0x4B49;
constexpr UINT kIconRetryMs = 3000;

// Called by the message loop's dispatch, which hands a timer with its own procedure
// to that procedure rather than to the window's.
void CALLBACK RetryTrayIcon(HWND, UINT, UINT_PTR, DWORD) { theApp.ShowTrayIconOrRetry(); }

void UpdateTrayIconListener() { theApp.UpdateTrayIcon(); }

// What a route waits for, for the tooltip: the device's stored name, or which device
// it is when no name is known.
const char* const kUnnamedIn[2] = {"MIDI-IN1", "MIDI-IN2"};
const char* const kUnnamedOut[2] = {"MIDI-OUT1", "MIDI-OUT2"};
const char* WaitingFor(const CKavoApp& app, int r) {
    if (!app.IsActiveRouteConfigured(r) || RouteOpen(r)) return nullptr;
    switch (RouteWaitsFor(r)) {
    case RouteWait::Input:
        return app.activeNames[r].in[0] ? app.activeNames[r].in : kUnnamedIn[r];
    case RouteWait::Output:
        return app.activeNames[r].out[0] ? app.activeNames[r].out : kUnnamedOut[r];
    case RouteWait::None:
        break;
    }
    return nullptr;
}

TrayIconInputs IconInputsOf(const CKavoApp& app) {
    TrayIconInputs in;
    in.engineRunning = engineRunning.load() != 0;
    for (int r = 0; r < 2; ++r) {
        in.inputOpen[r] = RouteOpen(r);
        in.waitingFor[r] = in.engineRunning ? WaitingFor(app, r) : nullptr;
        in.activeIn[r] = app.activeIn[r];
        in.activeOut[r] = app.activeOut[r];
        in.activeEnabled[r] = app.activeEnabled[r];
    }
    in.VelConvertion = app.VelConvertion;
    in.TransPose = app.TransPose;
    in.Name = app.Name;
    return in;
}

}  // namespace

CKavoApp& TheKavoApp() { return theApp; }

BOOL CKavoApp::InitInstance() {
    // The three-dimensional look of dialog controls is the system's own now; what
    // start-up still owes the dialogs is their common control classes.
    ui::RegisterCommonControls();

    // Another instance owns the devices and the icon: leave everything to it.
    const std::string title = LoadResString(IDS_WINDOW_TITLE);
    if (AnotherInstance(title)) {
        DoMessageBox(kAlreadyRunningText, MB_OK | MB_ICONSTOP);
        exitCleanup = 0;
        return FALSE;
    }

    if (!ChooseBackend()) {
        DoMessageBox("KAVO_VIRTUAL_MIDI: malformed device list (expected in=A,B;out=C,D)", MB_OK | MB_ICONSTOP);
        exitCleanup = 0;
        return FALSE;
    }
    // On the system's devices the channel stays shut unless a test asks for it, so a
    // shipped program answers nothing extra. What it reports starts before the first
    // box or icon it may be asked about.
    const bool testChannel = virtualMidi || TestControlRequested();
    if (testChannel) StartTestRecording();

    const int enable = ParseEnableSwitch(m_lpCmdLine);
    pickedEntry = -1;

    uint32_t timeOut = 1;
    const int found = LoadSettings(*this, timeOut);
    // The presets live beside the program whatever directory it was started in (the
    // system folder, at logon through the Run key).
    platform::NativePath programFolder;
    if (platform::ProgramFolder(programFolder)) SetPresetProgramFolder(programFolder);
    waitTimeout = timeOut;
    // Read before anything can write the preset file: a first run must not replace an
    // existing PORT.KAV with an empty table.
    LoadPresets(presetTable);
    LoadPresetDeviceNames(presetNames, presetTable.count);
    CPortSetupDlg::BindSettings(this, &presetTable);
    if (!found) {
        DoMessageBox(kFirstRunText, MB_OK | MB_ICONINFORMATION);
        // Modal and without parent; its Apply and OK store but start nothing. Leaving
        // it any other way ends the program with nothing saved, so the next start
        // asks again.
        CPortSetupDlg firstRunDlg;
        firstRunDlg.firstRun = 1;
        if (firstRunDlg.DoModal() != IDOK) {
            exitCleanup = 0;
            return FALSE;
        }
    }

    CControlPanelDlg::BindSettings(this, &UpdateTrayIconListener);
    LinkTrayWndToApp();
    trayWnd.CreateHidden();
    m_pMainWnd = &trayWnd;

    // The output locks are constructed with the engine; the handles start closed.
    for (int r = 0; r < 2; ++r) {
        routeIn[r] = nullptr;
        routeOut[r] = nullptr;
    }

    CopyStoredToActive();

    AddTrayIcon(trayIcon, trayWnd.m_hWnd, IconInputsOf(*this));
    iconWanted_ = true;
    ShowTrayIconOrRetry();
    SetStatusListener(&UpdateTrayIconListener);
    SetDeviceLossListener(&CTrayWnd::PostDeviceLoss);

    if (testChannel) EnableTestControl(virtualMidi);

    SeedEngine(*this);
    if (enable == 1) StartRoutes();
    return TRUE;
}

int CKavoApp::ExitInstance() {
    ShutDown(false);
    if (exitCleanup == 1) trayWnd.DestroyWindow();
    return CWinApp::ExitInstance();
}

void CKavoApp::ShutDown(bool sessionEnding) {
    if (shutDown_) return;
    shutDown_ = true;
    for (const ShutDownStep step : ShutDownSteps(sessionEnding, engineRunning.load() == 1, exitCleanup == 1)) {
        switch (step) {
        case ShutDownStep::StopRoutes: StopRoutes(); break;
        case ShutDownStep::SaveSettings: SaveSettings(*this); break;
        case ShutDownStep::RemoveIcon:
            iconWanted_ = false;
            ::KillTimer(trayWnd.m_hWnd, kIconRetryTimer);
            DeleteTrayIcon(trayIcon);
            trayIconShown = false;
            break;
        }
    }
}

void CKavoApp::RestoreTrayIcon() {
    // Not before start-up has added it, nor after shut-down has taken it away. A new
    // shell holds no icons, but the broadcast can come without one (another program
    // sent it): ShowTrayIcon asks before it adds.
    if (!iconWanted_) return;
    trayIconShown = false;
    ShowTrayIconOrRetry();
}

void CKavoApp::ShowTrayIconOrRetry() {
    if (!iconWanted_ || trayIconShown) {
        ::KillTimer(trayWnd.m_hWnd, kIconRetryTimer);
        return;
    }
    trayIconShown = ShowTrayIcon(trayIcon);
    if (trayIconShown) {
        ::KillTimer(trayWnd.m_hWnd, kIconRetryTimer);
    } else {
        // Set again after each failure: the same timer, its period started anew.
        ::SetTimer(trayWnd.m_hWnd, kIconRetryTimer, kIconRetryMs, &RetryTrayIcon);
    }
}

void CKavoApp::UpdateTrayIcon() {
    ModifyTrayIcon(trayIcon, trayWnd.m_hWnd, IconInputsOf(*this));
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int show) {
    return theApp.RunMain(instance, commandLine, show);
}
