#!/bin/bash
# The control panel of the real Kavo2.exe with both routes running (input r to output
# r), driven by its control identifiers: what a showing shows and sends; the velocity
# curve and transpose on forwarded notes of the Port route only, with the icon; the
# metronome's bytes and beat, measure and tempo; every way of closing and showing
# again; the buttons' bytes to the right outputs; the tray icon's rules while the panel
# is up; the version box; and after the close command the registry.
#   control_panel.sh KAVO2_EXE DRIVER_EXE ARTEFACT_ROOT
set -u
here=$(dirname "${BASH_SOURCE[0]}")
source "$here/../../tools/e2e/kavo-e2e.sh"
e2e_begin control_panel "$1" "$2" "$3"
source "$here/port_setup_lib.sh"
source "$here/panel_lib.sh"
source "$here/menu_lib.sh"

ps_decorate
cp_unmanaged
cp_seed_two_routes
e2e_launch
kavo=$E2E_LAST_PID
drv wait-window 30000 || e2e_fail "hidden window KAVO2.0 exists"
e2e_expect_state "started" picture=211 running=1 inOpen=1,1 outOpen=1,1
cp_clear

# ---- showing -------------------------------------------------------------------------
# From the tray menu, with the item's accelerator.
drv menu 10000 >"$E2E_ARTEFACTS/menu.txt" || e2e_fail "the menu opens"
menu_choose "control panel chosen in the menu" O
if drv cp-wait 20000; then e2e_pass "first showing: shown"; else e2e_fail "first showing: shown"; fi
cp_shot shown
cp_expect "showing" 1043 sel=0 count=2 data=0,1 items="Kavo1|Kavo2"
cp_expect "showing: the channel list" 1044 visible=1 sel=16 count=17 items="1|2|3|4|5|6|7|8|9|10|11|12|13|14|15|16|ALL"
cp_expect "showing" 1052 pos=100 min=0 max=200 page=20
cp_expect "showing" 1053 pos=127 min=0 max=127 page=16 tics=9
cp_expect "showing" 1056 text=1.00
cp_expect "showing" 1057 text=0
cp_expect "showing" 1050 checked=0
cp_expect "showing" 1051 checked=0
cp_expect "showing" 1055 checked=0
cp_expect "showing: 4/4" 1047 checked=1
cp_expect "showing: 2/2" 1045 checked=0
cp_expect "showing" 1049 pos=120 lo=30 hi=250
cp_expect "showing" 1048 text=120
cp_expect "showing" 1059 pos=0 lo=-5 hi=5
cp_expect "showing" 1058 text=0
e2e_expect_eq "showing: the channel label is shown" "label visible=1 text=MIDI Ch.:" \
    "$(drv cp-state | grep 'text=MIDI Ch')"
cp_expect_outputs "showing sweeps once" "$(cp_sweeps 1)" "$(cp_sweeps 1)"

# The icon while the panel is up: a right click brings the panel forward and opens no
# menu, a double click does nothing.
out=$(drv right-click-focus 1500)
e2e_expect_eq "right click: no menu" "menu=0" "$(grep '^menu=' <<<"$out")"
e2e_expect_eq "right click: panel in front" "foreground=$CP_CAPTION" "$(grep '^foreground=' <<<"$out")"
drv icon double
e2e_expect_state "double click while the panel is up" running=1 inOpen=1,1

# ---- velocity curve -----------------------------------------------------------------
cp_clear
drv cp-drag 1052 20
cp_expect "SENS. dragged to 20" 1056 text=1.80
drv cp-click 1051
cp_expect_setting "velocity conversion on" VelConvertion=1 velConvertOn=1 vSens=20
e2e_expect_state "velocity conversion on" picture=221
cp_expect_outputs "the velocity switch sends nothing" "" ""
# SENS. alone is in force: e = 2.6, so 64 leaves as 114 on the Port route only. (Keys
# below 80 hex: a larger data byte is a status byte on a cable, which no device sends.)
drv feed 0 00404090 && drv feed 0 00013C90 && drv feed 1 00404090
e2e_expect_eq "route 1 note-ons on the curve" "$(printf 'S 00724090\nS 00023C90')" "$(drv wait-dump 0 2)"
e2e_expect_eq "route 2 unchanged" "S 00404090" "$(drv wait-dump 1 1)"
cp_shot conversion-on

