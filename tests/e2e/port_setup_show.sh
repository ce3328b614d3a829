#!/bin/bash
# The port setup dialog from the tray menu, two inputs and two outputs, presets "Live"
# and "Li" with Name "Li": the dialog shows the stored settings and selects "Li", not
# "Live" (a select-by-prefix would take the first entry beginning with the text, and
# the next Apply would overwrite "Live"); picking an output checks its route; Apply
# stores, writes PORT.KAV and restarts pass-through, also when it had been stopped;
# picking a preset in the name box shows it; Cancel, Esc and the close box forget the
# edits; OK stores the picked preset.
#   port_setup_show.sh KAVO2_EXE DRIVER_EXE ARTEFACT_ROOT
set -u
here=$(dirname "${BASH_SOURCE[0]}")
source "$here/../../tools/e2e/kavo-e2e.sh"
source "$here/port_setup_lib.sh"
e2e_begin port_setup_show "$1" "$2" "$3"

e2e_seed_routes Li 0,1,0x7fffffff,7 1,0,1
ps_make_table "$E2E_WORK/PORT.KAV" "Live|1,0,0,0|0,1,1,0" "Li|1,1,1,3|1,0,0,4"
ps_decorate

e2e_launch
kavo=$E2E_LAST_PID
if drv wait-window 30000; then e2e_pass "hidden window KAVO2.0 exists"; else e2e_fail "hidden window KAVO2.0 exists"; fi
e2e_expect_state "started" running=1 inOpen=1,0 outOpen=0,1

ps_open
ps_shot shown
# The names the system lists: on Wine's devices "<client> - <port>".
ps_expect_control "shown" 16000 enabled=1 sel=1 count=2 \
    "items=$(e2e_device_name 'Keys A')|$(e2e_device_name 'Keys B')"
ps_expect_control "shown" 17000 enabled=1 sel=-1 count=2 \
    "items=$(e2e_device_name 'Synth A')|$(e2e_device_name 'Synth B')"
ps_expect_control "shown" 19000 enabled=1 checked=0
ps_expect_control "shown" 16001 enabled=1 sel=0 count=2
ps_expect_control "shown" 17001 enabled=1 sel=1 count=2
ps_expect_control "shown" 19001 enabled=1 checked=1
ps_expect_control "shown, Li selected and not Live" 1037 sel=1 count=2 text=Li
ps_expect_control "shown" 3 enabled=0
e2e_expect_eq "name box entries" "$(printf 'dialog=1\nentry=0 Live\nentry=1 Li')" "$(drv dlg-names)"

# An output for route 1, whose input is set: the route is switched on.
drv dlg-select 17000 0
ps_expect_control "route 1 output picked" 19000 checked=1
ps_expect_control "route 1 output picked" 3 enabled=1
ps_shot route1-picked

# Pass-through stopped from the menu; Apply runs it again on the new assignment.
drv command 32771
e2e_expect_state "stopped from the menu" running=0
drv dlg-click 3
ps_expect_control "applied" 3 enabled=0
e2e_expect_state "applied" running=1 routeIn=1,1 routeOut=1,1 inOpen=1,1 outOpen=1,1
k='HKLM\SOFTWARE\Ombrix\Kavo2'
e2e_expect_eq "applied: Name" "REG_SZ Li" "$(reg_value "$k" Name)"
e2e_expect_eq "applied: Port1 Enabled" "REG_DWORD 0x1" "$(reg_value "$k\\Port1" Enabled)"
e2e_expect_eq "applied: Port1 MIDIIn" "REG_DWORD 0x1" "$(reg_value "$k\\Port1" MIDIIn)"
e2e_expect_eq "applied: Port1 MIDIOut" "REG_DWORD 0x0" "$(reg_value "$k\\Port1" MIDIOut)"
e2e_expect_eq "applied: Port2 Enabled" "REG_DWORD 0x1" "$(reg_value "$k\\Port2" Enabled)"
ps_make_table "$E2E_WORK/expected-1.kav" "Live|1,0,0,0|0,1,1,0" "Li|1,1,0,7|1,0,1,0"
ps_expect_file "applied: PORT.KAV holds Live unchanged and Li with the shown devices" \
    "$E2E_WORK/expected-1.kav" "$E2E_WORK/PORT.KAV"
