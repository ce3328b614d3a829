#pragma once
// The notification-area icon: one record, filled in place and passed to the shell for
// the add at start-up, every change and the delete at shut-down. Windows build only.
#include <windows.h>
#include <shellapi.h>

#include "tray/tray_icon_model.h"

// The icon's identifier.
constexpr UINT kTrayIconId = 128;

// The first form of the record (the 64-character tooltip), in its wide version: the
// tip (63 bytes of 932 at most, so never more than 63 characters) is converted to it.
constexpr DWORD kTrayRecordSize = NOTIFYICONDATAW_V1_SIZE;

// Fills the record for the icon owned by owner with the start-up picture and tip, for
// ShowTrayIcon.
void AddTrayIcon(NOTIFYICONDATAW& record, HWND owner, const TrayIconInputs& in);
// Changes picture and tip to what the state gives. The record holds both before the
// shell is called: the call waits for the shell, and a message sent to the window
// meanwhile must see the picture that goes with the tip.
void ModifyTrayIcon(NOTIFYICONDATAW& record, HWND owner, const TrayIconInputs& in);
void DeleteTrayIcon(NOTIFYICONDATAW& record);
// Puts the icon in the notification area from the record as it stands: the picture and
// tip last chosen, the callback message. True when the shell holds it afterwards. An
// icon the shell holds already is not added again: at logon an add can time out and
// still reach the shell later, and a second add of the same icon would fail.
bool ShowTrayIcon(NOTIFYICONDATAW& record);

// The handle of a picture (kIconStoppedOne...) as the record is given it. The handle is
// shared, so the same picture always gives the same handle.
HICON LoadTrayPicture(int picture);

// Asked before each add of the icon to the shell: false makes the add fail without
// reaching the shell, as it does while the shell is not ready at logon. Null (the
// default) asks nothing. For the end-to-end tests, through the test channel.
using TrayIconAddGate = bool (*)();
void SetTrayIconAddGate(TrayIconAddGate gate);
