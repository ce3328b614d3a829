#!/bin/bash
# Devices that go and come while the program runs, through the test channel: an input
# and an output unplugged from under the open routes leave the device lists (the ones
# after them move down, and the handles of the gone ones count nowhere), plugging them
# back puts them where they are plugged (and the route opens them there again), and
# the computer sleeps and wakes. Each request answers once; one that finds nothing to
# do is refused. The program still closes cleanly with handles of gone devices.
#   device_changes.sh KAVO2_EXE DRIVER_EXE ARTEFACT_ROOT
set -u
here=$(dirname "${BASH_SOURCE[0]}")
E2E_DEVICES='in=Keys A,Keys B,Keys C;out=Synth A,Synth B'
source "$here/../../tools/e2e/kavo-e2e.sh"
e2e_begin device_changes "$1" "$2" "$3"

# expect_drv WHAT STATUS ARGS...: kavo_driver ARGS ends with STATUS.
expect_drv() {
    local what=$1 want=$2
    shift 2
    drv "$@" >/dev/null 2>&1
    e2e_expect_eq "$what" "$want" "$?"
}

e2e_seed_routes "" 1,1,1
e2e_launch
kavo=$E2E_LAST_PID
drv wait-window 30000 || e2e_fail "hidden window KAVO2.0 exists"
e2e_expect_state "started" running=1 inOpen=0,1,0 outOpen=0,1

expect_drv "the open input unplugged" 0 device-remove in 1
e2e_expect_state "input gone: the list shrinks" inOpen=0,0
expect_drv "no third input any more" 1 device-remove in 2
expect_drv "the open output unplugged" 0 device-remove out 1
e2e_expect_state "output gone: the list shrinks" outOpen=0
expect_drv "the input plugged back first" 0 device-add in "Keys B" 0
expect_drv "the output plugged back" 0 device-add out "Synth B"
expect_drv "a new input plugged in" 0 device-add in "Keys D"
expect_drv "no place past the end" 1 device-add out "Synth C" 3
# The system tells every window; the route finds its devices where they were plugged
# back (Keys B now first, Synth B second) once the lists have settled.
drv broadcast devices || e2e_fail "device-change broadcast"
for try in $(seq 1 75); do
    state=$(drv state)
    [ "$(state_value "$state" inOpen)|$(state_value "$state" outOpen)" = "1,0,0,0|0,1" ] && break
    sleep 0.2
done
e2e_expect_state "back, where they were plugged, and open again" inOpen=1,0,0,0 outOpen=0,1 wait=0,0
expect_drv "bad kind" 2 device-remove thru 0

expect_drv "the computer sleeps" 0 device-sleep
expect_drv "asleep already" 1 device-sleep
expect_drv "it wakes" 0 device-resume
expect_drv "awake already" 1 device-resume
e2e_expect_state "awake" running=1

drv close
e2e_wait_exit "$kavo"
e2e_expect_exit "exit code"
e2e_end
