#!/bin/bash
# The MIDI monitor and the control panel's channel, on the real Kavo2.exe with both
# routes running (input r to output r): the monitor opened from its menu command shows
# each route's devices and state; notes, a controller and a 600-byte GS message fed on
# both routes come back from its list control, decoded, in and out, with the figures;
# the panel's own messages show as such; the channel chosen in the panel moves route
# 1's notes and a held note ends where it sounded; pause, clear, the close box, and
# the command again bringing it to the front; the channel stored at exit.
#   monitor.sh KAVO2_EXE DRIVER_EXE ARTEFACT_ROOT
set -u
here=$(dirname "${BASH_SOURCE[0]}")
source "$here/../../tools/e2e/kavo-e2e.sh"
e2e_begin monitor "$1" "$2" "$3"
source "$here/port_setup_lib.sh"
source "$here/panel_lib.sh"

MON_ID=32776
MON_CAPTION='Kavo2 - MIDIモニター'

# The list's lines without their time, for one route ("Kavo1" or "Kavo2") and one
# direction column (exactly), in list order.
mon_lines() { drv mon-lines | awk -F'\t' -v r="$1" -v d="$2" '$2 == r && $3 == d { print $4 }'; }
# Waits until the list holds at least $1 lines (the monitor refreshes ten times a
# second); prints how many it holds.
mon_wait_lines() {
    local n=0 i
    for ((i = 0; i < 50; i++)); do
        n=$(drv mon-lines | wc -l)
        [ "$n" -ge "$1" ] && break
        sleep 0.1
    done
    echo "$n"
}
mon_state() { drv mon-state | sed -n "s/^$1=//p"; }

