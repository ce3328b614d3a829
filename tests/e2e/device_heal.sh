#!/bin/bash
# Routes that heal themselves, on drivers as Windows' classic ones behave: a keyboard
# unplugged while a key is down (the key ends at the synth, the tooltip says what the
# route waits for, the other route plays on), plugged back at another index with the
# system's device-change broadcast (the route plays again, SysEx too), a sleep and a
# wake (both routes reopened; a key held across the sleep ends), and a synth that
# another program grabs when it comes back and frees later. No box, ever.
#   device_heal.sh KAVO2_EXE DRIVER_EXE ARTEFACT_ROOT
set -u
here=$(dirname "${BASH_SOURCE[0]}")
E2E_DEVICES='in=Keys A,Keys B;out=Synth A,Synth B;model=classic'
source "$here/../../tools/e2e/kavo-e2e.sh"
e2e_begin device_heal "$1" "$2" "$3"

# plays IN OUT MSG: a message fed to input IN reaches output OUT last (tried again for
# a while: an input is deaf until the program has reopened it).
plays() {
    local what=$1 in=$2 out=$3 msg=$4 try
    for try in $(seq 1 20); do
        drv clear "$out"
        drv feed "$in" "$msg"
        if [ "$(drv wait-dump "$out" 1 500 2>/dev/null | tail -n 1)" = "S $msg" ]; then
            e2e_pass "$what"
            return 0
        fi
    done
    e2e_fail "$what" "S $msg never reached output $out"
}

no_box() { e2e_expect_state "$1: no box" boxes=0; }

e2e_seed_routes "" 1,0,0 1,1,1
e2e_launch
kavo=$E2E_LAST_PID
drv wait-window 30000 || e2e_fail "hidden window KAVO2.0 exists"
e2e_expect_state "started" running=1 routeIn=1,1 wait=0,0 picture=211 "tip=KAVO ON - "

# ---- the keyboard of route 1 is unplugged while a key is down ----------------------------
drv feed 0 00403C90
e2e_expect_eq "a key of Keys A is down" "S 00403C90" "$(drv wait-dump 0 1)"
drv clear 0
drv device-remove in 0 # Keys B moves to index 0
drv broadcast devices || e2e_fail "device-change broadcast"
e2e_wait_state "route 1 waits for its keyboard" wait=1,0 10
e2e_expect_eq "the key ends at the synth" "S 00003C80" "$(drv dump 0)"
e2e_expect_state "the tooltip says what it waits for" routeIn=0,1 picture=210 \
    "tip=接続待ち: Keys A\nKAVO ON - "
plays "route 2 plays on" 0 1 00404091
no_box "unplugged"

# ---- plugged back, at another index -----------------------------------------------------
drv device-add in "Keys A" # at the end: index 1
drv broadcast devices
e2e_wait_state "route 1 is back" wait=0,0 10
e2e_expect_state "back" routeIn=1,1 picture=211 "tip=KAVO ON - " inOpen=1,1
plays "Keys A plays again from its new index" 1 0 00404190
sysex=F0$(for i in $(seq 1 300); do printf '%02X' $((i % 128)); done)F7
drv clear 0
drv sysex 1 "$sysex"
e2e_expect_eq "a SysEx message arrives whole" "L $sysex" "$(drv wait-dump 0 1)"
no_box "plugged back"

# ---- sleep and wake ------------------------------------------------------------------------
drv feed 0 00404291 # a key of Keys B is down across the sleep
e2e_expect_eq "a key of Keys B is down" "S 00404291" "$(drv wait-dump 1 1 | tail -n 1)"
drv clear 1
drv device-sleep && drv device-resume
drv broadcast resume || e2e_fail "resume broadcast"
plays "route 1 plays after the wake" 1 0 00404390
# Keys B's keys still down (the one played after the unplug, and this one) end.
e2e_expect_eq "the keys held across the sleep ended" "$(printf 'S 00004081\nS 00004281')" "$(drv dump 1)"
plays "route 2 plays after the wake" 0 1 00404491
no_box "woken"

# ---- the synth comes back held by another program ------------------------------------------
drv device-remove out 0 # Synth A: Synth B moves to index 0
drv feed 1 00404590     # finds Synth A gone
e2e_wait_state "route 1 waits for its synth" wait=2,0 10
drv device-hold "Synth A" || e2e_fail "another program holds Synth A" # at index 1
drv broadcast devices
sleep 2
e2e_expect_state "held by another program: still waiting" wait=2,0 routeOut=0,1 \
    "tip=接続待ち: Synth A\nKAVO ON - "
plays "route 2 plays on meanwhile" 0 0 00404691
drv device-free || e2e_fail "the other program lets go"
e2e_wait_state "route 1 takes its synth once it is free" wait=0,0 20
plays "Keys A plays into Synth A again" 1 1 00404790
e2e_expect_state "all back" routeIn=1,1 routeOut=1,1 picture=211 "tip=KAVO ON - " outOpen=1,1
no_box "held and freed"

drv close
e2e_wait_exit "$kavo"
e2e_expect_exit "exit code"
e2e_end
