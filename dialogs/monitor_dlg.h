#pragma once
// CMonitorDlg: the MIDI monitor. For each route its devices, state and figures; below,
// the latest messages of both routes, decoded, the newest at the bottom; a pause switch
// and a clear button. Modeless: made once from the tray menu, then shown and hidden.
// While it is shown the engine's tap is on and a timer empties it at most ten times a
// second; hidden, the tap is off and no timer runs, so it costs nothing. The texts come
// from dialogs/monitor_model.h; this class only lays them out. Windows build only.
#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "dialogs/monitor_model.h"
#include "ui/dialog.h"

// The refresh timer: ten times a second at most.
constexpr UINT_PTR kMonitorTimerId = 0x4D4E;
constexpr UINT kMonitorRefreshMs = 100;

class CMonitorDlg : public CDialog {
public:
    explicit CMonitorDlg(HWND parent = nullptr);
    ~CMonitorDlg() override;

protected:
    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;

    LRESULT OnShowWindow(WPARAM wParam, LPARAM lParam);
    LRESULT OnTimer(WPARAM wParam, LPARAM lParam);
    LRESULT OnDestroy(WPARAM wParam, LPARAM lParam);
    void OnPause();
    void OnClear();
    void OnGetDispInfo(NMHDR* header, LRESULT* result);
    DECLARE_MESSAGE_MAP()

private:
    void Start();
    void Stop();
    void Refresh();
    void ShowFigures();
    void SetText(int id, const std::string& text);

    monitor::Monitor model_;
    std::vector<TapEntry> batch_;
    bool running_ = false;
    int64_t baseUs_ = 0;    // the engine's clock when the monitor was shown
    uint32_t dayMs_ = 0;    // ... and the time of day then
    uint64_t shownAdded_ = 0;
    std::wstring cell_;     // the text handed to the list last
};
