#!/bin/bash
# One program, and only because of itself: a window of another class titled like the
# hidden window ("kavo2.0": the title search ignores case) does not stop a start; of
# two starts racing, one stays resident and the other says "KAVOは既に起動して
# います。" in a box in front, and ends.
#   single_instance.sh KAVO2_EXE DRIVER_EXE ARTEFACT_ROOT
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../tools/e2e/kavo-e2e.sh"
e2e_begin single_instance "$1" "$2" "$3"

e2e_write_configured_reg "$E2E_WORK/seed.reg"
e2e_seed_registry "$E2E_WORK/seed.reg"

# ---- a window of another program with the same title ---------------------------------
drv decoy kavo2.0 60000 &
decoy=$!
E2E_PIDS+=("$decoy")
sleep 2
e2e_launch
first=$E2E_LAST_PID
if drv wait-window 30000; then e2e_pass "started beside the decoy"; else e2e_fail "started beside the decoy"; fi
if drv box-text Kavo2 1000 >/dev/null 2>&1; then e2e_fail "no already-running box"; else e2e_pass "no already-running box"; fi
e2e_expect_state "resident beside the decoy" icon=1 running=1
drv close
e2e_wait_exit "$first"
e2e_expect_eq "closed" 0 "$E2E_EXIT"
kill "$decoy" 2>/dev/null

# ---- two starts at once -----------------------------------------------------------------
e2e_launch
a=$E2E_LAST_PID
e2e_launch
b=$E2E_LAST_PID
box=$(drv box-text Kavo2 30000)
e2e_expect_eq "one of them says so" "KAVOは既に起動しています。" "$box"
# (The refused start has no test channel to say how its box was made; a start-up box
# of the resident program is checked for that in desktop.sh.)
e2e_expect_eq "its box is in front" "foreground=1" "$(drv box-style Kavo2)"
e2e_screenshot already-running
drv box-ok Kavo2
gone=
for ((i = 0; i < 200; i++)); do
    kill -0 "$a" 2>/dev/null || { gone=$a; break; }
    kill -0 "$b" 2>/dev/null || { gone=$b; break; }
    sleep 0.1
done
if [ -n "$gone" ]; then e2e_pass "the refused start ended"; else e2e_fail "the refused start ended"; fi
drv wait-window 20000
e2e_expect_eq "one program stays" 1 "$(drv count-windows)"
e2e_expect_state "the one that stays runs" icon=1 running=1 inOpen=1,1
stays=$a
[ "$gone" = "$a" ] && stays=$b
drv close
e2e_wait_exit "$stays"
e2e_expect_eq "the resident one closes" 0 "$E2E_EXIT"
e2e_expect_eq "none left" 0 "$(drv count-windows)"
e2e_end
