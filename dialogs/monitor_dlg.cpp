#include "dialogs/monitor_dlg.h"

#include <chrono>

#include "engine/engine.h"
#include "engine/settings.h"
#include "platform/clock.h"
#include "platform/wide_text.h"
#include "res/resource.h"

namespace {

// The list's columns: time, route, direction, the message.
struct Column {
    const char* title;
    int width;  // pixels
};
const Column kColumns[] = {{"時刻", 92}, {"ルート", 44}, {"方向", 100}, {"メッセージ", 400}};

uint64_t LostNow() {
    uint64_t lost = 0;
    for (const auto& l : tapLost) lost += l.load(std::memory_order_relaxed);
    return lost;
}

void FiguresNow(monitor::Figures (&now)[2]) {
    for (int r = 0; r < 2; ++r) now[r] = monitor::ReadFigures(r);
}

int64_t EngineClockUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string RouteHead(int r) {
    const KavoSettings& s = EngineSettings();
    monitor::RouteState state = monitor::RouteState::Stopped;
    const char* waitingFor = nullptr;
    if (engineRunning == 1 && RouteOpen(r)) {
        state = monitor::RouteState::Forwarding;
    } else if (engineRunning == 1 && RouteWaitsFor(r) != RouteWait::None) {
        state = monitor::RouteState::Waiting;
        waitingFor = RouteWaitsFor(r) == RouteWait::Input ? s.activeNames[r].in : s.activeNames[r].out;
    }
    const bool assigned = s.IsActiveRouteConfigured(r);
    return monitor::HeadText(assigned ? s.activeNames[r].in : "", assigned ? s.activeNames[r].out : "", state,
                             waitingFor);
}

}  // namespace

BEGIN_MESSAGE_MAP(CMonitorDlg, CDialog)
    ON_MESSAGE(WM_SHOWWINDOW, OnShowWindow)
    ON_MESSAGE(WM_TIMER, OnTimer)
    ON_MESSAGE(WM_DESTROY, OnDestroy)
    ON_BN_CLICKED(IDC_MON_PAUSE, OnPause)
    ON_BN_CLICKED(IDC_MON_CLEAR, OnClear)
    ON_NOTIFY(LVN_GETDISPINFOW, IDC_MON_LIST, OnGetDispInfo)
END_MESSAGE_MAP()

CMonitorDlg::CMonitorDlg(HWND parent) : CDialog(IDD_MONITOR, parent) {
    ui::RegisterCommonControls();  // its list view
    batch_.reserve(kTapWriters * kTapRingSize);
}

CMonitorDlg::~CMonitorDlg() { Stop(); }

BOOL CMonitorDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    HWND list = GetDlgItem(IDC_MON_LIST);
    ::SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
    for (int i = 0; i < static_cast<int>(sizeof kColumns / sizeof kColumns[0]); ++i) {
        const std::wstring title = text::Wide(kColumns[i].title);
        LVCOLUMNW c = {};
        c.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        c.pszText = const_cast<wchar_t*>(title.c_str());
        c.cx = kColumns[i].width;
        c.iSubItem = i;
        ::SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&c));
    }
    return TRUE;
}

// Every way the monitor goes out of sight stops it: ending the dialog hides it without
// a WM_SHOWWINDOW.
void CMonitorDlg::OnOK() {
    Stop();
    CDialog::OnOK();
}

void CMonitorDlg::OnCancel() {
    Stop();
    CDialog::OnCancel();
}

LRESULT CMonitorDlg::OnShowWindow(WPARAM wParam, LPARAM lParam) {
    if (wParam) Start();
    else Stop();
    return DefWindowProc(WM_SHOWWINDOW, wParam, lParam);
}

LRESULT CMonitorDlg::OnDestroy(WPARAM wParam, LPARAM lParam) {
    Stop();
    return DefWindowProc(WM_DESTROY, wParam, lParam);
}

void CMonitorDlg::Start() {
    if (running_) return;
    running_ = true;
    SYSTEMTIME now = {};
    ::GetLocalTime(&now);
    dayMs_ = ((now.wHour * 60u + now.wMinute) * 60u + now.wSecond) * 1000u + now.wMilliseconds;
    baseUs_ = EngineClockUs();
    OpenTap();
    OnClear();  // each showing starts afresh
    ::SetTimer(m_hWnd, kMonitorTimerId, kMonitorRefreshMs, nullptr);
}

