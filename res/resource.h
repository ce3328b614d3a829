// Resource numbers, shared by the resource script and the program. Numbers only: the
// resource compiler reads this file too.
#pragma once

// Icons: the application's own, and the six notification-area pictures (stopped,
// running, converting; one route or two).
#define IDR_MAINFRAME 128
#define IDI_STOPPED_ONE 200
#define IDI_STOPPED_TWO 201
#define IDI_RUNNING_ONE 210
#define IDI_RUNNING_TWO 211
#define IDI_CONVERTING_ONE 220
#define IDI_CONVERTING_TWO 221

// Strings.
#define IDS_WINDOW_TITLE 102   // the hidden window's title, also the single-instance marker
#define IDS_MENU_START 104
#define IDS_MENU_STOP 105
#define IDS_MENU_DEFAULT 106
#define IDS_TIP_OFF 10000
#define IDS_TIP_ON 10001

// Dialog templates (their resources come with their dialogs).
#define IDD_ABOUT 100
#define IDD_PORT_SETUP 129
#define IDD_CONTROL_PANEL 133

// Controls of the port setup dialog. Per route r (0 or 1): input list 16000 + r,
// output list 17000 + r, check box 19000 + r; the handlers rely on that rule.
#define IDC_APPLY 3
#define IDC_IN_LIST1 16000
#define IDC_IN_LIST2 16001
#define IDC_OUT_LIST1 17000
#define IDC_OUT_LIST2 17001
#define IDC_ROUTE_CHECK1 19000
#define IDC_ROUTE_CHECK2 19001
#define IDC_NAME_BOX 1037
#define IDC_STORE_PRESET 1018
#define IDC_REMOVE_PRESET 1019

// The tray menu and its commands.
#define IDR_TRAY_MENU 135
#define ID_APP_ABOUT 16
#define ID_KAVO_ENABLE 32771
#define ID_CONTROL_PANEL 32772
#define ID_PORT_SETUP 32773
#define ID_APP_CLOSE 32774
#define ID_PRESET_FIRST 20000
#define ID_PRESET_LAST 20016

// The hidden window's control identifier.
#define IDC_TRAY_WINDOW 3000