# The value follows the thumb: page up below 20 reaches the top and 2.00; a drop near
# the centre is caught at 100; OFFSET pages by 16 and steps by the arrows.
drv cp-key 1052 PAGEUP
cp_expect "SENS. page up from 20" 1052 pos=0
cp_expect "SENS. page up from 20" 1056 text=2.00
drv cp-drag 1052 95
cp_expect "SENS. dropped at 95" 1052 pos=100
cp_expect "SENS. dropped at 95" 1056 text=1.00
drv cp-key 1053 PAGEUP
drv cp-key 1053 DOWN
cp_expect "OFFSET page up, then down arrow" 1053 pos=112
cp_expect "OFFSET page up, then down arrow" 1057 text=15
cp_expect_setting "curve" vSens=100 vOffset=112
cp_clear
drv feed 0 00053C90 && drv feed 0 00404090
e2e_expect_eq "floor 15 under a straight line" "$(printf 'S 000F3C90\nS 00404090')" "$(drv wait-dump 0 2)"
drv cp-click 1051
e2e_expect_state "velocity conversion off" picture=211

# ---- transpose ------------------------------------------------------------------------
cp_clear
drv cp-spin 1059 up
cp_expect "octave up" 1058 text=1
cp_expect_setting "octave +1 while not transposing" tOctave=101 transposeSemitones=12
cp_expect_outputs "octave while not transposing sends nothing" "" ""
drv cp-click 1055
e2e_expect_state "transpose on" picture=221
cp_expect_outputs "the transpose switch sweeps" "$(cp_sweeps 1)" "$(cp_sweeps 1)"
cp_clear
drv feed 0 00403C90 && drv feed 0 00003C80 && drv feed 1 00403C90
e2e_expect_eq "route 1 note-on and note-off moved by 12" "$(printf 'S 00404890\nS 00004880')" "$(drv wait-dump 0 2)"
e2e_expect_eq "route 2 not transposed" "S 00403C90" "$(drv wait-dump 1 1)"
cp_clear
drv cp-spin 1059 up
cp_expect_outputs "octave while transposing sweeps" "$(cp_sweeps 1)" "$(cp_sweeps 1)"
drv cp-text 1058 7
cp_expect_setting "octave 7 refused" tOctave=102 transposeSemitones=24
cp_clear
drv cp-select 1043 1
cp_expect_setting "route 2 chosen" Port=1 transformRoute=1
cp_expect_outputs "the route choice sweeps" "$(cp_sweeps 1)" "$(cp_sweeps 1)"
cp_clear
drv feed 0 00403C90 && drv feed 1 00403C90
e2e_expect_eq "route 1 now unchanged" "S 00403C90" "$(drv wait-dump 0 1)"
e2e_expect_eq "route 2 now moved by 24" "S 00405490" "$(drv wait-dump 1 1)"
drv cp-click 1055
e2e_expect_state "transpose off" picture=211
drv cp-select 1043 0

# ---- metronome -----------------------------------------------------------------------
# Beats: "TIME_US BEAT" for each bell note-off (the first message of every beat) after
# time $2 on output $1, BEAT being the beat's four messages.
beats() {
    drv dump-timed "$1" | awk -v after="${2:-0}" '
        $1 > after && $3 == "00002289" { if (n) print t, b; t = $1; b = $3; n = 1; next }
        n { b = b " " $3; if (++n == 4) { print t, b; n = 0 } }'
}
# Milliseconds between consecutive beats, skipping the first $1 beats.
intervals() { awk -v skip="$1" 'NR > skip + 1 { printf "%.1f\n", ($1 - prev) / 1000 } { prev = $1 }'; }
# "ok" when every interval lies in ($1, $2] ms and the median within ($1, $3]. The
# tick rule wants more than one beat's length on a millisecond count, so $1 is one
# millisecond less than the beat.
intervals_ok() {
    sort -n | awk -v lo="$1" -v hi="$2" -v mid="$3" '
        { v[NR] = $1; if ($1 <= lo || $1 > hi) bad = 1 }
        END { m = v[int((NR + 1) / 2)]; print (NR > 0 && !bad && m > lo && m <= mid) ? "ok" : "off: " NR " intervals, median " m }'
}
beat1='00002289 00672299 00002189 00672199'   # first beat: bell 103, click 103
beat2='00002289 00002299 00002189 00562199'   # second and fourth: click 86
beat3='00002289 00002299 00002189 00672199'   # third: click 103

