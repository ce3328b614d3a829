#pragma once
// The notification-area icon: one record, filled in place and passed to the shell for
// the add at start-up, every change and the delete at shut-down. Windows build only.
#include <windows.h>
#include <shellapi.h>

#include "tray/tray_icon_model.h"

// The icon's identifier.
constexpr UINT kTrayIconId = 128;

// The first form of the record (the 64-byte tooltip): 88 bytes in a 32-bit program,
// 104 in a 64-bit one, where the handles are 8 bytes wide.
constexpr DWORD kTrayRecordSize = NOTIFYICONDATAA_V1_SIZE;

// Adds the icon owned by owner with the start-up picture and tip. Returns the picture.
int AddTrayIcon(NOTIFYICONDATAA& record, HWND owner, const TrayIconInputs& in);
// Changes picture and tip to what the state gives. Returns the picture.
int ModifyTrayIcon(NOTIFYICONDATAA& record, HWND owner, const TrayIconInputs& in);
void DeleteTrayIcon(NOTIFYICONDATAA& record);
// Adds the icon again from the record as it stands: the picture and tip last shown,
// the callback message.
void ReAddTrayIcon(NOTIFYICONDATAA& record);
