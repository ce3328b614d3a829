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
#define IDD_MONITOR 141

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

// Controls of the control panel.
#define IDC_ALL_NOTES_OFF 1054
#define IDC_TUNING 1024
#define IDC_GM_ON 1034
#define IDC_GS_RESET 1035
#define IDC_XG_RESET 1036
#define IDC_PORT_LIST 1043
#define IDC_CHANNEL_LIST 1044     // position c: Channel c, 16 "ALL"
#define IDC_SENS 1052
#define IDC_OFFSET 1053
#define IDC_VEL_CONVERSION 1051
#define IDC_METRONOME_START 1050
#define IDC_MEASURE_2_2 1045
#define IDC_MEASURE_3_4 1046
#define IDC_MEASURE_4_4 1047
#define IDC_TEMPO_EDIT 1048
#define IDC_TEMPO_SPIN 1049
#define IDC_SENS_VALUE 1056
#define IDC_OFFSET_VALUE 1057
#define IDC_TRANSPOSE 1055
#define IDC_OCTAVE_EDIT 1058
#define IDC_OCTAVE_SPIN 1059

// Controls of the MIDI monitor.
#define IDC_MON_ROUTE1 1101   // route 1's devices, state and figures
#define IDC_MON_ROUTE2 1102
#define IDC_MON_LIST 1103     // the latest messages
#define IDC_MON_PAUSE 1104
#define IDC_MON_CLEAR 1105
#define IDC_MON_LOST 1106     // the lines the monitor lost

// Dialog-init data: the initial entries of a dialog's lists, a resource of this type
// under the dialog's number (the layout the Windows class library uses).
#define RT_KAVO_DLGINIT 240

// The tray menu and its commands.
#define IDR_TRAY_MENU 135
#define ID_APP_ABOUT 16
#define ID_KAVO_ENABLE 32771
#define ID_CONTROL_PANEL 32772
#define ID_PORT_SETUP 32773
#define ID_APP_CLOSE 32774
#define ID_START_AT_LOGON 32775  // check item: the Run value under HKEY_CURRENT_USER
#define ID_MONITOR 32776         // the MIDI monitor
#define ID_PRESET_FIRST 20000
#define ID_PRESET_LAST 20016
