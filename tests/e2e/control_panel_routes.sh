#!/bin/bash
# The control panel's route list for each combination of running routes, and the
# panel with nothing running: started with -DISABLE, then presets picked from the tray
# menu run route 2 alone, both routes, route 1 alone. With no route, the list is empty,
# Port stays, every button can be pressed and only the tuning box shows; with one
# route, the list holds it and Port moves to it; the icon follows the conversions.
#   control_panel_routes.sh KAVO2_EXE DRIVER_EXE ARTEFACT_ROOT
set -u
here=$(dirname "${BASH_SOURCE[0]}")
source "$here/../../tools/e2e/kavo-e2e.sh"
e2e_begin control_panel_routes "$1" "$2" "$3"
source "$here/port_setup_lib.sh"
source "$here/panel_lib.sh"

ps_decorate
cp_unmanaged
cp_seed_two_routes
ps_make_table "$E2E_WORK/PORT.KAV" "R2|0,0,0,0|1,1,1,0" "Both|1,0,0,0|1,1,1,0" "R1|1,0,0,0|0,1,1,0"
e2e_launch -DISABLE
kavo=$E2E_LAST_PID
drv wait-window 30000 || e2e_fail "hidden window KAVO2.0 exists"

# ---- nothing runs ----------------------------------------------------------------------
cp_open "nothing running"
cp_shot nothing-running
cp_expect "nothing running: empty list" 1043 sel=-1 count=0 data= items=
cp_expect_setting "nothing running: Port stays" Port=0 transformRoute=0
for id in 1054 1034 1035 1036 1050; do drv cp-click "$id"; done
drv cp-post-click 1024
box=$(drv box-text Kavo2 10000)
e2e_expect_eq "nothing running: the tuning box still shows" "ﾁｭｰﾆﾝｸﾞが終了したら「OK」ボタンを押して下さい。" \
    "$(grep -v '^$' <<<"$box" | tail -1)"
drv box-ok Kavo2
sleep 1
e2e_expect_state "nothing running: nothing opened" running=0 inOpen=0,0 outOpen=0,0
cp_expect_outputs "nothing running: nothing sent" "" ""
drv cp-click 1050
cp_expect_setting "START released" Metronome=0 metronomeOn=0
drv cp-click 1
drv cp-gone 5000 || e2e_fail "nothing running: 閉じる hides the panel"

# ---- route 2 alone -------------------------------------------------------------------
drv command 20001   # Name empty: 20000 is Default, 20001 the first preset, R2
e2e_expect_state "R2 picked" running=1 inOpen=0,1 outOpen=0,1 picture=210
cp_clear
cp_open "route 2 alone"
cp_expect "route 2 alone: only Kavo2, selected" 1043 sel=0 count=1 data=1 items=Kavo2
cp_expect_setting "route 2 alone: Port moves to it" Port=1 transformRoute=1
cp_expect_outputs "route 2 alone: the sweep reaches the open output only" "" "$(cp_sweeps 1)"
drv cp-drag 1052 20
drv cp-click 1051
e2e_expect_state "route 2 alone, velocity conversion on" picture=220
drv feed 1 00404090
e2e_expect_eq "route 2 alone: its notes are converted" "S 00724090" "$(drv wait-dump 1 17 | tail -1)"
drv cp-click 1051
e2e_expect_state "route 2 alone, velocity conversion off" picture=210
cp_clear
drv cp-click 1034
cp_expect_outputs "route 2 alone: GM System On to route 2" "" "L F07E7F0901F7"
drv cp-click 1
drv cp-gone 5000

# ---- both routes, then route 1 alone ---------------------------------------------------
drv command 20001   # Name is R2 now: 20000 is R2, 20001 Both
e2e_expect_state "Both picked" running=1 inOpen=1,1 outOpen=1,1 picture=211
cp_open "both routes"
cp_expect "both routes: Port 1 kept" 1043 sel=1 count=2 data=0,1 items="Kavo1|Kavo2"
cp_expect_setting "both routes" Port=1 transformRoute=1
drv cp-click 1
drv cp-gone 5000
drv command 20002   # R2, Both, R1
e2e_expect_state "R1 picked" running=1 inOpen=1,0 outOpen=1,0 picture=210
cp_open "route 1 alone"
cp_expect "route 1 alone: only Kavo1, selected" 1043 sel=0 count=1 data=0 items=Kavo1
cp_expect_setting "route 1 alone: Port moves to it" Port=0 transformRoute=0
cp_shot route-1-alone
drv cp-esc
drv cp-gone 5000

drv close
e2e_wait_exit "$kavo"
e2e_expect_eq "exit code" 0 "$E2E_EXIT"
k='HKLM\SOFTWARE\Ombrix\Kavo2\Controller'
e2e_expect_eq "Port stored" "REG_DWORD 0x0" "$(reg_value "$k" Port)"
e2e_expect_eq "VelConvertion stored off" "REG_DWORD 0x0" "$(reg_value "$k" VelConvertion)"
e2e_expect_eq "Metronome stored off" "REG_DWORD 0x0" "$(reg_value "$k" Metronome)"
e2e_end
