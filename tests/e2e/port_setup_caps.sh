#!/bin/bash
# Devices whose capability query fails (input 2 and output 1 of two each) still get
# their list entries, with a placeholder text, so that positions stay device numbers:
# picking them stores and opens the right devices. Once the query works again, the
# next showing shows the devices' names.
#   port_setup_caps.sh KAVO2_EXE DRIVER_EXE ARTEFACT_ROOT
set -u
here=$(dirname "${BASH_SOURCE[0]}")
source "$here/../../tools/e2e/kavo-e2e.sh"
source "$here/port_setup_lib.sh"
e2e_begin port_setup_caps "$1" "$2" "$3"

e2e_seed_routes ""
ps_decorate

e2e_launch
kavo=$E2E_LAST_PID
drv wait-window 30000 || e2e_fail "hidden window KAVO2.0 exists"
drv caps-fail in 1 1 || e2e_fail "input 1 made to fail its capability query"
drv caps-fail out 0 1 || e2e_fail "output 0 made to fail its capability query"
ps_open
ps_expect_control "query failing" 16000 count=2 "items=Keys A|(デバイス 2)"
ps_expect_control "query failing" 17000 count=2 "items=(デバイス 1)|Synth B"
ps_expect_control "query failing" 16001 count=2 "items=Keys A|(デバイス 2)"

drv dlg-select 16000 1
drv dlg-select 17000 0
ps_shot placeholders
ps_expect_control "placeholders picked" 19000 checked=1
drv dlg-click 3
k='HKLM\SOFTWARE\Ombrix\Kavo2\Port1'
e2e_expect_eq "applied: MIDIIn" "REG_DWORD 0x1" "$(reg_value "$k" MIDIIn)"
e2e_expect_eq "applied: MIDIOut" "REG_DWORD 0x0" "$(reg_value "$k" MIDIOut)"
e2e_expect_eq "applied: Enabled" "REG_DWORD 0x1" "$(reg_value "$k" Enabled)"
e2e_expect_state "applied" running=1 routeIn=1,0 routeOut=1,0 inOpen=0,1 outOpen=1,0
drv clear 0
drv feed 1 00403C90
e2e_expect_eq "applied: input 1 reaches output 0" "S 00403C90" "$(drv wait-dump 0 1)"

drv dlg-click 1
drv dlg-gone 5000 || e2e_fail "OK hides the dialog"
drv caps-fail in 1 0
drv caps-fail out 0 0
ps_open
ps_expect_control "query working again" 16000 sel=1 "items=Keys A|Keys B"
ps_expect_control "query working again" 17000 sel=0 "items=Synth A|Synth B"
ps_shot names-back

drv dlg-click 2
drv close
e2e_wait_exit "$kavo"
e2e_expect_eq "exit code" 0 "$E2E_EXIT"
e2e_end
