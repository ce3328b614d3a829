#!/bin/bash
# Routes follow their devices by name across starts: settings without names learn the
# names of the devices they open; with the device list in another order at the next
# start the route opens its own devices (and the port setup dialog shows them); with
# two devices of the stored name, one of them (never the other name now at the stored
# index); with the device gone the start fails with the message it always gave.
#   devices_follow.sh KAVO2_EXE DRIVER_EXE ARTEFACT_ROOT
set -u
here=$(dirname "${BASH_SOURCE[0]}")
source "$here/../../tools/e2e/kavo-e2e.sh"
e2e_begin devices_follow "$1" "$2" "$3"
source "$here/port_setup_lib.sh"

k='HKLM\SOFTWARE\Ombrix\Kavo2'
e2e_seed_routes "" 1,1,1

# run_with DEVICES [ARGS]: starts the program on that device list.
run_with() {
    export KAVO_VIRTUAL_MIDI=$1
    shift
    e2e_launch "$@"
    kavo=$E2E_LAST_PID
}
close() {
    drv close
    e2e_wait_exit "$kavo"
    e2e_expect_eq "$1: closed" 0 "$E2E_EXIT"
}

# ---- settings of an older version: the names are learnt -------------------------------
run_with 'in=Keys A,Keys B;out=Synth A,Synth B'
drv wait-window 30000 || e2e_fail "first start"
e2e_expect_state "no names yet: the stored indices" inOpen=0,1 outOpen=0,1
close "first start"
e2e_expect_eq "input name learnt" "REG_SZ Keys B" "$(reg_value "$k\\Port1" MIDIInName)"
e2e_expect_eq "output name learnt" "REG_SZ Synth B" "$(reg_value "$k\\Port1" MIDIOutName)"
e2e_expect_eq "index as it was" "REG_DWORD 0x1" "$(reg_value "$k\\Port1" MIDIIn)"

# ---- the devices change places -----------------------------------------------------------
run_with 'in=Keys B,Keys A;out=Synth B,Synth A'
drv wait-window 30000 || e2e_fail "reordered start"
e2e_expect_state "reordered: the route opens its own devices" inOpen=1,0 outOpen=1,0
drv feed 0 00403C90
e2e_expect_eq "Keys B still plays into Synth B" "S 00403C90" "$(drv wait-dump 0 1)"
ps_open
ps_expect_control "the dialog shows the device found" 16000 sel=0 items="Keys B|Keys A"
ps_expect_control "the dialog shows the device found" 17000 sel=0 items="Synth B|Synth A"
drv dlg-click 2
drv dlg-gone 10000
close "reordered start"
e2e_expect_eq "the found index is stored" "REG_DWORD 0x0" "$(reg_value "$k\\Port1" MIDIIn)"
e2e_expect_eq "with its name" "REG_SZ Keys B" "$(reg_value "$k\\Port1" MIDIInName)"

# ---- two devices of the stored name: one of them, not Keys A at the stored index -------
run_with 'in=Keys A,Keys B,Keys B;out=Synth B,Synth A'
drv wait-window 30000 || e2e_fail "duplicate start"
e2e_expect_state "two of that name: the first of them" inOpen=0,1,0 outOpen=1,0
close "duplicate start"

# ---- the device is gone: the message of old ----------------------------------------------
e2e_wine reg add "$k\\Port1" /v MIDIIn /t REG_DWORD /d 1 /f >/dev/null 2>&1
run_with 'in=Keys A;out=Synth B,Synth A'
e2e_expect_eq "gone: the start fails as it did" "MIDI-IN1をオープンできません。" "$(drv box-text Kavo2 30000)"
drv box-ok Kavo2
drv wait-window 30000
e2e_expect_state "gone: nothing open" inOpen=0 outOpen=0,0
close "gone"
e2e_expect_eq "gone: the index and name are kept" "REG_DWORD 0x1|REG_SZ Keys B" \
    "$(reg_value "$k\\Port1" MIDIIn)|$(reg_value "$k\\Port1" MIDIInName)"
e2e_end
