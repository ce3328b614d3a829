#!/bin/bash
# Start-up switches: started with the given command line, the program either starts
# both configured routes or stays stopped, and its icon says which.
#   switches.sh KAVO2_EXE DRIVER_EXE ARTEFACT_ROOT NAME running|stopped [ARGS...]
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../tools/e2e/kavo-e2e.sh"
kavo_exe=$1 driver_exe=$2 artefacts=$3 name=$4 expect=$5
shift 5
e2e_begin "switch_$name" "$kavo_exe" "$driver_exe" "$artefacts"

e2e_write_configured_reg "$E2E_WORK/seed.reg"
e2e_seed_registry "$E2E_WORK/seed.reg"

e2e_log "command line: $*"
e2e_launch "$@"
kavo=$E2E_LAST_PID
if drv wait-window 30000; then e2e_pass "hidden window KAVO2.0 exists"; else e2e_fail "hidden window KAVO2.0 exists"; fi
if [ "$expect" = running ]; then
    e2e_expect_state "$*" icon=1 picture=211 "tip=KAVO ON - Live" running=1 routeIn=1,1 inOpen=1,1 outOpen=1,1
    drv feed 1 00403C90
    e2e_expect_eq "$*: route 2 forwards" "S 00403C90" "$(drv wait-dump 1 1)"
else
    # Stopped from the start: the start-up icon, whose tip has no name.
    e2e_expect_state "$*" icon=1 picture=201 "tip=KAVO OFF" running=0 routeIn=0,0 inOpen=0,0 outOpen=0,0
    if drv feed 1 00403C90; then e2e_fail "$*: a closed input takes nothing"; else e2e_pass "$*: a closed input takes nothing"; fi
    e2e_expect_eq "$*: nothing forwarded" "" "$(drv dump 1)"
    # The first start after start-up: the tip now carries the name.
    drv command 32771
    e2e_expect_state "$* then started" picture=211 "tip=KAVO ON - Live" running=1 inOpen=1,1 outOpen=1,1
fi
e2e_screenshot_tray started

drv close
e2e_wait_exit "$kavo"
e2e_expect_eq "exit code" 0 "$E2E_EXIT"
# Stopped or not, shut-down saves.
e2e_expect_eq "saved at shut-down" "REG_DWORD 0x0" "$(reg_value 'HKLM\SOFTWARE\Ombrix\Kavo2\Controller' Metronome)"
e2e_end
