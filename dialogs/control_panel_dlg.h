#pragma once
// CControlPanelDlg: the sound-module control panel. The output channel, velocity curve
// (SENS., OFFSET) and its switch, transpose and its octave, the metronome, All Notes Off, the tuning tone
// and the GM, GS and XG resets, for the route the panel's list names. Every control
// acts at once on the application object's settings and the engine; nothing is kept
// here. Modeless: made once, then shown and hidden. The decisions live in
// dialogs/control_panel_model.h; this class moves values between it and the controls.
// Windows build only.
#include <windows.h>

#include <string>

#include "settings/settings_model.h"
#include "ui/dialog.h"

class CControlPanelDlg : public CDialog {
public:
    explicit CControlPanelDlg(HWND parent = nullptr);

    // The settings every panel edits (the application object's) and the icon update
    // that follows the conversion switches. Bound once at start-up; an unbound panel
    // edits nothing.
    static void BindSettings(KavoSettings* settings, void (*updateTrayIcon)());

    BOOL PreTranslateMessage(MSG* msg) override;

protected:
    BOOL OnInitDialog() override;
    void OnOK() override;

    LRESULT OnShowWindow(WPARAM wParam, LPARAM lParam);
    LRESULT OnVScroll(WPARAM wParam, LPARAM lParam);
    void OnSelchangePort();
    void OnSelchangeChannel();
    void OnVelConversion();
    void OnMetronomeStart();
    void OnMeasure22();
    void OnMeasure34();
    void OnMeasure44();
    void OnTempoChange();
    void OnAllNotesOff();  // the button's name; it sends All Sound Off
    void OnTuning();
    void OnGmSystemOn();
    void OnGsReset();
    void OnXgReset();
    void OnTranspose();
    void OnOctaveChange();
    DECLARE_MESSAGE_MAP()

private:
    void FillOnShow();
    bool Checked(int id) const;
    std::string ControlText(int id) const;
};
