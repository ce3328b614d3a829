#!/bin/bash
# The icon when the shell is slow, as at logon: the first adds of the icon fail
# (KAVO_TEST_ICON_REFUSALS, honoured with the test channel on), and the program keeps
# trying on a timer until the shell takes it. Meanwhile the routes started and the
# icon's record followed them, so it appears as the state is then; its menu opens; a
# "TaskbarCreated" while the shell holds it adds nothing, and one after the shell lost
# it adds it once more. A program whose icon never comes keeps trying, and still
# answers and closes.
#   icon_retry.sh KAVO2_EXE DRIVER_EXE ARTEFACT_ROOT
set -u
here=$(dirname "${BASH_SOURCE[0]}")
source "$here/../../tools/e2e/kavo-e2e.sh"
source "$here/menu_lib.sh"
e2e_begin icon_retry "$1" "$2" "$3"

E2E_TRANSPOSE=00000001 e2e_write_configured_reg "$E2E_WORK/seed.reg"
e2e_seed_registry "$E2E_WORK/seed.reg"

# Waits (up to 60 s) until drv icon-adds shows KEY=VALUE; prints the last answer.
wait_adds() {
    local i adds
    for ((i = 0; i < 600; i++)); do
        adds=$(drv icon-adds 2>/dev/null)
        [ "$(state_value "$adds" "${1%%=*}")" == "${1#*=}" ] && break
        sleep 0.1
    done
    printf '%s\n' "$adds"
}

# ---- three adds refused, the fourth taken ----------------------------------------------
# (How far the retries have got by the first query depends on the machine's speed,
# so only the end is checked.)
KAVO_TEST_ICON_REFUSALS=3 menu_start
after=$(wait_adds retrying=0)
e2e_expect_eq "taken after three refusals, by the timer" "$(printf 'adds=4\nrefused=3\nretrying=0')" "$after"
e2e_expect_eq "the shell holds the icon" icon=1 "$(drv icon-probe)"
e2e_expect_state "shown as the state is now" icon=1 picture=221 "tip=KAVO ON - Live" running=1
e2e_screenshot_tray icon-after-retries
menu_expect "its menu opens from the icon" "$MENU_RUNNING
$MENU_TAIL" menu-after-retries

# ---- the shell's broadcast ----------------------------------------------------------------
drv taskbar-created
e2e_expect_eq "TaskbarCreated while the shell holds it: no second add" "$after" "$(drv icon-adds)"
e2e_expect_eq "TaskbarCreated while the shell holds it: still there" icon=1 "$(drv icon-probe)"
drv icon-delete
drv taskbar-created
e2e_expect_eq "TaskbarCreated after the shell lost it: added once" "$(printf 'adds=5\nrefused=3\nretrying=0')" \
    "$(drv icon-adds)"
e2e_expect_eq "TaskbarCreated after the shell lost it: back" icon=1 "$(drv icon-probe)"
menu_stop "retried"

# ---- a shell that never takes it -----------------------------------------------------------
KAVO_TEST_ICON_REFUSALS=999999 menu_start
e2e_expect_eq "never taken: the timer keeps trying" 3 "$(state_value "$(wait_adds refused=3)" refused)"
# The broadcast returns once every window has handled it: the count has grown by then.
before=$(state_value "$(drv icon-adds)" refused)
drv taskbar-created
now=$(state_value "$(drv icon-adds)" refused)
if [ "$now" -gt "$before" ]; then e2e_pass "never taken: TaskbarCreated tries too"; else
    e2e_fail "never taken: TaskbarCreated tries too" "refused $before before the broadcast, $now after"; fi
e2e_expect_state "never taken: the program runs" icon=0 running=1
menu_stop "never taken"
e2e_end
