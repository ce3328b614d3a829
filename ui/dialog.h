#pragma once
// CDialog: a dialog box built from a dialog template in the program's resources,
// modal (DoModal) or modeless (Create). After its initialisation a dialog that is
// still hidden, was not moved by OnInitDialog and has no enabled owner is centred on
// the screen. Windows build only.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "ui/wnd.h"

namespace ui {

// One entry of a dialog's dialog-init data: the list it fills, the add-string message
// for it, the text.
struct DlgInitEntry {
    WORD control = 0;
    UINT message = 0;
    std::string text;
};
// Hands each entry of size bytes of dialog-init data to add, in order; false when the
// data ends before its terminating 0 or an entry runs past its end (the entries before
// that are handed over all the same).
bool ForEachDlgInitEntry(const uint8_t* data, size_t size, const std::function<void(const DlgInitEntry&)>& add);

// Registers the common control classes the program's dialog templates hold (track
// bars, up-down controls, extended combo boxes): without them a template that holds
// one cannot be made at all. Start-up calls it, and so does every dialog that holds
// one, since a dialog may be made without the start-up (its tests); registering again
// is harmless. FALSE when the system refused.
BOOL RegisterCommonControls();

}  // namespace ui

class CDialog : public CWnd {
public:
    explicit CDialog(UINT templateId, HWND parent = nullptr) : templateId_(templateId), parent_(parent) {}

    // Runs the dialog modally; returns the value given to EndDialog, or -1 when the
    // dialog could not be made.
    INT_PTR DoModal();
    // Makes the modeless dialog (not shown unless its template says WS_VISIBLE).
    BOOL Create(UINT templateId, HWND parent);
    BOOL Create() { return Create(templateId_, parent_); }

    // Ends a modal dialog with result; a modeless one is hidden and stays made. Either
    // way as the system ends a dialog: hidden without WM_SHOWWINDOW, and a WM_NULL
    // posted to it.
    void EndDialog(int result);
    bool IsModal() const { return modal_; }
    UINT TemplateId() const { return templateId_; }

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    // A modeless dialog's keyboard navigation (Tab, Enter, Esc, mnemonics).
    BOOL PreTranslateMessage(MSG* msg) override;
    BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;
    // What the dialog manager does with a message no handler took.
    LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

protected:
    // The controls exist: adds the template's initial list entries (ExecuteDlgInit);
    // return TRUE to let the system focus the first tab stop.
    virtual BOOL OnInitDialog();
    // Sends the dialog-init data stored under the template's number (resource type
    // RT_KAVO_DLGINIT) to the controls it names: each list gets its initial entries.
    // FALSE when the data is damaged; a template without such data is fine.
    BOOL ExecuteDlgInit();
    virtual void OnOK() { EndDialog(IDOK); }
    virtual void OnCancel() { EndDialog(IDCANCEL); }

private:
    LRESULT HandleInitDialog();

    UINT templateId_;
    HWND parent_;
    bool modal_ = false;
    // Set when a message went to DefWindowProc: the dialog procedure then returns
    // FALSE so that the dialog manager handles it.
    bool defaulted_ = false;
};