# Stopping silenced both outputs (All Sound Off); only what is fed next counts.
drv clear 0 && drv clear 1
drv feed 1 00403C90
e2e_expect_eq "applied: route 1 forwards input 1 to output 0" "S 00403C90" "$(drv wait-dump 0 1)"
drv feed 0 00453C90
e2e_expect_eq "applied: route 2 forwards input 0 to output 1" "S 00453C90" "$(drv wait-dump 1 1)"

# Picking "Live" in the name box shows its devices; nothing is stored yet.
drv dlg-select 1037 0
ps_shot preset-picked
ps_expect_control "Live picked" 16000 sel=0
ps_expect_control "Live picked" 17000 sel=0
ps_expect_control "Live picked" 19000 checked=1
ps_expect_control "Live picked" 16001 sel=1
ps_expect_control "Live picked" 17001 sel=1
ps_expect_control "Live picked" 19001 checked=0
ps_expect_control "Live picked" 1037 sel=0 text=Live
ps_expect_control "Live picked" 3 enabled=1
e2e_expect_eq "Live picked: nothing stored" "Li" "$(ps_settings name)"

# Cancel, Esc and the close box each hide the dialog and forget the edits.
drv dlg-click 2
if drv dlg-gone 5000; then e2e_pass "Cancel hides the dialog"; else e2e_fail "Cancel hides the dialog"; fi
e2e_expect_eq "after Cancel: settings" "1,1,0,7" "$(ps_settings route1)"
ps_open
ps_expect_control "reopened after Cancel" 16000 sel=1
ps_expect_control "reopened after Cancel" 17000 sel=0
ps_expect_control "reopened after Cancel" 1037 sel=1 text=Li
ps_expect_control "reopened after Cancel" 3 enabled=0
drv dlg-select 16000 0
drv dlg-esc
if drv dlg-gone 5000; then e2e_pass "Esc hides the dialog"; else e2e_fail "Esc hides the dialog"; fi
ps_open
ps_expect_control "reopened after Esc" 16000 sel=1
drv dlg-closebox
if drv dlg-gone 5000; then e2e_pass "the close box hides the dialog"; else e2e_fail "the close box hides the dialog"; fi
e2e_expect_eq "after the close box: settings" "1,1,0,7" "$(ps_settings route1)"
cmp -s "$E2E_WORK/expected-1.kav" "$E2E_WORK/PORT.KAV" && e2e_pass "PORT.KAV untouched by Cancel, Esc, close box" ||
    e2e_fail "PORT.KAV untouched by Cancel, Esc, close box"

# OK with "Live" picked: its devices become the stored and the active assignment and
# the preset is stored again with the same values.
ps_open
drv dlg-select 1037 0
drv dlg-click 1
if drv dlg-gone 5000; then e2e_pass "OK hides the dialog"; else e2e_fail "OK hides the dialog"; fi
e2e_expect_eq "OK: Name" "REG_SZ Live" "$(reg_value "$k" Name)"
e2e_expect_eq "OK: Port1 MIDIIn" "REG_DWORD 0x0" "$(reg_value "$k\\Port1" MIDIIn)"
e2e_expect_eq "OK: Port2 Enabled" "REG_DWORD 0x0" "$(reg_value "$k\\Port2" Enabled)"
e2e_expect_eq "OK: settings in memory" "$(printf 'name=Live\npicked=-1\nroute1=1,0,0,0\nroute2=0,1,1,0')" \
    "$(drv dlg-settings | head -4)"
e2e_expect_state "OK" running=1 routeIn=1,0 routeOut=1,0 inOpen=1,0 outOpen=1,0
ps_make_table "$E2E_WORK/expected-2.kav" "Live|1,0,0,0|0,1,1,0" "Li|1,1,0,7|1,0,1,0"
ps_expect_file "OK: PORT.KAV" "$E2E_WORK/expected-2.kav" "$E2E_WORK/PORT.KAV"

drv close
e2e_wait_exit "$kavo"
e2e_expect_exit "exit code"
e2e_end
