#!/bin/bash
# A malformed KAVO_VIRTUAL_MIDI: the program says so and ends before it reads or
# writes anything, rather than run on devices nobody asked for.
#   bad_devices.sh KAVO2_EXE DRIVER_EXE ARTEFACT_ROOT
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../tools/e2e/kavo-e2e.sh"
E2E_DEVICES='in=Keys A;sideways=Synth' e2e_begin bad_devices "$1" "$2" "$3"

e2e_launch
kavo=$E2E_LAST_PID
e2e_expect_eq "message" "KAVO_VIRTUAL_MIDI: malformed device list (expected in=A,B;out=C,D)" "$(drv box-text Kavo2 30000)"
e2e_screenshot message
drv box-ok Kavo2
e2e_wait_exit "$kavo"
e2e_expect_eq "exit code" 0 "$E2E_EXIT"
if drv wait-gone 0; then e2e_pass "no resident window"; else e2e_fail "no resident window"; fi
e2e_expect_eq "nothing saved" "missing" "$(reg_value 'HKLM\SOFTWARE\Ombrix\Kavo2' Name)"
e2e_end
