#!/bin/bash
# The resident program on a desktop: a start-up failure's box comes to the front; the
# tray menu's owner is the foreground window while the menu is open, and a click
# outside the menu (real input to the X display) closes it with no command; after
# the shell loses the icon, its "TaskbarCreated" broadcast brings the icon back as it
# was; at the session's end (Wine's own, which sends WM_QUERYENDSESSION and
# WM_ENDSESSION), the changes made in the control panel are saved.
#   desktop.sh KAVO2_EXE DRIVER_EXE ARTEFACT_ROOT
set -u
here=$(dirname "${BASH_SOURCE[0]}")
source "$here/../../tools/e2e/kavo-e2e.sh"
e2e_begin desktop "$1" "$2" "$3"
source "$here/port_setup_lib.sh"
source "$here/panel_lib.sh"

ps_decorate
cp_unmanaged
# Both routes on input 1: the second open is refused, as when another program holds
# the device at logon.
e2e_seed_routes Live 1,0,0 1,0,1
e2e_launch
kavo=$E2E_LAST_PID

# ---- a box from start-up comes to the front ---------------------------------------------
e2e_expect_eq "start-up failure" "MIDI-IN2をオープンできません。" "$(drv box-text Kavo2 30000)"
e2e_expect_eq "the box is in front" "$(printf 'topmost=1\nsetforeground=1\nforeground=1')" \
    "$(drv box-made; drv box-style Kavo2)"
e2e_screenshot startup-box
drv box-ok Kavo2
drv wait-window 20000 || e2e_fail "hidden window KAVO2.0 exists"
state=$(drv state)
printf '%s\n' "$state" >"$E2E_ARTEFACTS/state-started.txt"
e2e_expect_eq "the start-up box is the one shown" boxes=1 "$(grep '^boxes=' <<<"$state")"

# ---- the menu closes on a click elsewhere ---------------------------------------------
drv menu 10000 >"$E2E_ARTEFACTS/menu.txt" || e2e_fail "the menu opens"
e2e_expect_eq "while the menu is open its owner is in front" "$(printf 'foreground=KAVO2.0\nclass=KavoWnd')" \
    "$(drv foreground)"
read -r mx my mw mh <<<"$(drv menu-rect)"
# A point well away from the menu, on the empty desktop.
cx=$((mx > 400 ? mx - 300 : mx + mw + 300))
cy=$((my + mh / 2))
e2e_screenshot menu-open
DISPLAY=$DISPLAY xdotool mousemove "$cx" "$cy" click 1
if drv menu-gone 5000; then e2e_pass "a click outside closes the menu"; else e2e_fail "a click outside closes the menu"; fi
e2e_expect_eq "no command ran" "$state" "$(drv state)"
e2e_expect_eq "no dialog came up" "" "$(drv dlg-rect 2>/dev/null; drv cp-rect 2>/dev/null; drv ab-rect 2>/dev/null)"

# ---- the icon comes back with the shell -------------------------------------------------
e2e_expect_eq "the shell holds the icon" icon=1 "$(drv icon-probe)"
drv icon-delete
e2e_expect_eq "the shell lost the icon" icon=0 "$(drv icon-probe)"
drv taskbar-created
e2e_expect_eq "TaskbarCreated: the icon is back" icon=1 "$(drv icon-probe)"
e2e_expect_eq "TaskbarCreated: as it was" "$state" "$(drv state)"
e2e_screenshot_tray icon-back
# Its callback message came back with it: the menu opens from the icon again.
drv menu 10000 >/dev/null && drv menu-key ESC && drv menu-gone 5000
e2e_expect_eq "the icon's menu after the restart" "openings=2" "$(drv menu-items | grep '^openings=')"

# ---- the session ends -----------------------------------------------------------------
cp_open "panel before logoff"
drv cp-drag 1052 20
drv cp-text 1048 90
drv cp-click 1050
drv cp-click 1055
e2e_wine wineboot --end-session
for ((i = 0; i < 100; i++)); do kill -0 "$kavo" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$kavo" 2>/dev/null; then e2e_fail "the session's end ends the program"; else e2e_pass "the session's end ends the program"; fi
k='HKLM\SOFTWARE\Ombrix\Kavo2'
e2e_expect_eq "saved at logoff: vSens" "REG_DWORD 0x14" "$(reg_value "$k\\Controller" vSens)"
e2e_expect_eq "saved at logoff: mTempo" "REG_DWORD 0x5a" "$(reg_value "$k\\Controller" mTempo)"
e2e_expect_eq "saved at logoff: Metronome" "REG_DWORD 0xffffffff" "$(reg_value "$k\\Controller" Metronome)"
e2e_expect_eq "saved at logoff: TransPose" "REG_DWORD 0xffffffff" "$(reg_value "$k\\Controller" TransPose)"
e2e_expect_eq "saved at logoff: Name" "REG_SZ Live" "$(reg_value "$k" Name)"
e2e_end
