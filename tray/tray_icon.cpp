#include "tray/tray_icon.h"

#include <cstring>
#include <string>

#include "res/resource.h"
#include "tray/tray_wnd.h"
#include "ui/winapp.h"

// The first form ends after a 64-byte tip; the shell reads no field beyond it.
static_assert(kTrayRecordSize == offsetof(NOTIFYICONDATAA, szTip) + kTrayTipSize, "first record form");

namespace {

// Shared: the system keeps one handle per picture, so changing the icon at every start
// and stop allocates nothing.
HICON LoadPicture(int picture) {
    return static_cast<HICON>(::LoadImageA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(picture), IMAGE_ICON, 16, 16, LR_SHARED));
}

void Fill(NOTIFYICONDATAA& record, HWND owner, UINT flags, const TrayIconChoice& choice) {
    record.cbSize = kTrayRecordSize;
    record.hWnd = owner;
    record.uID = kTrayIconId;
    record.uFlags = flags;
    record.hIcon = LoadPicture(choice.picture);
    std::memcpy(record.szTip, choice.tip, kTrayTipSize);
}

}  // namespace

int AddTrayIcon(NOTIFYICONDATAA& record, HWND owner, const TrayIconInputs& in) {
    const std::string off = LoadResString(IDS_TIP_OFF);
    const TrayIconChoice choice = ChooseStartupTrayIcon(in, off.c_str());
    Fill(record, owner, NIF_MESSAGE | NIF_ICON | NIF_TIP, choice);
    record.uCallbackMessage = kTrayCallbackMessage;
    ::Shell_NotifyIconA(NIM_ADD, &record);
    return choice.picture;
}

int ModifyTrayIcon(NOTIFYICONDATAA& record, HWND owner, const TrayIconInputs& in) {
    const std::string on = LoadResString(IDS_TIP_ON);
    const std::string off = LoadResString(IDS_TIP_OFF);
    const TrayIconChoice choice = ChooseTrayIcon(in, on.c_str(), off.c_str());
    Fill(record, owner, NIF_ICON | NIF_TIP, choice);
    ::Shell_NotifyIconA(NIM_MODIFY, &record);
    return choice.picture;
}

void DeleteTrayIcon(NOTIFYICONDATAA& record) { ::Shell_NotifyIconA(NIM_DELETE, &record); }

void ReAddTrayIcon(NOTIFYICONDATAA& record) {
    record.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    record.uCallbackMessage = kTrayCallbackMessage;
    ::Shell_NotifyIconA(NIM_ADD, &record);
}
