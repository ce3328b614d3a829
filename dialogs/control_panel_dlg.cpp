#include "dialogs/control_panel_dlg.h"

#include <commctrl.h>

#include <string>

#include "dialogs/control_panel_model.h"
#include "engine/engine.h"
#include "platform/wide_text.h"
#include "res/resource.h"

namespace {

KavoSettings* boundSettings = nullptr;
void (*boundUpdateTrayIcon)() = nullptr;

}  // namespace

BEGIN_MESSAGE_MAP(CControlPanelDlg, CDialog)
    ON_MESSAGE(WM_VSCROLL, OnVScroll)
    ON_CBN_SELCHANGE(IDC_PORT_LIST, OnSelchangePort)
    ON_CBN_SELCHANGE(IDC_CHANNEL_LIST, OnSelchangeChannel)
    ON_BN_CLICKED(IDC_VEL_CONVERSION, OnVelConversion)
    ON_BN_CLICKED(IDC_METRONOME_START, OnMetronomeStart)
    ON_BN_CLICKED(IDC_MEASURE_2_2, OnMeasure22)
    ON_BN_CLICKED(IDC_MEASURE_3_4, OnMeasure34)
    ON_BN_CLICKED(IDC_MEASURE_4_4, OnMeasure44)
    ON_EN_CHANGE(IDC_TEMPO_EDIT, OnTempoChange)
    ON_BN_CLICKED(IDC_ALL_NOTES_OFF, OnAllNotesOff)
    ON_BN_CLICKED(IDC_TUNING, OnTuning)
    ON_BN_CLICKED(IDC_GM_ON, OnGmSystemOn)
    ON_BN_CLICKED(IDC_GS_RESET, OnGsReset)
    ON_BN_CLICKED(IDC_XG_RESET, OnXgReset)
    ON_MESSAGE(WM_SHOWWINDOW, OnShowWindow)
    ON_BN_CLICKED(IDC_TRANSPOSE, OnTranspose)
    ON_EN_CHANGE(IDC_OCTAVE_EDIT, OnOctaveChange)
END_MESSAGE_MAP()

CControlPanelDlg::CControlPanelDlg(HWND parent) : CDialog(IDD_CONTROL_PANEL, parent) {
    ui::RegisterCommonControls();  // its track bars and up-down controls
}

void CControlPanelDlg::BindSettings(KavoSettings* settings, void (*updateTrayIcon)()) {
    boundSettings = settings;
    boundUpdateTrayIcon = updateTrayIcon;
}

BOOL CControlPanelDlg::PreTranslateMessage(MSG* msg) {
    // Ending the dialog posts a WM_NULL to it: every way of closing the panel (the
    // close button, Esc, the close box) stops the metronome this way.
    if (msg->message == WM_NULL) controlpanel::NullMessage();
    return CDialog::PreTranslateMessage(msg);
}

BOOL CControlPanelDlg::OnInitDialog() {
    CDialog::OnInitDialog();  // the lists' initial entries
    return TRUE;
}

void CControlPanelDlg::OnOK() {
    controlpanel::ClosePanel();
    CDialog::OnOK();
}

LRESULT CControlPanelDlg::OnShowWindow(WPARAM wParam, LPARAM lParam) {
    if (wParam) {
        FillOnShow();
    } else {
        controlpanel::HidePanel();
    }
    // The dialog manager still does its own part (it saves the focus on hiding).
    return DefWindowProc(WM_SHOWWINDOW, wParam, lParam);
}

