#!/bin/bash
# An installed program: both routes configured, preset "Live" active, transpose by
# one octave on route 2. It starts both routes, shows the converting two-plug icon,
# forwards short and system-exclusive messages (transposing route 2), and at
# shut-down saves the settings with the switch encoding and removes its icon, leaving
# the preset file alone.
#   resident.sh KAVO2_EXE DRIVER_EXE ARTEFACT_ROOT
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../tools/e2e/kavo-e2e.sh"
e2e_begin resident "$1" "$2" "$3"

E2E_TRANSPOSE=00000001 e2e_write_configured_reg "$E2E_WORK/seed.reg"
e2e_seed_registry "$E2E_WORK/seed.reg"
e2e_make_two_presets "$E2E_WORK/PORT.KAV"
cp "$E2E_WORK/PORT.KAV" "$E2E_ARTEFACTS/PORT.KAV.before"

e2e_launch
kavo=$E2E_LAST_PID
if drv wait-window 30000; then e2e_pass "hidden window KAVO2.0 exists"; else e2e_fail "hidden window KAVO2.0 exists"; fi
e2e_expect_state "started" icon=1 picture=221 "tip=KAVO ON - Live" running=1 routeIn=1,1 routeOut=1,1 inOpen=1,1 outOpen=1,1
e2e_screenshot_tray started

# Route 1 passes as it is; route 2 (the transformed route) moves notes up 12 keys.
drv feed 0 00403C90 && drv feed 0 00003C80 && drv feed 0 000107B0
drv sysex 0 F07E7F0901F7
out0=$(drv wait-dump 0 4)
# Short messages and system-exclusive data reach the worker by separate roads (ring
# and input buffers), so only the order within each is fixed.
e2e_expect_eq "route 1 short messages" "$(printf 'S 00403C90\nS 00003C80\nS 000107B0')" "$(grep '^S' <<<"$out0")"
e2e_expect_eq "route 1 system exclusive" "L F07E7F0901F7" "$(grep '^L' <<<"$out0")"
drv feed 1 00403C90 && drv feed 1 00003C80 && drv feed 1 000107B0
e2e_expect_eq "route 2 output, transposed" "$(printf 'S 00404890\nS 00004880\nS 000107B0')" "$(drv wait-dump 1 3)"

# Stop and start again with the start/stop command: the icon follows, and stopping
# silences every channel of both outputs (All Sound Off) before they close.
drv clear 0 && drv clear 1
drv command 32771
e2e_expect_state "stopped" icon=1 picture=201 "tip=KAVO OFF - Live" running=0 routeIn=0,0 routeOut=0,0 inOpen=0,0 outOpen=0,0
e2e_screenshot_tray stopped
all_sound_off=$(for ch in 0 1 2 3 4 5 6 7 8 9 A B C D E F; do printf 'S 000078B%s\n' "$ch"; done)
e2e_expect_eq "route 1 silenced at stop" "$all_sound_off" "$(drv dump 0)"
e2e_expect_eq "route 2 silenced at stop" "$all_sound_off" "$(drv dump 1)"
drv command 32771
e2e_expect_state "restarted" icon=1 picture=221 "tip=KAVO ON - Live" running=1 routeIn=1,1 routeOut=1,1 inOpen=1,1 outOpen=1,1
if e2e_system_path; then
    # On winmm the program has no device of its own to play or read: its channel
    # refuses those requests (the harness plays them on the loopback instead).
    if e2e_wine "$E2E_DRIVER" feed 0 00403C90 2>/dev/null; then
        e2e_fail "winmm: the program's feed request refused"
    else
        e2e_pass "winmm: the program's feed request refused"
    fi
fi

drv close
e2e_wait_exit "$kavo"
e2e_expect_exit "exit code"
if drv wait-gone 1000; then e2e_pass "window gone after close"; else e2e_fail "window gone after close"; fi

k='HKLM\SOFTWARE\Ombrix\Kavo2'
e2e_expect_eq "Name" "REG_SZ Live" "$(reg_value "$k" Name)"
e2e_expect_eq "Time Out kept as set by hand" "REG_DWORD 0x2" "$(reg_value "$k" 'Time Out')"
e2e_expect_eq "Port1 Enabled" "REG_DWORD 0x1" "$(reg_value "$k\\Port1" Enabled)"
e2e_expect_eq "Port1 MIDIIn" "REG_DWORD 0x0" "$(reg_value "$k\\Port1" MIDIIn)"
e2e_expect_eq "Port1 MIDIOut" "REG_DWORD 0x0" "$(reg_value "$k\\Port1" MIDIOut)"
e2e_expect_eq "Port1 Init kept" "REG_DWORD 0x7" "$(reg_value "$k\\Port1" Init)"
e2e_expect_eq "Port2 Enabled written raw" "REG_DWORD 0x5" "$(reg_value "$k\\Port2" Enabled)"
e2e_expect_eq "Port2 MIDIIn" "REG_DWORD 0x1" "$(reg_value "$k\\Port2" MIDIIn)"
e2e_expect_eq "Port2 MIDIOut" "REG_DWORD 0x1" "$(reg_value "$k\\Port2" MIDIOut)"
e2e_expect_eq "Port2 Init never written" "missing" "$(reg_value "$k\\Port2" Init)"
# TransPose was stored as 1: it loads as on and saves as 0xFFFFFFFF.
for v in Port:0x1 Channel:0x10 VelConvertion:0x0 Metronome:0x0 TransPose:0xffffffff tOctave:0x65 \
         vSens:0x64 vOffset:0x7f mClick:0x21 mBell:0x22 mVolume:0x56 mChannel:0x9 mMeas:0x2 mTempo:0x78; do
    e2e_expect_eq "Controller ${v%%:*}" "REG_DWORD ${v#*:}" "$(reg_value "$k\\Controller" "${v%%:*}")"
done

if cmp -s "$E2E_ARTEFACTS/PORT.KAV.before" "$E2E_WORK/PORT.KAV"; then
    e2e_pass "PORT.KAV untouched"
else
    e2e_fail "PORT.KAV untouched" "$(cmp "$E2E_ARTEFACTS/PORT.KAV.before" "$E2E_WORK/PORT.KAV" 2>&1)"
fi
if e2e_system_path; then
    # Without KAVO_TEST_CONTROL=1 a program on winmm, as shipped, answers no test request.
    KAVO_TEST_CONTROL= e2e_launch
    kavo=$E2E_LAST_PID
    drv wait-window 30000 || e2e_fail "started without the test channel"
    if e2e_wine "$E2E_DRIVER" state >/dev/null 2>&1; then
        e2e_fail "winmm without KAVO_TEST_CONTROL: no answer to a state request"
    else
        e2e_pass "winmm without KAVO_TEST_CONTROL: no answer to a state request"
    fi
    drv close
    e2e_wait_exit "$kavo"
    e2e_expect_exit "without the test channel: exit code"
fi
e2e_end