cp_clear
drv cp-click 1050
drv wait-dump 0 16 5000 >/dev/null
cp_shot metronome
b=$(beats 0)
printf '%s\n' "$b" >"$E2E_ARTEFACTS/beats-120.txt"
e2e_expect_eq "START: the first bar of 4/4 at 120" "$(printf '%s\n' "$beat1" "$beat2" "$beat3" "$beat2")" \
    "$(cut -d' ' -f2- <<<"$b" | head -4)"
e2e_expect_eq "120 beats a minute: 500 ms apart and no less" ok "$(intervals 0 <<<"$b" | intervals_ok 499 650 520)"
e2e_expect_eq "the metronome plays on the Port route only" "" "$(drv dump 1)"

# A measure button restarts the bar: the first beat after the click is a first beat,
# then 2/2 goes on with two beats to the bar.
t=$(drv cp-click-at 1045)
sleep 1.8
e2e_expect_eq "2/2 chosen while playing" "$(printf '%s\n' "$beat1" "$beat2" "$beat1")" \
    "$(beats 0 "$t" | cut -d' ' -f2- | head -3)"

# Tempo: 25 and 300 are not taken, 90 is.
drv cp-text 1048 25
drv cp-text 1048 300
cp_expect_setting "tempo 25 and 300 refused" mTempo=120
t=$(drv now)
drv cp-text 1048 90
cp_expect_setting "tempo 90 taken" mTempo=90
sleep 2.9
b=$(beats 0 "$t")
printf '%s\n' "$b" >"$E2E_ARTEFACTS/beats-90.txt"
e2e_expect_eq "90 beats a minute: 666 ms apart and no less" ok "$(intervals 1 <<<"$b" | intervals_ok 665 820 690)"

# "閉じる" stops the metronome with one sweep.
cp_clear
drv cp-click 1
drv cp-gone 5000 || e2e_fail "閉じる hides the panel"
sleep 1
cp_expect_setting "closed with 閉じる" metronomeOn=0 Metronome=1
out0=$(drv dump 0)
e2e_expect_eq "閉じる: one sweep after the last beat on output 1" "$(cp_sweeps 1)" \
    "$(sed -n '/78B0$/,$p' <<<"$out0")"
e2e_expect_eq "閉じる: no beat after the sweep" 16 "$(sed -n '/78B0$/,$p' <<<"$out0" | wc -l)"
e2e_expect_eq "閉じる: one sweep on output 2" "$(cp_sweeps 1)" "$(drv dump 1)"

# Shown again with START pressed: the clicks resume. Esc and the close box stop them
# without a sweep.
for way in esc closebox; do
    cp_open "shown again before $way"
    cp_expect "shown again before $way" 1050 checked=1
    cp_clear
    drv wait-dump 0 4 5000 >/dev/null
    n=$(beats 0 | wc -l)
    if [ "$n" -ge 1 ]; then e2e_pass "$way: the metronome resumed"; else e2e_fail "$way: the metronome resumed"; fi
    drv "cp-$way"
    drv cp-gone 5000 || e2e_fail "$way hides the panel"
    sleep 0.3
    cp_expect_setting "closed with $way" metronomeOn=0 Metronome=1
    e2e_expect_eq "$way: no sweep on output 1" 0 "$(drv dump 0 | grep -c 78B)"
    e2e_expect_eq "$way: no sweep on output 2" "" "$(drv dump 1)"
    cp_clear
    sleep 1
    cp_expect_outputs "$way: no beat afterwards" "" ""
done

# ---- the buttons ---------------------------------------------------------------------
cp_open "shown for the buttons"
drv cp-click 1050   # START released: the metronome stops with a sweep
cp_expect_setting "START released" Metronome=0 metronomeOn=0
cp_clear
drv cp-click 1054
cp_expect_outputs "All Notes Off" "$(cp_sweeps 1)" "$(cp_sweeps 1)"