void CControlPanelDlg::FillOnShow() {
    if (!boundSettings) return;
    const controlpanel::PanelView v = controlpanel::ShowPanel(*boundSettings, routeIn[0] != nullptr, routeIn[1] != nullptr);

    HWND routes = GetDlgItem(IDC_PORT_LIST);
    ::SendMessageW(routes, CB_RESETCONTENT, 0, 0);
    for (int i = 0; i < v.routes.count; ++i) {
        const std::wstring entry = text::Wide(controlpanel::RouteText(v.routes.data[i]));
        const LRESULT pos = ::SendMessageW(routes, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
        if (pos >= 0) ::SendMessageW(routes, CB_SETITEMDATA, static_cast<WPARAM>(pos), v.routes.data[i]);
    }
    ::SendMessageW(routes, CB_SETCURSEL, static_cast<WPARAM>(v.routes.selected), 0);
    ::SendMessageW(GetDlgItem(IDC_CHANNEL_LIST), CB_SETCURSEL, static_cast<WPARAM>(v.channel), 0);

    ::CheckDlgButton(m_hWnd, IDC_VEL_CONVERSION, v.velConversion ? BST_CHECKED : BST_UNCHECKED);
    ::CheckDlgButton(m_hWnd, IDC_METRONOME_START, v.metronome ? BST_CHECKED : BST_UNCHECKED);

    HWND tempo = GetDlgItem(IDC_TEMPO_SPIN);
    ::SendMessageW(tempo, UDM_SETRANGE32, controlpanel::kTempoMin, controlpanel::kTempoMax);
    ::SendMessageW(tempo, UDM_SETPOS32, 0, v.tempo);

    HWND sens = GetDlgItem(IDC_SENS);
    ::SendMessageW(sens, TBM_SETRANGE, FALSE, MAKELPARAM(0, controlpanel::kSensMax));
    ::SendMessageW(sens, TBM_CLEARTICS, FALSE, 0);
    ::SendMessageW(sens, TBM_SETTIC, 0, controlpanel::kSensCentre);
    ::SendMessageW(sens, TBM_SETPAGESIZE, 0, controlpanel::kSensPage);
    ::SendMessageW(sens, TBM_SETPOS, TRUE, v.sens);

    HWND offset = GetDlgItem(IDC_OFFSET);
    ::SendMessageW(offset, TBM_SETRANGE, FALSE, MAKELPARAM(0, controlpanel::kOffsetMax));
    ::SendMessageW(offset, TBM_SETTICFREQ, controlpanel::kOffsetTicks, 0);
    ::SendMessageW(offset, TBM_SETPAGESIZE, 0, controlpanel::kOffsetPage);
    ::SendMessageW(offset, TBM_SETPOS, TRUE, v.offset);

    ::SetDlgItemTextW(m_hWnd, IDC_SENS_VALUE, text::Wide(v.sensText).c_str());
    ::SetDlgItemTextW(m_hWnd, IDC_OFFSET_VALUE, text::Wide(v.offsetText).c_str());

    const int measures[3] = {IDC_MEASURE_2_2, IDC_MEASURE_3_4, IDC_MEASURE_4_4};
    for (int m = 0; m < 3; ++m) ::CheckDlgButton(m_hWnd, measures[m], v.measure[m] ? BST_CHECKED : BST_UNCHECKED);

    ::CheckDlgButton(m_hWnd, IDC_TRANSPOSE, v.transpose ? BST_CHECKED : BST_UNCHECKED);

    HWND octave = GetDlgItem(IDC_OCTAVE_SPIN);
    ::SendMessageW(octave, UDM_SETRANGE32, static_cast<WPARAM>(controlpanel::kOctaveMin), controlpanel::kOctaveMax);
    ::SendMessageW(octave, UDM_SETPOS32, 0, v.octave);
}

LRESULT CControlPanelDlg::OnVScroll(WPARAM wParam, LPARAM lParam) {
    HWND from = reinterpret_cast<HWND>(lParam);
    // The up-down controls send scroll messages too; only the track bars count.
    const bool isSens = from && from == GetDlgItem(IDC_SENS);
    const bool isOffset = from && from == GetDlgItem(IDC_OFFSET);
    if (boundSettings && (isSens || isOffset)) {
        const int code = LOWORD(wParam);
        const int carried = static_cast<int>(static_cast<short>(HIWORD(wParam)));
        const int thumb = static_cast<int>(::SendMessageW(from, TBM_GETPOS, 0, 0));
        const controlpanel::ScrollResult r = isSens ? controlpanel::ScrollSens(*boundSettings, code, carried, thumb)
                                                    : controlpanel::ScrollOffset(*boundSettings, code, carried, thumb);
        if (r.moveThumbTo >= 0) ::SendMessageW(from, TBM_SETPOS, TRUE, r.moveThumbTo);
        ::SetDlgItemTextW(m_hWnd, isSens ? IDC_SENS_VALUE : IDC_OFFSET_VALUE, text::Wide(r.text).c_str());
    }
    return DefWindowProc(WM_VSCROLL, wParam, lParam);
}

void CControlPanelDlg::OnSelchangePort() {
    if (!boundSettings) return;
    HWND routes = GetDlgItem(IDC_PORT_LIST);
    const LRESULT pos = ::SendMessageW(routes, CB_GETCURSEL, 0, 0);
    if (pos < 0) return;
    controlpanel::SelectRoute(*boundSettings,
                              static_cast<int>(::SendMessageW(routes, CB_GETITEMDATA, static_cast<WPARAM>(pos), 0)));
}

void CControlPanelDlg::OnSelchangeChannel() {
    if (!boundSettings) return;
    const LRESULT pos = ::SendMessageW(GetDlgItem(IDC_CHANNEL_LIST), CB_GETCURSEL, 0, 0);
    if (pos >= 0) controlpanel::SelectChannel(*boundSettings, static_cast<int>(pos));
}

void CControlPanelDlg::OnVelConversion() {
    if (boundSettings) controlpanel::SetVelConversion(*boundSettings, Checked(IDC_VEL_CONVERSION), boundUpdateTrayIcon);
}

void CControlPanelDlg::OnMetronomeStart() {
    if (boundSettings) controlpanel::SetMetronome(*boundSettings, Checked(IDC_METRONOME_START));
}

void CControlPanelDlg::OnMeasure22() {
    if (boundSettings) controlpanel::ChooseMeasure(*boundSettings, 0);
}
void CControlPanelDlg::OnMeasure34() {
    if (boundSettings) controlpanel::ChooseMeasure(*boundSettings, 1);
}
void CControlPanelDlg::OnMeasure44() {
    if (boundSettings) controlpanel::ChooseMeasure(*boundSettings, 2);
}

void CControlPanelDlg::OnTempoChange() {
    if (boundSettings)
        controlpanel::TakeTempoText(*boundSettings, ControlText(IDC_TEMPO_EDIT).c_str(), ::IsWindowVisible(m_hWnd) != FALSE);
}

void CControlPanelDlg::OnAllNotesOff() { controlpanel::SilenceAllOutputs(); }

void CControlPanelDlg::OnTuning() { controlpanel::Tune(); }

void CControlPanelDlg::OnGmSystemOn() {
    if (boundSettings) controlpanel::SendReset(*boundSettings, controlpanel::Reset::GmSystemOn);
}
void CControlPanelDlg::OnGsReset() {
    if (boundSettings) controlpanel::SendReset(*boundSettings, controlpanel::Reset::GsReset);
}
void CControlPanelDlg::OnXgReset() {
    if (boundSettings) controlpanel::SendReset(*boundSettings, controlpanel::Reset::XgReset);
}

void CControlPanelDlg::OnTranspose() {
    if (boundSettings) controlpanel::SetTranspose(*boundSettings, Checked(IDC_TRANSPOSE), boundUpdateTrayIcon);
}

void CControlPanelDlg::OnOctaveChange() {
    if (boundSettings)
        controlpanel::TakeOctaveText(*boundSettings, ControlText(IDC_OCTAVE_EDIT).c_str(),
                                     ::IsWindowVisible(m_hWnd) != FALSE);
}

bool CControlPanelDlg::Checked(int id) const { return ::IsDlgButtonChecked(m_hWnd, id) == BST_CHECKED; }

std::string CControlPanelDlg::ControlText(int id) const {
    wchar_t wide[64] = {};
    ::GetDlgItemTextW(m_hWnd, id, wide, 64);
    return text::Narrow(wide);
}
