#!/bin/bash
# Presets found whatever folder the program starts in. Its copy lives in the work
# directory; presets stored and applied there are found when it is started from the
# prefix's system folder (the current directory of a start through the Run key), and
# what is applied from there goes beside the program again, nothing into the system
# folder. A PORT.KAV (and its PORTNAME.KAV) that an older version left in a shortcut's
# "Start in" folder is found when started from there and copied beside the program byte
# for byte, so the next start from the system folder finds it too; the old files stay
# as they were.
#   presets_any_folder.sh KAVO2_EXE DRIVER_EXE ARTEFACT_ROOT
set -u
here=$(dirname "${BASH_SOURCE[0]}")
source "$here/../../tools/e2e/kavo-e2e.sh"
source "$here/port_setup_lib.sh"
e2e_begin presets_any_folder "$1" "$2" "$3"

e2e_seed_routes "" 1,0,1,2 1,1,0
ps_decorate
system=$WINEPREFIX/drive_c/windows/system32
[ -d "$system" ] || e2e_fail "the prefix's system folder" "no $system"
users=$(find "$WINEPREFIX/drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public -printf '%f\n')
appdata=$WINEPREFIX/drive_c/users/$users/AppData/Roaming/Ombrix

# Starts the program from DIR and waits for its window; KAVO is its pid.
start_in() {
    E2E_START_DIR=$1 e2e_launch
    KAVO=$E2E_LAST_PID
    drv wait-window 30000 || e2e_fail "started in $1"
}

stop() {
    drv close
    e2e_wait_exit "$KAVO"
    e2e_expect_exit "$1: exit code"
}

presets() { drv dlg-settings | grep '^preset'; }

# ---- stored from the program's folder, found from the system folder ---------------------
start_in "$E2E_WORK"
ps_open
drv dlg-name Saved
drv dlg-click 1018
drv dlg-click 1
drv dlg-gone 5000 || e2e_fail "OK hides the dialog"
stop "stored in the program's folder"
ps_make_table "$KAVO_WINE_TMP/saved.kav" "Saved|1,0,1,2|1,1,0,0"
ps_expect_file "stored: PORT.KAV beside the program" "$KAVO_WINE_TMP/saved.kav" "$E2E_WORK/PORT.KAV"

start_in "$system"
e2e_expect_eq "started in the system folder: the preset found" "$(printf 'presets=1\npreset=Saved|1,0,1,2|1,1,0,0')" \
    "$(presets)"
ps_open
drv dlg-name Logon
drv dlg-click 1018
drv dlg-click 3
ps_make_table "$KAVO_WINE_TMP/two.kav" "Saved|1,0,1,2|1,1,0,0" "Logon|1,0,1,2|1,1,0,0"
ps_expect_file "applied from the system folder: beside the program" "$KAVO_WINE_TMP/two.kav" "$E2E_WORK/PORT.KAV"
e2e_expect_eq "applied from the system folder: nothing written there" "" \
    "$(cd "$system" && ls -A | grep -i '^PORT')"
e2e_expect_eq "applied from the system folder: nothing in the application-data folder" no \
    "$([ -e "$appdata" ] && echo yes || echo no)"
drv dlg-click 2
drv dlg-gone 5000 || e2e_fail "Cancel hides the dialog"
stop "started in the system folder"

# ---- an older version's files in a shortcut's "Start in" folder ----------------------------
mv "$E2E_WORK/PORT.KAV" "$E2E_ARTEFACTS/PORT.KAV.two"
mv "$E2E_WORK/PORTNAME.KAV" "$E2E_ARTEFACTS/PORTNAME.KAV.two"
startin=$KAVO_WINE_TMP/start-in
mkdir -p "$startin"
ps_make_table "$startin/PORT.KAV" "Old|1,0,1,0|0,1,1,0" "Older|0,1,0,0|1,0,0,0"
# Bytes past the table that an older version never wrote: copied as they are.
printf 'trailing bytes' >>"$startin/PORT.KAV"
cp "$E2E_ARTEFACTS/PORTNAME.KAV.two" "$startin/PORTNAME.KAV"
cp "$startin/PORT.KAV" "$E2E_ARTEFACTS/PORT.KAV.old"
cp "$startin/PORTNAME.KAV" "$E2E_ARTEFACTS/PORTNAME.KAV.old"
old="$(printf 'presets=2\npreset=Old|1,0,1,0|0,1,1,0\npreset=Older|0,1,0,0|1,0,0,0')"

start_in "$startin"
e2e_expect_eq "started in the old folder: its presets" "$old" "$(presets)"
ps_expect_file "started in the old folder: PORT.KAV copied beside the program" "$E2E_ARTEFACTS/PORT.KAV.old" \
    "$E2E_WORK/PORT.KAV"
ps_expect_file "started in the old folder: PORTNAME.KAV copied beside it" "$E2E_ARTEFACTS/PORTNAME.KAV.old" \
    "$E2E_WORK/PORTNAME.KAV"
stop "started in the old folder"
ps_expect_file "the old folder's PORT.KAV untouched" "$E2E_ARTEFACTS/PORT.KAV.old" "$startin/PORT.KAV"
ps_expect_file "the old folder's PORTNAME.KAV untouched" "$E2E_ARTEFACTS/PORTNAME.KAV.old" "$startin/PORTNAME.KAV"

start_in "$system"
e2e_expect_eq "then started in the system folder: the old presets" "$old" "$(presets)"
stop "then started in the system folder"
e2e_expect_eq "the old folder holds no other file" "$(printf 'PORT.KAV\nPORTNAME.KAV')" "$(cd "$startin" && ls -A)"
e2e_end
