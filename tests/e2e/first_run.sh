#!/bin/bash
# First run: no settings in the registry. The program says so and asks for devices in
# the port setup dialog; left with OK and nothing picked, it goes on with the defaults
# and no route, and saves the defaults at shut-down; an existing preset file is
# neither replaced nor cut. (port_setup_first_run.sh covers the dialog itself.)
#   first_run.sh KAVO2_EXE DRIVER_EXE ARTEFACT_ROOT
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../tools/e2e/kavo-e2e.sh"
e2e_begin first_run "$1" "$2" "$3"

e2e_make_two_presets "$E2E_WORK/PORT.KAV"
cp "$E2E_WORK/PORT.KAV" "$E2E_ARTEFACTS/PORT.KAV.before"

e2e_launch
kavo=$E2E_LAST_PID
e2e_expect_eq "first-run message" "使用するMIDIデバイスを選択してください。" "$(drv box-text Kavo2 30000)"
e2e_screenshot first-run-message
drv box-ok Kavo2
if drv dlg-wait 30000; then e2e_pass "port setup dialog shown"; else e2e_fail "port setup dialog shown"; fi
drv dlg-click 1

if drv wait-window 30000; then e2e_pass "hidden window KAVO2.0 exists"; else e2e_fail "hidden window KAVO2.0 exists"; fi
# No route configured: the engine runs with nothing open.
e2e_expect_state "started" icon=1 picture=210 "tip=KAVO ON - " running=1 routeIn=0,0 routeOut=0,0 inOpen=0,0 outOpen=0,0
e2e_screenshot_tray started

drv close
e2e_wait_exit "$kavo"
e2e_expect_eq "exit code" 0 "$E2E_EXIT"

k='HKLM\SOFTWARE\Ombrix\Kavo2'
e2e_expect_eq "Name saved empty" "REG_SZ" "$(reg_value "$k" Name)"
e2e_expect_eq "Time Out never written" "missing" "$(reg_value "$k" 'Time Out')"
for r in 1 2; do
    e2e_expect_eq "Port$r Enabled" "REG_DWORD 0x0" "$(reg_value "$k\\Port$r" Enabled)"
    e2e_expect_eq "Port$r MIDIIn" "REG_DWORD 0x7fffffff" "$(reg_value "$k\\Port$r" MIDIIn)"
    e2e_expect_eq "Port$r MIDIOut" "REG_DWORD 0x7fffffff" "$(reg_value "$k\\Port$r" MIDIOut)"
    e2e_expect_eq "Port$r Init never written" "missing" "$(reg_value "$k\\Port$r" Init)"
done
for v in Port:0x0 Channel:0x10 VelConvertion:0x0 Metronome:0x0 TransPose:0x0 tOctave:0x64 vSens:0x64 \
         vOffset:0x7f mClick:0x21 mBell:0x22 mVolume:0x56 mChannel:0x9 mMeas:0x2 mTempo:0x78; do
    e2e_expect_eq "Controller ${v%%:*}" "REG_DWORD ${v#*:}" "$(reg_value "$k\\Controller" "${v%%:*}")"
done

if cmp -s "$E2E_ARTEFACTS/PORT.KAV.before" "$E2E_WORK/PORT.KAV"; then
    e2e_pass "PORT.KAV untouched"
else
    e2e_fail "PORT.KAV untouched" "$(cmp "$E2E_ARTEFACTS/PORT.KAV.before" "$E2E_WORK/PORT.KAV" 2>&1)"
fi
e2e_end
