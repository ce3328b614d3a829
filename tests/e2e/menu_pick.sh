#!/bin/bash
# Picking from the tray menu: "Default (&0)" while stopped makes the stored assignment
# active and starts; a preset picked through the open menu restarts the routes on its
# devices, MIDI flows there and its name is in the tooltip; the check mark follows
# the picked preset after "Default (&0)" left the menu; the double click and the
# start/stop item toggle; close ends the program with the picked name saved and the
# stored assignment and PORT.KAV unchanged.
#   menu_pick.sh KAVO2_EXE DRIVER_EXE ARTEFACT_ROOT
set -u
here=$(dirname "${BASH_SOURCE[0]}")
source "$here/../../tools/e2e/kavo-e2e.sh"
source "$here/menu_lib.sh"
e2e_begin menu_pick "$1" "$2" "$3"

kav=$E2E_WORK/PORT.KAV
# Stored: route 1 from input 0 to output 0, route 2 from input 1 to output 1.
menu_seed_registry ""
# "A": route 1 from input 0 to output 1, route 2 off. "ステージ": route 1 off,
# route 2 from input 1 to output 0.
menu_write_presets "$kav" "A:1,0,1:0,-,-" "ステージ:0,-,-:1,1,0"
cp "$kav" "$E2E_ARTEFACTS/PORT.KAV.before"

menu_start -DISABLE
# Start-up shows the state word alone.
e2e_expect_state "started stopped" running=0 inOpen=0,0 outOpen=0,0 "tip=KAVO OFF"

menu_open_expect "stopped, Name empty" "$MENU_STOPPED
---
20000 x Default (&0)
20001 - A (&1)
20002 - ステージ (&2)
$MENU_TAIL" stopped
menu_choose "Default picked with its accelerator" 0
menu_expect_state "Default while stopped" running=1 routeIn=1,1 routeOut=1,1 inOpen=1,1 outOpen=1,1 "tip=KAVO ON - "

menu_open_expect "after Default" "$MENU_RUNNING
---
20000 x Default (&0)
20001 - A (&1)
20002 - ステージ (&2)
$MENU_TAIL" after-default
menu_choose "ステージ picked with its accelerator" 2
menu_expect_state "ステージ picked" "tip=KAVO ON - ステージ" running=1 routeIn=0,1 routeOut=0,1 inOpen=0,1 outOpen=1,0
drv clear 0 && drv clear 1
drv feed 1 00403C90 && drv feed 1 00003C80
e2e_expect_eq "input 1 reaches output 0" "$(printf 'S 00403C90\nS 00003C80')" "$(drv wait-dump 0 2)"
drv feed 0 00403C90
sleep 0.3
e2e_expect_eq "nothing reaches output 1" "" "$(drv dump 1)"

# The pick set Name, so Default has left the menu and ステージ moved from position 2
# to 1: the mark goes with it.
menu_open_expect "check mark after Default left" "$MENU_RUNNING
---
20000 - A (&0)
20001 x ステージ (&1)
$MENU_TAIL" after-pick
menu_choose "A picked with its accelerator" 0
menu_expect_state "A picked" "tip=KAVO ON - A" running=1 routeIn=1,0 routeOut=1,0 inOpen=1,0 outOpen=0,1
drv clear 1
drv feed 0 00403C90
e2e_expect_eq "input 0 reaches output 1" "S 00403C90" "$(drv wait-dump 1 1)"
menu_expect "A checked" "$MENU_RUNNING
---
20000 x A (&0)
20001 - ステージ (&1)
$MENU_TAIL" a-checked

# The double click and the start/stop item toggle, keeping the picked assignment.
drv icon double
e2e_expect_state "double click stops" running=0 inOpen=0,0 outOpen=0,0 "tip=KAVO OFF - A"
drv icon double
e2e_expect_state "double click starts" running=1 inOpen=1,0 outOpen=0,1 "tip=KAVO ON - A"
drv icon left && drv icon 0x200
e2e_expect_state "left click and mouse move do nothing" running=1
menu_open_expect "running, before stop" "$MENU_RUNNING
---
20000 x A (&0)
20001 - ステージ (&1)
$MENU_TAIL" before-stop
menu_choose "start/stop item with its accelerator" S
menu_expect_state "stopped from the menu" running=0 inOpen=0,0 outOpen=0,0 "tip=KAVO OFF - A"
menu_expect "stopped, A picked" "$MENU_STOPPED
---
20000 x A (&0)
20001 - ステージ (&1)
$MENU_TAIL" stopped-picked

# Close through the menu.
menu_open_expect "before close" "$MENU_STOPPED
---
20000 x A (&0)
20001 - ステージ (&1)
$MENU_TAIL" before-close
menu_choose "close with its accelerator" X
e2e_wait_exit "$E2E_KAVO_PID"
e2e_expect_exit "exit code"
if drv wait-gone 1000; then e2e_pass "window gone after close"; else e2e_fail "window gone after close"; fi

k='HKLM\SOFTWARE\Ombrix\Kavo2'
e2e_expect_eq "picked name saved" "REG_SZ A" "$(reg_value "$k" Name)"
for r in 1 2; do
    e2e_expect_eq "Port$r Enabled unchanged" "REG_DWORD 0x1" "$(reg_value "$k\\Port$r" Enabled)"
    e2e_expect_eq "Port$r MIDIIn unchanged" "REG_DWORD 0x$((r - 1))" "$(reg_value "$k\\Port$r" MIDIIn)"
    e2e_expect_eq "Port$r MIDIOut unchanged" "REG_DWORD 0x$((r - 1))" "$(reg_value "$k\\Port$r" MIDIOut)"
done
if cmp -s "$E2E_ARTEFACTS/PORT.KAV.before" "$kav"; then e2e_pass "PORT.KAV untouched"; else e2e_fail "PORT.KAV untouched"; fi

# The next start opens the stored assignment again, under the saved name.
menu_start
e2e_expect_state "next start" running=1 inOpen=1,1 outOpen=1,1 "tip=KAVO ON - A"
menu_stop "next start"
e2e_end
