#!/bin/bash
# The tray menu beside the port setup dialog: while the dialog is shown, a right
# click brings it forward and opens no menu, and a double click does nothing; once it
# is hidden the menu opens again. Presets removed with "－" (then Cancel) move the
# entries up: the check mark stays on the picked preset, and goes when the picked
# preset itself is removed. Close destroys the hidden dialog and ends the program with
# the picked name saved and PORT.KAV as it was.
#   menu_dialog.sh KAVO2_EXE DRIVER_EXE ARTEFACT_ROOT
set -u
here=$(dirname "${BASH_SOURCE[0]}")
source "$here/../../tools/e2e/kavo-e2e.sh"
source "$here/menu_lib.sh"
e2e_begin menu_dialog "$1" "$2" "$3"

kav=$E2E_WORK/PORT.KAV
caption='Kavo2 - MIDI I/Fの設定'
# Wine draws the title bars itself (no window manager on Xvfb): the caption shows.
e2e_wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1
menu_seed_registry ""
menu_write_presets "$kav" "A:1,0,0:0,-,-" "B:1,0,1:0,-,-" "C:0,-,-:1,1,0" "D:0,-,-:1,1,1"
cp "$kav" "$E2E_ARTEFACTS/PORT.KAV.before"

menu_start
menu_open_expect "four presets, Name empty" "$MENU_RUNNING
---
20000 x Default (&0)
20001 - A (&1)
20002 - B (&2)
20003 - C (&3)
20004 - D (&4)
$MENU_TAIL" four
menu_choose "B picked" 2
menu_expect_state "B picked" "tip=KAVO ON - B" inOpen=1,0 outOpen=0,1

# The port setup dialog from the menu.
menu_open_expect "B checked" "$MENU_RUNNING
---
20000 - A (&0)
20001 x B (&1)
20002 - C (&2)
20003 - D (&3)
$MENU_TAIL" b-checked
menu_choose "port setup opened with its accelerator" I
if drv dlg-wait 20000; then e2e_pass "port setup dialog shown"; else e2e_fail "port setup dialog shown"; fi

out=$(drv right-click-focus 1500)
printf '%s\n' "$out" >"$E2E_ARTEFACTS/right-click-focus.txt"
e2e_screenshot dialog-brought-forward
e2e_expect_eq "right click while the dialog is shown: no menu" "menu=0" "$(grep '^menu=' <<<"$out")"
e2e_expect_eq "right click while the dialog is shown: dialog in front" "foreground=$caption" \
    "$(grep '^foreground=' <<<"$out")"
e2e_expect_eq "no menu was built" "openings=2" "$(drv menu-items | grep '^openings=')"
drv icon double
e2e_expect_state "double click while the dialog is shown does nothing" running=1 inOpen=1,0 outOpen=0,1

# "－" on A, then Cancel: the table in memory loses A, the file keeps it.
drv dlg-name A
drv dlg-click 1019
drv dlg-click 2
if drv dlg-gone 10000; then e2e_pass "Cancel hides the dialog"; else e2e_fail "Cancel hides the dialog"; fi
menu_expect "A removed before B: the mark stays on B" "$MENU_RUNNING
---
20000 x B (&0)
20001 - C (&1)
20002 - D (&2)
$MENU_TAIL" a-removed

# Now B itself: the running assignment is no entry's any more, so none is checked.
menu_open_expect "before removing B" "$MENU_RUNNING
---
20000 x B (&0)
20001 - C (&1)
20002 - D (&2)
$MENU_TAIL" before-b-removed
menu_choose "port setup opened again" I
if drv dlg-wait 20000; then e2e_pass "port setup dialog shown again"; else e2e_fail "port setup dialog shown again"; fi
drv dlg-name B
drv dlg-click 1019
drv dlg-click 2
drv dlg-gone 10000
menu_expect "picked preset removed: no mark" "$MENU_RUNNING
---
20000 - C (&0)
20001 - D (&1)
$MENU_TAIL" b-removed
e2e_expect_state "the picked assignment still runs" running=1 inOpen=1,0 outOpen=0,1 "tip=KAVO ON - B"
if cmp -s "$E2E_ARTEFACTS/PORT.KAV.before" "$kav"; then e2e_pass "PORT.KAV unchanged without Apply"; else e2e_fail "PORT.KAV unchanged without Apply"; fi

# Close while the dialog is hidden: its window still exists and is destroyed.
menu_open_expect "before close" "$MENU_RUNNING
---
20000 - C (&0)
20001 - D (&1)
$MENU_TAIL" before-close
menu_choose "close with its accelerator" X
e2e_wait_exit "$E2E_KAVO_PID"
e2e_expect_eq "exit code" 0 "$E2E_EXIT"
if drv wait-gone 1000; then e2e_pass "window gone after close"; else e2e_fail "window gone after close"; fi
k='HKLM\SOFTWARE\Ombrix\Kavo2'
e2e_expect_eq "picked name saved" "REG_SZ B" "$(reg_value "$k" Name)"
e2e_expect_eq "Port1 MIDIOut unchanged" "REG_DWORD 0x0" "$(reg_value "$k\\Port1" MIDIOut)"
e2e_expect_eq "Port2 MIDIIn unchanged" "REG_DWORD 0x1" "$(reg_value "$k\\Port2" MIDIIn)"
if cmp -s "$E2E_ARTEFACTS/PORT.KAV.before" "$kav"; then e2e_pass "PORT.KAV untouched"; else e2e_fail "PORT.KAV untouched"; fi
e2e_end
