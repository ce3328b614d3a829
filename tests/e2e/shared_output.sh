#!/bin/bash
# Two keyboards into one sound module on drivers as Windows' own classic ones behave
# (an output takes one client): both routes open, the output once, and both play
# through it; a SysEx message longer than an input buffer arrives whole, as one long
# message, with the other keyboard's notes before or after it; a bank of SysEx faster
# than the cable arrives whole and in order; stopping ends the keys
# still down and silences the module once.
#   shared_output.sh KAVO2_EXE DRIVER_EXE ARTEFACT_ROOT
set -u
here=$(dirname "${BASH_SOURCE[0]}")
E2E_DEVICES='in=Keys A,Keys B;out=Synth A,Synth B;model=classic'
source "$here/../../tools/e2e/kavo-e2e.sh"
e2e_begin shared_output "$1" "$2" "$3"

e2e_seed_routes "" 1,0,0 1,1,0
e2e_launch
kavo=$E2E_LAST_PID
drv wait-window 30000 || e2e_fail "hidden window KAVO2.0 exists"
e2e_expect_state "started" running=1 routeIn=1,1 routeOut=1,1 inOpen=1,1 outOpen=1,0 "tip=KAVO ON - "
if box=$(drv box-text Kavo2 500 2>/dev/null); then e2e_fail "no message box" "shown: $box"; else e2e_pass "no message box"; fi

drv feed 0 00403C90 && drv feed 1 00404090
e2e_expect_eq "both keyboards sound" "$(printf 'S 00403C90\nS 00404090')" "$(drv wait-dump 0 2 | sort)"

# 600 bytes: three input buffers, about 190 ms on a MIDI cable. Route 2's notes come
# while it is on its way.
sysex=F0$(for i in $(seq 1 598); do printf '%02X' $((i % 128)); done)F7
drv clear 0
drv sysex 0 "$sysex"
drv feed 1 00404190 && drv feed 1 00004180
out=$(drv wait-dump 0 3)
e2e_expect_eq "the SysEx message whole, as one long message" "L $sysex" "$(grep '^L' <<<"$out")"
e2e_expect_eq "route 2's notes beside it" "$(printf 'S 00404190\nS 00004180')" "$(grep '^S' <<<"$out")"
e2e_expect_eq "nothing else" 3 "$(wc -l <<<"$out")"

# A bank: eight messages of 1 000 bytes, one after another as fast as the feed goes,
# much faster than the cable takes them (320 ms each). They wait for the output while
# the input's buffers keep coming back: all arrive whole and in order.
drv clear 0
bank=()
for m in 1 2 3 4 5 6 7 8; do
    bank+=("F0$(printf '%02X' "$m")$(for i in $(seq 1 997); do printf '%02X' $(((i + m) % 128)); done)F7")
    drv sysex 0 "${bank[-1]}"
done
e2e_expect_eq "the bank whole and in order" "$(printf 'L %s\n' "${bank[@]}")" "$(drv wait-dump 0 8 15000)"

drv clear 0
drv command 32771
e2e_expect_state "stopped" running=0 inOpen=0,0 outOpen=0,0
# One key of each keyboard is still down: each gets its note-off, then one sweep.
all_sound_off=$(for ch in 0 1 2 3 4 5 6 7 8 9 A B C D E F; do printf 'S 000078B%s\n' "$ch"; done)
e2e_expect_eq "held keys ended, then silenced once at stop" "$(printf 'S 00003C80\nS 00004080\n%s' "$all_sound_off")" \
    "$(drv dump 0)"
drv command 32771
e2e_expect_state "started again" running=1 inOpen=1,1 outOpen=1,0

drv close
e2e_wait_exit "$kavo"
e2e_expect_exit "exit code"
e2e_end
