#!/bin/bash
# Sixteen presets, two inputs and two outputs: "＋" refuses any name, one already in
# the table too, with "これ以上設定を追加する事はできません。"; Apply with a name in
# the table shows the same message, leaves that preset as it was and applies the rest.
#   port_setup_full.sh KAVO2_EXE DRIVER_EXE ARTEFACT_ROOT
set -u
here=$(dirname "${BASH_SOURCE[0]}")
source "$here/../../tools/e2e/kavo-e2e.sh"
source "$here/port_setup_lib.sh"
e2e_begin port_setup_full "$1" "$2" "$3"

full_text="これ以上設定を追加する事はできません。"

e2e_seed_routes P3 1,0,0
presets=()
for k in $(seq 0 15); do presets+=("P$k|1,$((k % 2)),$((k % 2)),0|0,2147483647,2147483647,0"); done
ps_make_table "$E2E_WORK/PORT.KAV" "${presets[@]}"
cp "$E2E_WORK/PORT.KAV" "$E2E_ARTEFACTS/PORT.KAV.before"
ps_decorate

e2e_launch
kavo=$E2E_LAST_PID
drv wait-window 30000 || e2e_fail "hidden window KAVO2.0 exists"
table_before=$(drv dlg-settings | grep '^preset')
ps_open
ps_expect_control "shown" 1037 sel=3 count=16 text=P3
ps_shot shown

# "＋" opens a message box, which would hold a waiting driver: clicked without waiting.
for name in P3 "Brand new"; do
    drv dlg-name "$name"
    drv dlg-post-click 1018
    e2e_expect_eq "\"＋\" with $name: message" "$full_text" "$(drv box-text Kavo2 20000)"
    [ "$name" = P3 ] && e2e_screenshot full-message
    drv box-ok Kavo2
    drv dlg-wait 5000 >/dev/null
    e2e_expect_eq "\"＋\" with $name: table unchanged" "$table_before" "$(drv dlg-settings | grep '^preset')"
    ps_expect_control "\"＋\" with $name" 1037 count=16
done

# Apply with "p3" (preset P3 in another letter case) and other devices.
drv dlg-select 16000 1
drv dlg-name p3
drv dlg-post-click 3
e2e_expect_eq "Apply: message" "$full_text" "$(drv box-text Kavo2 20000)"
drv box-ok Kavo2
# The rest of Apply runs once the box is gone.
for _ in $(seq 50); do
    [ "$(ps_settings name)" = p3 ] && break
    sleep 0.1
done
e2e_expect_eq "Apply: Name" "p3" "$(ps_settings name)"
e2e_expect_eq "Apply: routeSettings" "1,1,0,0" "$(ps_settings route1)"
e2e_expect_eq "Apply: preset P3 not updated" "$table_before" "$(drv dlg-settings | grep '^preset')"
ps_expect_control "Apply" 3 enabled=0
e2e_expect_eq "Apply: registry Name" "REG_SZ p3" "$(reg_value 'HKLM\SOFTWARE\Ombrix\Kavo2' Name)"
e2e_expect_eq "Apply: registry Port1 MIDIIn" "REG_DWORD 0x1" "$(reg_value 'HKLM\SOFTWARE\Ombrix\Kavo2\Port1' MIDIIn)"
e2e_expect_state "Apply" running=1 inOpen=0,1 outOpen=1,0
ps_expect_file "Apply: PORT.KAV written with the table as it was" "$E2E_ARTEFACTS/PORT.KAV.before" "$E2E_WORK/PORT.KAV"
ps_shot applied

drv close
e2e_wait_exit "$kavo"
e2e_expect_eq "exit code" 0 "$E2E_EXIT"
e2e_end
