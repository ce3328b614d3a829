#!/bin/bash
# The first run (no settings in the registry) with an existing PORT.KAV of two
# presets, two inputs and two outputs: the program says "使用するMIDIデバイスを選択
# してください。" and shows the port setup dialog modally.
#   cancel       Cancel, then Esc, then the close box on three starts: each time the
#                program ends, no key is written, PORT.KAV is untouched and the next
#                start asks again
#   ok           devices and a name picked, OK: the settings are stored, the preset is
#                added to the presets read from the file (not to an empty table), and
#                the program goes on to forward on the new routes; the next start
#                does not ask
#   apply_cancel Apply, then Cancel: the program ends, but the settings are stored and
#                the next start does not ask
#   port_setup_first_run.sh KAVO2_EXE DRIVER_EXE ARTEFACT_ROOT CASE
set -u
here=$(dirname "${BASH_SOURCE[0]}")
source "$here/../../tools/e2e/kavo-e2e.sh"
source "$here/port_setup_lib.sh"
case_name=${4:-}
case $case_name in
cancel | ok | apply_cancel) ;;
*)
    echo "usage: $0 KAVO2_EXE DRIVER_EXE ARTEFACT_ROOT cancel|ok|apply_cancel" >&2
    exit 2
    ;;
esac
e2e_begin "port_setup_first_run_$case_name" "$1" "$2" "$3"

first_run_text="使用するMIDIデバイスを選択してください。"
k='HKLM\SOFTWARE\Ombrix\Kavo2'
ps_make_table "$E2E_WORK/PORT.KAV" "A|1,0,1,0|0,2147483647,2147483647,0" "B|0,0,0,0|0,0,0,0"
cp "$E2E_WORK/PORT.KAV" "$E2E_ARTEFACTS/PORT.KAV.before"
ps_decorate

# Starts the program and answers the first-run message; the dialog is then up.
start_first_run() { # WHAT
    e2e_launch
    kavo=$E2E_LAST_PID
    e2e_expect_eq "$1: first-run message" "$first_run_text" "$(drv box-text Kavo2 30000)"
    drv box-ok Kavo2
    if drv dlg-wait 20000; then e2e_pass "$1: dialog shown"; else e2e_fail "$1: dialog shown"; fi
}

# The program ended on its own, with nothing stored and nothing shown.
expect_ended_unconfigured() { # WHAT
    e2e_wait_exit "$kavo"
    e2e_expect_eq "$1: exit code" 0 "$E2E_EXIT"
    e2e_expect_eq "$1: no settings written" "missing" "$(reg_value "$k" Name)"
    e2e_expect_eq "$1: no route written" "missing" "$(reg_value "$k\\Port1" Enabled)"
    ps_expect_file "$1: PORT.KAV untouched" "$E2E_ARTEFACTS/PORT.KAV.before" "$E2E_WORK/PORT.KAV"
}

# A later start finds the settings: no message, straight to resident.
expect_no_question() { # WHAT
    e2e_launch
    kavo=$E2E_LAST_PID
    if drv wait-window 30000; then e2e_pass "$1: resident"; else e2e_fail "$1: resident"; fi
    if drv box-text Kavo2 0 >/dev/null 2>&1; then e2e_fail "$1: no message"; else e2e_pass "$1: no message"; fi
    drv close
    e2e_wait_exit "$kavo"
}

case $case_name in
cancel)
    start_first_run "first start"
    ps_shot first-run
    # The presets were read before the dialog: the name box offers them.
    ps_expect_control "first start" 1037 count=2 text=
    ps_expect_control "first start" 16000 enabled=1 count=2 "items=Keys A|Keys B"
    drv dlg-select 16000 0
    drv dlg-click 2
    expect_ended_unconfigured "Cancel"
    start_first_run "second start"
    drv dlg-esc
    expect_ended_unconfigured "Esc"
    start_first_run "third start"
    drv dlg-closebox
    expect_ended_unconfigured "close box"
    ;;
ok)
    start_first_run "first start"
    drv dlg-select 16000 0
    drv dlg-select 17000 1
    drv dlg-select 16001 1
    drv dlg-select 17001 0
    drv dlg-name Live
    ps_expect_control "devices picked" 19000 checked=1
    ps_expect_control "devices picked" 19001 checked=1
    ps_shot first-run-filled
    drv dlg-click 1
    if drv wait-window 30000; then e2e_pass "OK: resident"; else e2e_fail "OK: resident"; fi
    e2e_expect_state "OK" running=1 routeIn=1,1 routeOut=1,1 inOpen=1,1 outOpen=1,1
    drv feed 0 00403C90
    e2e_expect_eq "OK: route 1 forwards input 0 to output 1" "S 00403C90" "$(drv wait-dump 1 1)"
    drv feed 1 00413C90
    e2e_expect_eq "OK: route 2 forwards input 1 to output 0" "S 00413C90" "$(drv wait-dump 0 1)"
    e2e_expect_eq "OK: Name" "REG_SZ Live" "$(reg_value "$k" Name)"
    for v in "1 Enabled 0x1" "1 MIDIIn 0x0" "1 MIDIOut 0x1" "2 Enabled 0x1" "2 MIDIIn 0x1" "2 MIDIOut 0x0"; do
        set -- $v
        e2e_expect_eq "OK: Port$1 $2" "REG_DWORD $3" "$(reg_value "$k\\Port$1" "$2")"
    done
    ps_make_table "$E2E_WORK/expected.kav" "A|1,0,1,0|0,2147483647,2147483647,0" "B|0,0,0,0|0,0,0,0" "Live|1,0,1,0|1,1,0,0"
    ps_expect_file "OK: PORT.KAV keeps A and B and adds Live" "$E2E_WORK/expected.kav" "$E2E_WORK/PORT.KAV"
    drv close
    e2e_wait_exit "$kavo"
    e2e_expect_eq "OK: exit code" 0 "$E2E_EXIT"
    expect_no_question "second start"
    ;;
apply_cancel)
    start_first_run "first start"
    drv dlg-select 16000 1
    drv dlg-select 17000 1
    drv dlg-click 3
    drv dlg-click 2
    e2e_wait_exit "$kavo"
    e2e_expect_eq "Apply, Cancel: exit code" 0 "$E2E_EXIT"
    e2e_expect_eq "Apply, Cancel: Port1 MIDIIn stored" "REG_DWORD 0x1" "$(reg_value "$k\\Port1" MIDIIn)"
    e2e_expect_eq "Apply, Cancel: Port1 Enabled stored" "REG_DWORD 0x1" "$(reg_value "$k\\Port1" Enabled)"
    ps_expect_file "Apply, Cancel: PORT.KAV rewritten unchanged" "$E2E_ARTEFACTS/PORT.KAV.before" "$E2E_WORK/PORT.KAV"
    expect_no_question "second start"
    ;;
esac
e2e_end