cp_clear
drv cp-post-click 1024
box=$(drv box-text Kavo2 10000)
e2e_expect_eq "tuning box" "ﾁｭｰﾆﾝｸﾞが終了したら「OK」ボタンを押して下さい。" "$(grep -v '^$' <<<"$box" | tail -1)"
tone=$(for ch in 0 1 2 3 4 5 6 7 8 9 A B C D E F; do printf 'S 0060399%s\n' "$ch"; done)
e2e_expect_eq "tuning tone on output 1 while the box is up" "$tone" "$(drv dump 0)"
e2e_expect_eq "tuning tone on output 2 while the box is up" "$tone" "$(drv dump 1)"
first2=$(drv dump-timed 1 | head -1 | cut -d' ' -f1)
last1=$(drv dump-timed 0 | tail -1 | cut -d' ' -f1)
if [ "$last1" -le "$first2" ]; then e2e_pass "tuning tone: route 1 first"; else e2e_fail "tuning tone: route 1 first" "$last1 > $first2"; fi
e2e_screenshot tuning-box
drv box-ok Kavo2
drv wait-dump 0 32 5000 >/dev/null
drv wait-dump 1 32 5000 >/dev/null
cp_expect_outputs "tuning: the sweep after OK" "$(printf '%s\n' "$tone" "$(cp_sweeps 1)")" \
    "$(printf '%s\n' "$tone" "$(cp_sweeps 1)")"

cp_clear
drv cp-click 1034 && drv cp-click 1035 && drv cp-click 1036
cp_expect_outputs "GM System On, GS Reset, XG Reset to route 1 (Port 0)" \
    "$(printf 'L F07E7F0901F7\nL F04110421240007F0041F7\nL F043104C00007E00F7')" ""
drv cp-select 1043 1
cp_clear
drv cp-click 1035
cp_expect_outputs "GS Reset to route 2 (Port 1)" "" "L F04110421240007F0041F7"

# START pressed again and the panel closed with Esc: the switch is stored on, the
# metronome is silent.
drv cp-click 1050
drv cp-esc
drv cp-gone 5000

# ---- the version box -----------------------------------------------------------------
drv menu 10000 >/dev/null || e2e_fail "the menu opens for the version box"
menu_choose "version box chosen in the menu" V
if drv ab-wait 10000; then e2e_pass "version box shown"; else e2e_fail "version box shown"; fi
about=$(drv ab-state)
printf '%s\n' "$about" >"$E2E_ARTEFACTS/about.txt"
e2e_expect_eq "version box: icon" 1 "$(grep -c 'icon=1' <<<"$about")"
e2e_expect_eq "version box: version" 1 "$(grep -c 'text=Kavo Version 2.10$' <<<"$about")"
e2e_expect_eq "version box: maker" 1 "$(grep -c 'text=Copyright (C) Ombrix$' <<<"$about")"
e2e_expect_eq "version box: OK" 1 "$(grep -c '^1 class=Button text=OK$' <<<"$about")"
e2e_screenshot about
drv ab-move 100 120
drv ab-click 1
if drv ab-gone 5000; then e2e_pass "version box: OK hides it"; else e2e_fail "version box: OK hides it"; fi
drv command "$CP_ABOUT_ID"
drv ab-wait 10000
e2e_expect_eq "version box shown again where it was closed" "100 120" "$(drv ab-rect | cut -d' ' -f1-2)"
drv ab-esc
drv ab-gone 5000 || e2e_fail "Esc hides the version box"

# ---- what is stored ------------------------------------------------------------------
drv close
e2e_wait_exit "$kavo"
e2e_expect_exit "exit code"
k='HKLM\SOFTWARE\Ombrix\Kavo2\Controller'
e2e_expect_eq "Port stored" "REG_DWORD 0x1" "$(reg_value "$k" Port)"
e2e_expect_eq "Channel as it was" "REG_DWORD 0x10" "$(reg_value "$k" Channel)"
e2e_expect_eq "VelConvertion stored off" "REG_DWORD 0x0" "$(reg_value "$k" VelConvertion)"
e2e_expect_eq "Metronome stored on" "REG_DWORD 0xffffffff" "$(reg_value "$k" Metronome)"
e2e_expect_eq "TransPose stored off" "REG_DWORD 0x0" "$(reg_value "$k" TransPose)"
e2e_expect_eq "tOctave stored" "REG_DWORD 0x66" "$(reg_value "$k" tOctave)"
e2e_expect_eq "vSens stored" "REG_DWORD 0x64" "$(reg_value "$k" vSens)"
e2e_expect_eq "vOffset stored" "REG_DWORD 0x70" "$(reg_value "$k" vOffset)"
e2e_expect_eq "mMeas stored" "REG_DWORD 0x0" "$(reg_value "$k" mMeas)"
e2e_expect_eq "mTempo stored" "REG_DWORD 0x5a" "$(reg_value "$k" mTempo)"
e2e_end