# 600 bytes: a GS data set (F0 41 10 42 12, address 40 00 7F), 590 data bytes, F7.
gs600="F0411042124000 7F00"
gs600=${gs600// /}$(printf '00%.0s' $(seq 590))F7

cp_unmanaged
cp_seed_two_routes
e2e_launch
kavo=$E2E_LAST_PID
drv wait-window 30000 || e2e_fail "hidden window KAVO2.0 exists"
e2e_expect_state "started" running=1 routeIn=1,1 routeOut=1,1

# ---- opening ------------------------------------------------------------------------
items=$(drv menu 10000)
e2e_expect_eq "the menu's item" "32776 - MIDIモニター" "$(grep '^32776 ' <<<"$items")"
drv menu-key ESC
drv menu-gone 5000
drv command "$MON_ID"
if drv mon-wait 20000; then e2e_pass "shown"; else e2e_fail "shown"; fi
in1=$(e2e_device_name "Keys A") out1=$(e2e_device_name "Synth A")
in2=$(e2e_device_name "Keys B") out2=$(e2e_device_name "Synth B")
e2e_expect_eq "route 1's devices and state" "IN: $in1  →  OUT: $out1   転送中" "$(mon_state route1 | sed 's/\\n.*//')"
e2e_expect_eq "route 2's devices and state" "IN: $in2  →  OUT: $out2   転送中" "$(mon_state route2 | sed 's/\\n.*//')"
e2e_expect_eq "columns" "時刻|ルート|方向|メッセージ" "$(mon_state columns)"
e2e_expect_eq "an empty list" 0 "$(mon_state lines)"
e2e_expect_eq "nothing lost" "モニターが取りこぼした行: 0" "$(mon_state lost)"

# ---- both routes' traffic, read back from the list control ----------------------------
cp_clear
for r in 0 1; do
    drv feed $r 00643C90 && drv feed $r 006407B0 && drv feed $r 00003C80 || e2e_fail "route $((r + 1)): fed"
    drv sysex $r "$gs600" || e2e_fail "route $((r + 1)): SysEx fed"
done
for r in 0 1; do
    drv wait-dump $r 4 10000 >"$E2E_ARTEFACTS/out$r.txt" || e2e_fail "output $((r + 1)): four messages"
done
e2e_expect_eq "16 lines" 16 "$(mon_wait_lines 16)"
drv mon-lines >"$E2E_ARTEFACTS/lines.txt"
e2e_screenshot traffic
expected='ノートオン Ch.1 C4(60) ベロシティ 100
コントロールチェンジ Ch.1 CC7 ボリューム 値 100
ノートオフ Ch.1 C4(60) ベロシティ 0
SysEx 600 バイト メーカーID 41 GSデータセット 40 00 7F'
for route in Kavo1 Kavo2; do
    e2e_expect_eq "$route: in" "$expected" "$(mon_lines $route 入力)"
    e2e_expect_eq "$route: out" "$expected" "$(mon_lines $route 出力)"
done
bad=$(cut -f1 "$E2E_ARTEFACTS/lines.txt" | grep -cvE '^[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}$')
e2e_expect_eq "every line's time is HH:MM:SS.mmm" 0 "$bad"
figures='入力 4 (*/秒)   出力 4 (*/秒)   SysEx 入力 1 (600 バイト)  出力 1 (600 バイト)\n破棄: リング満杯 0   バックログ超過 0   途切れ・先頭なし 0'
for r in 1 2; do
    got=$(mon_state route$r | sed 's/^[^\\]*\\n//; s/([0-9]*\/秒)/(*\/秒)/g')
    e2e_expect_eq "route $r's figures" "$figures" "$got"
done

# ---- the panel's own messages, and the channel ------------------------------------------
cp_open "control panel"
drv cp-click 1035
sleep 0.5
e2e_expect_eq "the panel's sweep shows as the panel's" 16 \
    "$(mon_lines Kavo1 '出力 (パネル)' | grep -c 'CC120 オールサウンドオフ')"
e2e_expect_eq "the panel's GS Reset" "SysEx 11 バイト GSリセット" "$(mon_lines Kavo1 '出力 (パネル)' | grep SysEx)"
cp_expect "the channel list" 1044 visible=1 sel=16
drv cp-select 1044 4
cp_expect_setting "channel 5 chosen" Channel=4
cp_clear
drv feed 0 00643C90 && drv feed 1 00643C90
e2e_expect_eq "channel 5: route 1's note moves" "S 00643C94" "$(drv wait-dump 0 1)"
e2e_expect_eq "channel 5: route 2's stays" "S 00643C90" "$(drv wait-dump 1 1)"
drv cp-select 1044 16
cp_expect_setting "ALL chosen" Channel=16
drv feed 0 00003C80 && drv feed 0 00403E90
e2e_expect_eq "ALL: the held note ends on channel 5, the next one keeps its channel" \
    "$(printf 'S 00643C94\nS 00003C84\nS 00403E90')" "$(drv wait-dump 0 3)"
sleep 0.3
e2e_expect_eq "the monitor shows the move" "ノートオン Ch.5 C4(60) ベロシティ 100" \
    "$(mon_lines Kavo1 出力 | grep 'ノートオン Ch.5')"
drv cp-select 1044 1
drv cp-click 1
drv cp-gone 5000

# ---- pause, clear -------------------------------------------------------------------------
drv mon-click 1104
e2e_expect_eq "paused" 1 "$(mon_state pause)"
n=$(mon_state lines)
cp_clear
drv feed 1 00403C90 && drv wait-dump 1 1 >/dev/null
sleep 0.4
e2e_expect_eq "paused: no new line" "$n" "$(mon_state lines)"
drv mon-click 1104
drv mon-click 1105
e2e_expect_eq "cleared: no line" 0 "$(mon_state lines)"
e2e_expect_eq "cleared: the figures from now" "入力 0" "$(mon_state route2 | sed 's/^[^\\]*\\n//; s/ (.*//')"
drv feed 1 00003C80 && drv wait-dump 1 2 >/dev/null
e2e_expect_eq "after the clear, lines again" 2 "$(mon_wait_lines 2)"

# ---- closing, and the command again ------------------------------------------------------------
drv mon-closebox
if drv mon-gone 5000; then e2e_pass "the close box hides it"; else e2e_fail "the close box hides it"; fi
drv command "$MON_ID"
drv mon-wait 10000 || e2e_fail "shown again"
cp_open "the panel in front"
drv command "$MON_ID"
sleep 0.5
e2e_expect_eq "chosen again, the monitor comes to the front" "foreground=$MON_CAPTION" \
    "$(drv foreground | grep '^foreground=')"
e2e_screenshot monitor-front
ps_shot monitor mon

drv close
e2e_wait_exit "$kavo"
e2e_expect_exit "exit code"
e2e_expect_eq "Channel stored" "REG_DWORD 0x1" "$(reg_value 'HKLM\SOFTWARE\Ombrix\Kavo2\Controller' Channel)"
e2e_end
