#include "dialogs/port_setup_dlg.h"

#include <commctrl.h>

#include <cstring>
#include <vector>

#include "platform/wide_text.h"
#include "res/resource.h"

namespace {

KavoSettings* boundSettings = nullptr;
PresetTable* boundPresets = nullptr;

int InList(int r) { return IDC_IN_LIST1 + r; }
int OutList(int r) { return IDC_OUT_LIST1 + r; }
int RouteCheck(int r) { return IDC_ROUTE_CHECK1 + r; }

// A name slot as text: a slot holds at most 36 bytes and its NUL, but a slot read from
// a damaged file is not trusted to end within its 37 bytes.
std::string SlotName(const PresetTable& t, int slot) {
    return std::string(t.names[slot], strnlen(t.names[slot], kPresetSlotBytes));
}

int UsedSlots(const PresetTable& t) {
    if (t.count < 0) return 0;
    return t.count > kPresetMax ? kPresetMax : t.count;
}

}  // namespace

BEGIN_MESSAGE_MAP(CPortSetupDlg, CDialog)
    ON_MESSAGE(WM_SHOWWINDOW, OnShowWindow)
    ON_BN_CLICKED(IDC_APPLY, OnApply)
    ON_BN_CLICKED(IDC_STORE_PRESET, OnStorePreset)
    ON_BN_CLICKED(IDC_REMOVE_PRESET, OnRemovePreset)
    ON_CONTROL(CBN_EDITCHANGE, IDC_NAME_BOX, OnNameEditChange)
    ON_CBN_SELCHANGE(IDC_NAME_BOX, OnNameSelChange)
END_MESSAGE_MAP()

CPortSetupDlg::CPortSetupDlg(HWND parent) : CDialog(IDD_PORT_SETUP, parent), firstRun(0), carriedInit{0, 0} {
    ui::RegisterCommonControls();  // the name box is an extended combo box
}

void CPortSetupDlg::BindSettings(KavoSettings* settings, PresetTable* presets) {
    boundSettings = settings;
    boundPresets = presets;
}

BOOL CPortSetupDlg::OnCommand(WPARAM wParam, LPARAM lParam) {
    // Every notification passes here before its own handler: a device picked in one
    // list switches its route on when the other list is set too, and any selection
    // change or route switch makes Apply available.
    const portsetup::CommandEffect effect = portsetup::EffectOfCommand(LOWORD(wParam), HIWORD(wParam), ReadForm());
    if (effect.checkRoute >= 0) ::CheckDlgButton(m_hWnd, RouteCheck(effect.checkRoute), BST_CHECKED);
    if (effect.enableApply) EnableControl(IDC_APPLY, true);
    return CDialog::OnCommand(wParam, lParam);
}

LRESULT CPortSetupDlg::OnShowWindow(WPARAM wParam, LPARAM lParam) {
    // Only showing fills; hiding keeps everything as it is.
    if (wParam == TRUE) FillOnShow();
    // The dialog manager still does its own part (it saves the focus on hiding).
    return DefWindowProc(WM_SHOWWINDOW, wParam, lParam);
}

void CPortSetupDlg::FillOnShow() {
    const std::vector<std::string> inputs = portsetup::InputDeviceTexts();
    const std::vector<std::string> outputs = portsetup::OutputDeviceTexts();
    for (int r = 0; r < 2; ++r) {
        const portsetup::RouteOffer offer =
            portsetup::OfferFor(r, static_cast<uint32_t>(inputs.size()), static_cast<uint32_t>(outputs.size()));
        // Lists that are no longer offered keep their entries (greyed); ShowSettings
        // leaves them without a selection.
        if (offer.input) FillDeviceList(InList(r), inputs);
        if (offer.output) FillDeviceList(OutList(r), outputs);
        EnableControl(InList(r), offer.input);
        EnableControl(OutList(r), offer.output);
        EnableControl(RouteCheck(r), offer.check);
    }

    ::SendMessageW(GetDlgItem(IDC_NAME_BOX), CB_RESETCONTENT, 0, 0);
    if (boundPresets) {
        for (int k = 0; k < UsedSlots(*boundPresets); ++k) InsertNameEntry(k, SlotName(*boundPresets, k).c_str(), k);
    }

    if (boundSettings) {
        char name[kNameSize + 1] = {};
        std::memcpy(name, boundSettings->Name, kNameSize);
        ShowSettings(boundSettings->routeSettings, name);
    }
    EnableControl(IDC_APPLY, false);
}

