#include "tray/tray_icon.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/wide_text.h"
#include "res/resource.h"
#include "tray/tray_wnd.h"
#include "ui/winapp.h"

// The first form's tip holds 64 characters, NUL included; the shell reads no field
// beyond it.
constexpr size_t kTipChars = 64;
static_assert(kTrayRecordSize == offsetof(NOTIFYICONDATAW, szTip) + kTipChars * sizeof(wchar_t), "first record form");

namespace {

TrayIconAddGate addGate = nullptr;

void Fill(NOTIFYICONDATAW& record, HWND owner, UINT flags, const TrayIconChoice& choice) {
    record.cbSize = kTrayRecordSize;
    record.hWnd = owner;
    record.uID = kTrayIconId;
    record.uFlags = flags;
    record.hIcon = LoadTrayPicture(choice.picture);
    // The tip is chosen and cut in 932 (63 bytes); the shell takes it wide.
    const std::wstring tip = text::Wide(choice.tip, strnlen(choice.tip, kTrayTipSize));
    std::memset(record.szTip, 0, sizeof record.szTip);
    std::memcpy(record.szTip, tip.c_str(), std::min(tip.size(), kTipChars - 1) * sizeof(wchar_t));
}

}  // namespace

// At the small-icon size, so that at high DPI the picture's 20, 24 or 32 pixel frame is
// shown rather than the 16 pixel one stretched. Shared: the system keeps one handle per
// picture, so changing the icon at every start and stop allocates nothing. A shared
// handle is found by name whatever size is asked; that is fine because the size is fixed
// for the program's life (it is system-DPI aware, and such a process keeps the DPI it
// started with) and nothing loads these pictures but this function.
HICON LoadTrayPicture(int picture) {
    return static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(picture), IMAGE_ICON,
                                           ::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON), LR_SHARED));
}

void AddTrayIcon(NOTIFYICONDATAW& record, HWND owner, const TrayIconInputs& in) {
    const std::string off = LoadResString(IDS_TIP_OFF);
    const TrayIconChoice choice = ChooseStartupTrayIcon(in, off.c_str());
    Fill(record, owner, NIF_MESSAGE | NIF_ICON | NIF_TIP, choice);
    record.uCallbackMessage = kTrayCallbackMessage;
}

void ModifyTrayIcon(NOTIFYICONDATAW& record, HWND owner, const TrayIconInputs& in) {
    const std::string on = LoadResString(IDS_TIP_ON);
    const std::string off = LoadResString(IDS_TIP_OFF);
    const TrayIconChoice choice = ChooseTrayIcon(in, on.c_str(), off.c_str());
    Fill(record, owner, NIF_ICON | NIF_TIP, choice);
    ::Shell_NotifyIconW(NIM_MODIFY, &record);
}

void DeleteTrayIcon(NOTIFYICONDATAW& record) { ::Shell_NotifyIconW(NIM_DELETE, &record); }

bool ShowTrayIcon(NOTIFYICONDATAW& record) {
    // A change fails only for an icon the shell does not hold.
    record.uFlags = NIF_ICON | NIF_TIP;
    if (::Shell_NotifyIconW(NIM_MODIFY, &record)) return true;
    record.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    record.uCallbackMessage = kTrayCallbackMessage;
    if (addGate && !addGate()) return false;
    return ::Shell_NotifyIconW(NIM_ADD, &record) != FALSE;
}

void SetTrayIconAddGate(TrayIconAddGate gate) { addGate = gate; }
