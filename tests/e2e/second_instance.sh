#!/bin/bash
# A second start while one instance is resident: it shows the already-running message
# with the stop icon, ends, and leaves the first instance, its devices, its icon and
# the registry as they were.
#   second_instance.sh KAVO2_EXE DRIVER_EXE ARTEFACT_ROOT
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../tools/e2e/kavo-e2e.sh"
e2e_begin second_instance "$1" "$2" "$3"

e2e_write_configured_reg "$E2E_WORK/seed.reg"
e2e_seed_registry "$E2E_WORK/seed.reg"

e2e_launch
first=$E2E_LAST_PID
if drv wait-window 30000; then e2e_pass "first instance resident"; else e2e_fail "first instance resident"; fi
before=$(drv state)
printf '%s\n' "$before" >"$E2E_ARTEFACTS/state-before.txt"
e2e_expect_eq "first instance state" "$(printf 'icon=1\npicture=211\ntip=KAVO ON - Live\nrunning=1\nrouteIn=1,1\nrouteOut=1,1\nwait=0,0\nboxes=0\ninOpen=1,1\noutOpen=1,1')" "$before"

e2e_launch
second=$E2E_LAST_PID
e2e_expect_eq "already-running message" "KAVOは既に起動しています。" "$(drv box-text Kavo2 30000)"
e2e_screenshot already-running-message
drv box-ok Kavo2
e2e_wait_exit "$second"
e2e_expect_eq "second instance ended" 0 "$E2E_EXIT"

e2e_expect_eq "first instance state unchanged" "$before" "$(drv state)"
# The second instance saved nothing: a value only a shut-down writes is still absent.
e2e_expect_eq "registry untouched" "missing" "$(reg_value 'HKLM\SOFTWARE\Ombrix\Kavo2\Controller' Metronome)"
drv feed 0 00403C90
e2e_expect_eq "first instance still forwards" "S 00403C90" "$(drv wait-dump 0 1)"
e2e_screenshot_tray after-second-start

drv close
e2e_wait_exit "$first"
e2e_expect_eq "first instance exit code" 0 "$E2E_EXIT"
e2e_expect_eq "first instance saved at shut-down" "REG_DWORD 0x0" "$(reg_value 'HKLM\SOFTWARE\Ombrix\Kavo2\Controller' Metronome)"
e2e_end
