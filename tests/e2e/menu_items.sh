#!/bin/bash
# The tray menu's items as the program builds them at each opening, read from the
# real menu while it is shown: the preset section for no presets, one preset beside
# "Default (&0)", one preset that is the current name, two presets with the current
# name on the second, a name no preset bears, and sixteen presets (seventeen entries,
# the last with suffix "(&10)" and identifier 20016, which is picked through the open
# menu with the keyboard); the start/stop text while running and while stopped.
#   menu_items.sh KAVO2_EXE DRIVER_EXE ARTEFACT_ROOT
set -u
here=$(dirname "${BASH_SOURCE[0]}")
source "$here/../../tools/e2e/kavo-e2e.sh"
source "$here/menu_lib.sh"
e2e_begin menu_items "$1" "$2" "$3"

kav=$E2E_WORK/PORT.KAV
# Route 1 from input 0 to output 0, route 2 from input 1 to output 1.
both='1,0,0:1,1,1'

# No presets, Name empty: "Default (&0)" alone, so no section at all.
menu_seed_registry ""
menu_start
menu_expect "no presets" "$MENU_RUNNING
$MENU_TAIL" no-presets
menu_stop "no presets"

# One preset, Name empty: Default checked, the preset numbered 1.
menu_seed_registry ""
menu_write_presets "$kav" "Live:$both"
menu_start -DISABLE
menu_expect "one preset, Name empty, stopped" "$MENU_STOPPED
---
20000 x Default (&0)
20001 - Live (&1)
$MENU_TAIL" one-preset-default
menu_stop "one preset, Name empty"

# One preset that is the current name: one entry, so no section.
menu_seed_registry "Live"
menu_start
menu_expect "one preset equal to Name" "$MENU_RUNNING
$MENU_TAIL" one-preset-named
menu_stop "one preset equal to Name"

# Two presets, Name B: B checked.
menu_seed_registry "B"
menu_write_presets "$kav" "A:$both" "B:$both"
menu_start
menu_expect "two presets, Name B" "$MENU_RUNNING
---
20000 - A (&0)
20001 x B (&1)
$MENU_TAIL" two-presets
menu_stop "two presets"

# A Name no preset bears (letter case counts): the first entry is checked.
menu_seed_registry "b"
menu_start
menu_expect "Name equal to no preset" "$MENU_RUNNING
---
20000 x A (&0)
20001 - B (&1)
$MENU_TAIL" name-equal-to-none
menu_stop "Name equal to no preset"

# Sixteen presets, Name empty. Japanese names, the last one 36 bytes long; preset k
# runs route 1 from input 0 to output (k mod 2).
long='ライブ会場用の長いプリセット名前です'
presets=()
expected="$MENU_RUNNING
---
20000 x Default (&0)"
for k in $(seq 1 16); do
    name=$(printf 'プリセット%02d' "$k")
    [ "$k" -eq 16 ] && name=$long
    presets+=("$name:1,0,$((k % 2)):0,-,-")
    expected+=$'\n'"$((20000 + k)) - $name (&$(printf '%X' "$k"))"
done
expected+=$'\n'"$MENU_TAIL"
menu_seed_registry ""
menu_write_presets "$kav" "${presets[@]}"
cp "$kav" "$E2E_ARTEFACTS/PORT.KAV.sixteen"
menu_start
menu_open_expect "sixteen presets, Name empty" "$expected" sixteen-presets
# Down from nothing selected: the start/stop item, then the seventeen entries.
keys=()
for k in $(seq 1 18); do keys+=(DOWN); done
menu_choose "entry 20016 picked by keyboard" "${keys[@]}" RETURN
menu_expect_state "entry 20016 picked" "tip=KAVO ON - $long" running=1 routeIn=1,0 routeOut=1,0 \
    inOpen=1,0 outOpen=1,0
# The pick named the last preset: Default is gone and it is entry 15 now, checked.
expected="$MENU_RUNNING
---"
for k in $(seq 1 16); do
    name=$(printf 'プリセット%02d' "$k")
    mark=-
    [ "$k" -eq 16 ] && name=$long && mark=x
    expected+=$'\n'"$((20000 + k - 1)) $mark $name (&$(printf '%X' $((k - 1))))"
done
expected+=$'\n'"$MENU_TAIL"
menu_expect "sixteen presets after picking the last" "$expected" sixteen-presets-picked
menu_stop "sixteen presets"
k='HKLM\SOFTWARE\Ombrix\Kavo2'
e2e_expect_eq "picked name saved" "REG_SZ $long" "$(reg_text "$k" Name)"
e2e_expect_eq "stored route 1 output unchanged" "REG_DWORD 0x0" "$(reg_value "$k\\Port1" MIDIOut)"
e2e_expect_eq "stored route 2 unchanged" "REG_DWORD 0x1" "$(reg_value "$k\\Port2" Enabled)"
if cmp -s "$E2E_ARTEFACTS/PORT.KAV.sixteen" "$kav"; then e2e_pass "PORT.KAV untouched"; else e2e_fail "PORT.KAV untouched"; fi
e2e_end
