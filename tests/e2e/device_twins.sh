#!/bin/bash
# Two keyboards of one model, one per route, both listed as "USB MIDI", on drivers as
# Windows' classic ones behave: either one unplugged and plugged back (at the end of
# the list, or in front) with the system's device-change broadcast, each keyboard
# plays its own synth afterwards, none is opened twice, no route waits while a
# keyboard of its name stands unused, and no box ever shows.
#   device_twins.sh KAVO2_EXE DRIVER_EXE ARTEFACT_ROOT
set -u
here=$(dirname "${BASH_SOURCE[0]}")
E2E_DEVICES='in=USB MIDI,USB MIDI;out=Synth A,Synth B;model=classic'
source "$here/../../tools/e2e/kavo-e2e.sh"
e2e_begin device_twins "$1" "$2" "$3"

# plays WHAT IN OUT MSG: a message fed to input IN reaches output OUT, once, and the
# other synth not at all (tried again for a while: an input is deaf until the program
# has reopened it).
plays() {
    local what=$1 in=$2 out=$3 msg=$4 other=$((1 - $3)) try
    for try in $(seq 1 20); do
        drv clear 0
        drv clear 1
        drv feed "$in" "$msg"
        if [ "$(drv wait-dump "$out" 1 500 2>/dev/null)" = "S $msg" ]; then
            sleep 0.2 # a second handle of the keyboard would have forwarded it by now
            e2e_expect_eq "$what" "$(printf 'S %s\n--' "$msg")" "$(drv dump "$out"; echo --; drv dump "$other")"
            return 0
        fi
    done
    e2e_fail "$what" "S $msg never reached output $out"
}

no_box() { e2e_expect_state "$1: no box" boxes=0; }

# Route 1: the first "USB MIDI" (keyboard X) into Synth A; route 2: the second
# (keyboard Y) into Synth B.
e2e_seed_routes "" 1,0,0 1,1,1
e2e_launch
kavo=$E2E_LAST_PID
drv wait-window 30000 || e2e_fail "hidden window KAVO2.0 exists"
e2e_expect_state "started: both keyboards open, once each" running=1 routeIn=1,1 wait=0,0 inOpen=1,1
plays "X plays Synth A" 0 0 00403C90
plays "Y plays Synth B" 1 1 00403C91

# ---- X unplugged: Y moves to index 0 -----------------------------------------------------
drv device-remove in 0
drv broadcast devices || e2e_fail "device-change broadcast"
e2e_wait_state "route 1 waits for its keyboard" wait=1,0 10
e2e_expect_state "Y is open once, by route 2" routeIn=0,1 inOpen=1 "tip=接続待ち: USB MIDI\nKAVO ON - "
plays "Y plays Synth B on" 0 1 00403E91
no_box "X unplugged"

# ---- X plugged back, at the end ------------------------------------------------------------
drv device-add in "USB MIDI"
drv broadcast devices
e2e_wait_state "route 1 is back" wait=0,0 10
e2e_expect_state "both open, once each" routeIn=1,1 inOpen=1,1 "tip=KAVO ON - "
plays "X plays Synth A again, from index 1" 1 0 00404090
plays "Y plays Synth B still, from index 0" 0 1 00404091
no_box "X plugged back"

# ---- Y unplugged (index 0) and plugged back in front ----------------------------------------
drv device-remove in 0
drv broadcast devices
e2e_wait_state "route 2 waits for its keyboard" wait=0,1 10
plays "X plays Synth A on" 0 0 00404290
drv device-add in "USB MIDI" 0
drv broadcast devices
e2e_wait_state "route 2 is back" wait=0,0 10
e2e_expect_state "both open, once each" routeIn=1,1 inOpen=1,1
plays "X plays Synth A, from index 1" 1 0 00404390
plays "Y plays Synth B, from index 0" 0 1 00404391
no_box "Y plugged back"

drv close
e2e_wait_exit "$kavo"
e2e_expect_exit "exit code"
e2e_end
