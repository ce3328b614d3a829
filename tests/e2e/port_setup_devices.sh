#!/bin/bash
# The port setup dialog with few devices. Both routes are stored as configured
# (route 1: input 0 to output 0, route 2: input 1 to output 1, both Enabled 1); the
# program starts with -DISABLE, so that nothing is opened before the dialog's Apply.
#   none     no devices: every list and box disabled; Apply stores no device and
#            both routes off
#   one      1 input, 1 output: route 2's lists and box disabled; Apply switches it off
#   two_one  2 inputs, 1 output: route 2's input list and box enabled, its output list
#            disabled and its box unchecked; Apply stores it off; checking it by hand
#            stores it on, with no output
#   port_setup_devices.sh KAVO2_EXE DRIVER_EXE ARTEFACT_ROOT CASE
set -u
here=$(dirname "${BASH_SOURCE[0]}")
source "$here/../../tools/e2e/kavo-e2e.sh"
source "$here/port_setup_lib.sh"
case_name=${4:-}
case $case_name in
none) export E2E_DEVICES="in=;out=" ;;
one) export E2E_DEVICES="in=Keys A;out=Synth A" ;;
two_one) export E2E_DEVICES="in=Keys A,Keys B;out=Synth A" ;;
*)
    echo "usage: $0 KAVO2_EXE DRIVER_EXE ARTEFACT_ROOT none|one|two_one" >&2
    exit 2
    ;;
esac
e2e_begin "port_setup_devices_$case_name" "$1" "$2" "$3"

e2e_seed_routes "" 1,0,0 1,1,1
ps_decorate

e2e_launch -DISABLE
kavo=$E2E_LAST_PID
drv wait-window 30000 || e2e_fail "hidden window KAVO2.0 exists"
e2e_expect_state "started disabled" running=0
ps_open
ps_shot shown

k='HKLM\SOFTWARE\Ombrix\Kavo2'
expect_route() { # WHAT ROUTE ENABLED IN OUT
    e2e_expect_eq "$1: Port$2 Enabled" "REG_DWORD $3" "$(reg_value "$k\\Port$2" Enabled)"
    e2e_expect_eq "$1: Port$2 MIDIIn" "REG_DWORD $4" "$(reg_value "$k\\Port$2" MIDIIn)"
    e2e_expect_eq "$1: Port$2 MIDIOut" "REG_DWORD $5" "$(reg_value "$k\\Port$2" MIDIOut)"
}

case $case_name in
none)
    for id in 16000 17000 16001 17001; do ps_expect_control "no devices" $id enabled=0 sel=-1 count=0; done
    for id in 19000 19001; do ps_expect_control "no devices" $id enabled=0 checked=0; done
    drv dlg-click 3
    expect_route "applied" 1 0x0 0x7fffffff 0x7fffffff
    expect_route "applied" 2 0x0 0x7fffffff 0x7fffffff
    e2e_expect_state "applied" running=1 routeIn=0,0 routeOut=0,0
    ;;
one)
    ps_expect_control "one device each" 16000 enabled=1 sel=0 count=1 "items=Keys A"
    ps_expect_control "one device each" 17000 enabled=1 sel=0 count=1 "items=Synth A"
    ps_expect_control "one device each" 19000 enabled=1 checked=1
    for id in 16001 17001; do ps_expect_control "one device each" $id enabled=0 sel=-1 count=0; done
    ps_expect_control "one device each" 19001 enabled=0 checked=0
    drv dlg-click 3
    expect_route "applied" 1 0x1 0x0 0x0
    expect_route "applied" 2 0x0 0x7fffffff 0x7fffffff
    e2e_expect_state "applied" running=1 routeIn=1,0 routeOut=1,0 inOpen=1 outOpen=1
    drv feed 0 00403C90
    e2e_expect_eq "applied: route 1 forwards" "S 00403C90" "$(drv wait-dump 0 1)"
    ;;
two_one)
    ps_expect_control "two inputs, one output" 16000 enabled=1 sel=0 count=2 "items=Keys A|Keys B"
    ps_expect_control "two inputs, one output" 17000 enabled=1 sel=0 count=1 "items=Synth A"
    ps_expect_control "two inputs, one output" 19000 enabled=1 checked=1
    ps_expect_control "two inputs, one output" 16001 enabled=1 sel=1 count=2 "items=Keys A|Keys B"
    ps_expect_control "two inputs, one output" 17001 enabled=0 sel=-1 count=0
    ps_expect_control "two inputs, one output: stored on, shown off" 19001 enabled=1 checked=0
    drv dlg-click 3
    expect_route "applied" 1 0x1 0x0 0x0
    expect_route "applied" 2 0x0 0x1 0x7fffffff
    e2e_expect_state "applied" running=1 routeIn=1,0 routeOut=1,0 inOpen=1,0 outOpen=1
    # Checked by hand: stored on, though it has no output and so does not run.
    drv dlg-click 19001
    ps_expect_control "route 2 checked" 19001 checked=1
    ps_expect_control "route 2 checked" 3 enabled=1
    ps_shot route2-checked
    drv dlg-click 3
    expect_route "applied again" 2 0x1 0x1 0x7fffffff
    e2e_expect_state "applied again" running=1 routeIn=1,0 routeOut=1,0 inOpen=1,0 outOpen=1
    ;;
esac
if drv box-text Kavo2 0 >/dev/null 2>&1; then e2e_fail "no message box"; else e2e_pass "no message box"; fi

drv dlg-click 1
drv close
e2e_wait_exit "$kavo"
e2e_expect_eq "exit code" 0 "$E2E_EXIT"
e2e_end