void CPortSetupDlg::FillDeviceList(int id, const std::vector<std::string>& texts) {
    HWND list = GetDlgItem(id);
    ::SendMessageW(list, CB_RESETCONTENT, 0, 0);
    for (size_t j = 0; j < texts.size(); ++j) {
        const std::wstring entry = text::Wide(texts[j]);
        const LRESULT pos = ::SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
        if (pos >= 0) ::SendMessageW(list, CB_SETITEMDATA, static_cast<WPARAM>(pos), static_cast<LPARAM>(j));
    }
}

void CPortSetupDlg::InsertNameEntry(int position, const char* text, int itemData) {
    std::wstring wide = text::Wide(text);
    COMBOBOXEXITEMW item = {};
    item.mask = CBEIF_TEXT | CBEIF_LPARAM;
    item.iItem = position;
    item.pszText = &wide[0];
    item.lParam = itemData;
    ::SendMessageW(GetDlgItem(IDC_NAME_BOX), CBEM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
}

void CPortSetupDlg::ShowSettings(const RouteSettings (&routes)[2], const char* name) {
    const portsetup::PortForm form = portsetup::FormForRoutes(routes, ReadLists());
    for (int r = 0; r < 2; ++r) {
        carriedInit[r] = form.carriedInit[r];
        ::SendMessageW(GetDlgItem(InList(r)), CB_SETCURSEL, static_cast<WPARAM>(form.inSel[r]), 0);
        ::SendMessageW(GetDlgItem(OutList(r)), CB_SETCURSEL, static_cast<WPARAM>(form.outSel[r]), 0);
        ::CheckDlgButton(m_hWnd, RouteCheck(r), form.checked[r] ? BST_CHECKED : BST_UNCHECKED);
    }

    HWND box = GetDlgItem(IDC_NAME_BOX);
    const int entry = boundPresets ? portsetup::NameEntryFor(*boundPresets, name) : -1;
    const LRESULT count = ::SendMessageW(box, CB_GETCOUNT, 0, 0);
    if (entry >= 0 && entry < count) {
        ::SendMessageW(box, CB_SETCURSEL, static_cast<WPARAM>(entry), 0);
    } else {
        ::SendMessageW(box, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
        ::SetWindowTextW(NameEdit(), text::Wide(name).c_str());
    }
    // Whether the box reports a text it was given as an edit is up to the control.
    UpdatePresetButtons();
}

void CPortSetupDlg::ApplySettings() {
    if (!boundSettings || !boundPresets) return;
    const std::string text = NameText();
    const StoreResult stored = portsetup::ApplySettings(*boundSettings, *boundPresets, text.c_str(), ReadForm(), firstRun);
    if (stored.outcome == StoreOutcome::Added)
        InsertNameEntry(stored.slot, SlotName(*boundPresets, stored.slot).c_str(), stored.slot);
    EnableControl(IDC_APPLY, false);
}

void CPortSetupDlg::OnOK() {
    ApplySettings();
    CDialog::OnOK();
}

void CPortSetupDlg::OnApply() { ApplySettings(); }

void CPortSetupDlg::OnStorePreset() {
    if (!boundPresets) return;
    const std::string text = NameText();
    const StoreResult stored =
        boundSettings ? portsetup::StoreFormAsPreset(*boundPresets, boundSettings->presetNames, text.c_str(), ReadForm())
                      : portsetup::StoreFormAsPreset(*boundPresets, text.c_str(), ReadForm());
    if (stored.outcome == StoreOutcome::Added)
        InsertNameEntry(stored.slot, SlotName(*boundPresets, stored.slot).c_str(), stored.slot);
    if (stored.outcome == StoreOutcome::Added || stored.outcome == StoreOutcome::Replaced)
        EnableControl(IDC_APPLY, true);
}

void CPortSetupDlg::OnRemovePreset() {
    if (!boundPresets) return;
    // Looked up uncut: a text longer than any name removes nothing.
    const std::string text = NameText();
    const int removed = boundSettings ? portsetup::RemoveNamedPreset(*boundPresets, boundSettings->presetNames, text.c_str())
                                      : RemovePreset(*boundPresets, text.c_str());
    if (removed < 0) return;
    ::SendMessageW(GetDlgItem(IDC_NAME_BOX), CB_DELETESTRING, static_cast<WPARAM>(removed), 0);
    ::SetWindowTextW(NameEdit(), L"");
    UpdatePresetButtons();
    EnableControl(IDC_APPLY, true);
}

void CPortSetupDlg::OnNameEditChange() {
    UpdatePresetButtons();
    EnableControl(IDC_APPLY, true);
}

void CPortSetupDlg::UpdatePresetButtons() {
    // "＋" and "－" do nothing without a name: they are offered only with one.
    const bool named = !NameText().empty();
    EnableControl(IDC_STORE_PRESET, named);
    EnableControl(IDC_REMOVE_PRESET, named);
}

void CPortSetupDlg::OnNameSelChange() {
    if (!boundPresets) return;
    const LRESULT pos = ::SendMessageW(GetDlgItem(IDC_NAME_BOX), CB_GETCURSEL, 0, 0);
    if (pos < 0 || pos >= UsedSlots(*boundPresets)) return;
    const int slot = static_cast<int>(pos);
    ShowSettings(boundPresets->ports[slot], SlotName(*boundPresets, slot).c_str());
    EnableControl(IDC_APPLY, true);
}

portsetup::PortForm CPortSetupDlg::ReadForm() const {
    portsetup::PortForm form;
    for (int r = 0; r < 2; ++r) {
        form.inSel[r] = static_cast<int>(::SendMessageW(GetDlgItem(InList(r)), CB_GETCURSEL, 0, 0));
        form.outSel[r] = static_cast<int>(::SendMessageW(GetDlgItem(OutList(r)), CB_GETCURSEL, 0, 0));
        form.checked[r] = ::IsDlgButtonChecked(m_hWnd, RouteCheck(r)) == BST_CHECKED;
        form.carriedInit[r] = carriedInit[r];
    }
    return form;
}

portsetup::ListState CPortSetupDlg::ReadLists() const {
    portsetup::ListState lists;
    for (int r = 0; r < 2; ++r) {
        lists.inEnabled[r] = ::IsWindowEnabled(GetDlgItem(InList(r))) != FALSE;
        lists.outEnabled[r] = ::IsWindowEnabled(GetDlgItem(OutList(r))) != FALSE;
        lists.inCount[r] = static_cast<int>(::SendMessageW(GetDlgItem(InList(r)), CB_GETCOUNT, 0, 0));
        lists.outCount[r] = static_cast<int>(::SendMessageW(GetDlgItem(OutList(r)), CB_GETCOUNT, 0, 0));
    }
    return lists;
}

HWND CPortSetupDlg::NameEdit() const {
    return reinterpret_cast<HWND>(::SendMessageW(GetDlgItem(IDC_NAME_BOX), CBEM_GETEDITCONTROL, 0, 0));
}

std::string CPortSetupDlg::NameText() const {
    HWND edit = NameEdit();
    const int length = ::GetWindowTextLengthW(edit);
    if (length <= 0) return std::string();
    std::wstring wide(static_cast<size_t>(length) + 1, L'\0');
    const int got = ::GetWindowTextW(edit, &wide[0], length + 1);
    // A character that has no 932 form (typed on a system of another code page)
    // becomes a visible "?" in the name that is stored and shown again.
    return text::Narrow(wide.c_str(), got > 0 ? static_cast<size_t>(got) : 0);
}

void CPortSetupDlg::EnableControl(int id, bool enable) {
    HWND control = GetDlgItem(id);
    // A control that loses its enabling while it has the focus would leave the
    // keyboard nowhere: the focus moves on to the next control first.
    if (!enable && ::GetFocus() == control) ::SendMessageW(m_hWnd, WM_NEXTDLGCTL, 0, FALSE);
    ::EnableWindow(control, enable ? TRUE : FALSE);
}
