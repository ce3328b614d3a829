#pragma once
// CPortSetupDlg: the dialog that picks the MIDI input and output devices of the two
// routes, switches each route on or off and keeps named presets of the assignment.
// Modeless from the tray menu (made once, then shown and hidden), modal on the first
// run. The decisions live in dialogs/port_setup_model.h; this class moves them into
// the real controls. Windows build only.
#include <windows.h>

#include <cstdint>
#include <string>

#include "settings/settings_model.h"
#include "dialogs/port_setup_model.h"
#include "store/preset_table.h"
#include "ui/dialog.h"

class CPortSetupDlg : public CDialog {
public:
    explicit CPortSetupDlg(HWND parent = nullptr);

    // The settings and preset table every port setup dialog edits: the application
    // object's. Bound once at start-up, before the first dialog is made; an unbound
    // dialog shows its devices but stores nothing.
    static void BindSettings(KavoSettings* settings, PresetTable* presets);

    // 1 while the dialog runs modally as the first-run question: Apply and OK then
    // store but leave the routes alone (start-up starts them afterwards).
    int firstRun;
    // The Init values of the settings last shown: not shown, carried to what is stored.
    int32_t carriedInit[2];

    // Shows two route records and a name in the controls.
    void ShowSettings(const RouteSettings (&routes)[2], const char* name);
    // Apply: stores what the dialog shows (see portsetup::ApplySettings).
    void ApplySettings();

protected:
    BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;
    void OnOK() override;

    LRESULT OnShowWindow(WPARAM wParam, LPARAM lParam);
    void OnApply();
    void OnStorePreset();
    void OnRemovePreset();
    void OnNameEditChange();
    void OnNameSelChange();
    DECLARE_MESSAGE_MAP()

private:
    void FillOnShow();
    void FillDeviceList(int id, const std::vector<std::string>& texts);
    void InsertNameEntry(int position, const char* text, int itemData);
    // "＋" and "－" follow the name box's text, whoever set it.
    void UpdatePresetButtons();
    portsetup::PortForm ReadForm() const;
    portsetup::ListState ReadLists() const;
    HWND NameEdit() const;
    std::string NameText() const;
    void EnableControl(int id, bool enable);
};