void CMonitorDlg::Stop() {
    if (!running_) return;
    running_ = false;
    CloseTap();
    if (m_hWnd) ::KillTimer(m_hWnd, kMonitorTimerId);
}

LRESULT CMonitorDlg::OnTimer(WPARAM wParam, LPARAM lParam) {
    if (wParam != kMonitorTimerId) return DefWindowProc(WM_TIMER, wParam, lParam);
    if (running_) Refresh();
    return 0;
}

void CMonitorDlg::Refresh() {
    batch_.clear();
    TakeTap([](const TapEntry& e, void* self) { static_cast<std::vector<TapEntry>*>(self)->push_back(e); }, &batch_);
    model_.Take(batch_);
    ShowFigures();
    if (model_.Added() == shownAdded_) return;
    shownAdded_ = model_.Added();

    HWND list = GetDlgItem(IDC_MON_LIST);
    const int before = static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    const int top = static_cast<int>(::SendMessageW(list, LVM_GETTOPINDEX, 0, 0));
    const int page = static_cast<int>(::SendMessageW(list, LVM_GETCOUNTPERPAGE, 0, 0));
    // The newest line stays in view unless the user has scrolled away from it.
    const bool atBottom = before == 0 || top + page >= before;
    const int count = static_cast<int>(model_.Size());
    ::SendMessageW(list, LVM_SETITEMCOUNT, static_cast<WPARAM>(count), LVSICF_NOSCROLL | LVSICF_NOINVALIDATEALL);
    // The lines move up as the oldest go: what is shown is redrawn from the model.
    ::InvalidateRect(list, nullptr, FALSE);
    if (atBottom && count > 0) ::SendMessageW(list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(count - 1), FALSE);
}

void CMonitorDlg::ShowFigures() {
    monitor::Figures figures[2];
    FiguresNow(figures);
    model_.Sample(figures, LostNow(), platform::TickCount());
    const int ids[2] = {IDC_MON_ROUTE1, IDC_MON_ROUTE2};
    for (int r = 0; r < 2; ++r) {
        SetText(ids[r], RouteHead(r) + "\n" +
                            monitor::FiguresText(model_.Shown(r), model_.InPerSecond(r), model_.OutPerSecond(r)));
    }
    SetText(IDC_MON_LOST, monitor::LostText(model_.Lost()));
}

// Only a text that changed is set: a static control redraws (and flickers) at every set.
void CMonitorDlg::SetText(int id, const std::string& text) {
    const std::wstring wide = text::Wide(text);
    wchar_t now[512] = {};
    ::GetDlgItemTextW(m_hWnd, id, now, 512);
    if (wide != now) ::SetDlgItemTextW(m_hWnd, id, wide.c_str());
}

void CMonitorDlg::OnPause() {
    model_.SetPaused(::IsDlgButtonChecked(m_hWnd, IDC_MON_PAUSE) == BST_CHECKED);
}

void CMonitorDlg::OnClear() {
    monitor::Figures figures[2];
    FiguresNow(figures);
    model_.Clear(figures, LostNow(), platform::TickCount());
    shownAdded_ = model_.Added();
    ::SendMessageW(GetDlgItem(IDC_MON_LIST), LVM_SETITEMCOUNT, 0, 0);
    ShowFigures();
}

void CMonitorDlg::OnGetDispInfo(NMHDR* header, LRESULT* result) {
    auto* info = reinterpret_cast<NMLVDISPINFOW*>(header);
    LVITEMW& item = info->item;
    *result = 0;
    if (!(item.mask & LVIF_TEXT) || !item.pszText || item.cchTextMax <= 0) return;
    item.pszText[0] = L'\0';
    if (item.iItem < 0 || static_cast<size_t>(item.iItem) >= model_.Size()) return;
    const monitor::Line& line = model_.At(static_cast<size_t>(item.iItem));
    switch (item.iSubItem) {
    case 0: cell_ = text::Wide(monitor::TimeText(line.timeUs, baseUs_, dayMs_)); break;
    case 1: cell_ = text::Wide(monitor::RouteText(line.route)); break;
    case 2: cell_ = text::Wide(monitor::DirectionText(line.source)); break;
    default: cell_ = text::Wide(line.text); break;
    }
    lstrcpynW(item.pszText, cell_.c_str(), item.cchTextMax);
}
