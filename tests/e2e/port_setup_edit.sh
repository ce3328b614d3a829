#!/bin/bash
# Preset editing in the port setup dialog, two inputs and two outputs, presets A, B
# and C, Name empty: nothing is selected for the empty Name; "－" on the first of three
# moves the others up; "＋" adds; Cancel keeps both in memory but PORT.KAV unchanged
# until the next Apply; "＋" with another letter case replaces; Japanese names, and a
# name longer than 36 bytes cut without half a character, so that Name after Apply is
# the stored preset's name; "－" looks names up uncut.
#   port_setup_edit.sh KAVO2_EXE DRIVER_EXE ARTEFACT_ROOT
set -u
here=$(dirname "${BASH_SOURCE[0]}")
source "$here/../../tools/e2e/kavo-e2e.sh"
source "$here/port_setup_lib.sh"
e2e_begin port_setup_edit "$1" "$2" "$3"

e2e_seed_routes "" 1,0,1,2 1,1,0
ps_make_table "$E2E_WORK/PORT.KAV" "A|1,0,0,0|0,1,1,0" "B|1,1,1,0|1,0,0,0" "C|0,0,1,0|0,1,0,0"
cp "$E2E_WORK/PORT.KAV" "$E2E_ARTEFACTS/PORT.KAV.before"
ps_decorate

e2e_launch
kavo=$E2E_LAST_PID
drv wait-window 30000 || e2e_fail "hidden window KAVO2.0 exists"
ps_open
ps_shot shown
ps_expect_control "shown with Name empty" 1037 sel=-1 count=3 text=
ps_expect_control "shown with Name empty" 1018 enabled=0
ps_expect_control "shown with Name empty" 1019 enabled=0

# "－" on the first of three.
drv dlg-name a
ps_expect_control "name typed" 1018 enabled=1
ps_expect_control "name typed" 1019 enabled=1
ps_expect_control "name typed" 3 enabled=1
drv dlg-click 1019
ps_shot removed
e2e_expect_eq "removed: entries keep their item data" "$(printf 'dialog=1\nentry=1 B\nentry=2 C')" "$(drv dlg-names)"
ps_expect_control "removed" 1037 count=2 text=
ps_expect_control "removed, no name left" 1018 enabled=0
ps_expect_control "removed, no name left" 1019 enabled=0
e2e_expect_eq "removed: table in memory" "$(printf 'presets=2\npreset=B|1,1,1,0|1,0,0,0\npreset=C|0,0,1,0|0,1,0,0')" \
    "$(drv dlg-settings | grep '^preset')"

# "＋" with a new name, then Cancel: memory changed, file not.
drv dlg-name New
drv dlg-click 1018
ps_shot stored
e2e_expect_eq "stored: new entry at the end" "$(printf 'dialog=1\nentry=1 B\nentry=2 C\nentry=2 New')" "$(drv dlg-names)"
e2e_expect_eq "stored: the form as preset New" "New|1,0,1,2|1,1,0,0" "$(drv dlg-settings | sed -n 's/^preset=New|/New|/p')"
drv dlg-click 2
drv dlg-gone 5000 || e2e_fail "Cancel hides the dialog"
e2e_expect_eq "after Cancel: table in memory" "$(printf 'presets=3\npreset=B|1,1,1,0|1,0,0,0\npreset=C|0,0,1,0|0,1,0,0\npreset=New|1,0,1,2|1,1,0,0')" \
    "$(drv dlg-settings | grep '^preset')"
ps_expect_file "after Cancel: PORT.KAV unchanged" "$E2E_ARTEFACTS/PORT.KAV.before" "$E2E_WORK/PORT.KAV"

ps_open
e2e_expect_eq "reopened: entries refilled" "$(printf 'dialog=1\nentry=0 B\nentry=1 C\nentry=2 New')" "$(drv dlg-names)"

# Another letter case: the same preset; its entry keeps its text until the next showing.
drv dlg-select 17000 0
drv dlg-name new
drv dlg-click 1018
e2e_expect_eq "replaced: no new entry" "$(printf 'dialog=1\nentry=0 B\nentry=1 C\nentry=2 New')" "$(drv dlg-names)"
e2e_expect_eq "replaced: slot takes the new text and devices" "$(printf 'presets=3\npreset=B|1,1,1,0|1,0,0,0\npreset=C|0,0,1,0|0,1,0,0\npreset=new|1,0,0,2|1,1,0,0')" \
    "$(drv dlg-settings | grep '^preset')"

# Japanese names; 20 characters are 40 bytes, of which the first 18 characters fit.
long=あいうえおかきくけこさしすせそたちつてと
cut=あいうえおかきくけこさしすせそたちつ
drv dlg-name ライブ
drv dlg-click 1018
drv dlg-name "$long"
drv dlg-click 1018
ps_shot japanese
e2e_expect_eq "Japanese entries" "$(printf 'entry=2 New\nentry=3 ライブ\nentry=4 %s' "$cut")" "$(drv dlg-names | tail -3)"
# Apply with the long text stores no second preset: Name is the stored name.
drv dlg-click 3
if drv box-text Kavo2 0 >/dev/null 2>&1; then e2e_fail "applied: no message box"; else e2e_pass "applied: no message box"; fi
# Both routes name output 0: it is opened once and both send through it.
e2e_expect_state "applied" running=1 inOpen=1,1 outOpen=1,0
e2e_expect_eq "applied: Name is the stored preset's name" "$cut" "$(ps_settings name)"
e2e_expect_eq "applied: no duplicate" 5 "$(ps_settings presets)"
e2e_expect_eq "applied: registry Name" "REG_SZ $cut" "$(ps_reg_text 'HKLM\SOFTWARE\Ombrix\Kavo2' Name)"
ps_make_table "$E2E_WORK/expected.kav" "B|1,1,1,0|1,0,0,0" "C|0,0,1,0|0,1,0,0" "new|1,0,0,2|1,1,0,0" \
    "ライブ|1,0,0,2|1,1,0,0" "$cut|1,0,0,2|1,1,0,0"
ps_expect_file "applied: PORT.KAV" "$E2E_WORK/expected.kav" "$E2E_WORK/PORT.KAV"

# "－" takes the text uncut: the 40-byte text names no preset; its 36-byte cut does.
drv dlg-name "$long"
drv dlg-click 1019
e2e_expect_eq "uncut text removes nothing" 5 "$(ps_settings presets)"
drv dlg-name "$cut"
drv dlg-click 1019
e2e_expect_eq "cut text removes the preset" "$(printf 'entry=2 New\nentry=3 ライブ')" "$(drv dlg-names | tail -2)"
ps_expect_control "removed" 1037 count=4 text=
drv dlg-click 2
ps_expect_file "after Cancel: PORT.KAV as applied" "$E2E_WORK/expected.kav" "$E2E_WORK/PORT.KAV"

drv close
e2e_wait_exit "$kavo"
e2e_expect_eq "exit code" 0 "$E2E_EXIT"
ps_expect_file "after exit: PORT.KAV as applied" "$E2E_WORK/expected.kav" "$E2E_WORK/PORT.KAV"
e2e_end
