#!/bin/bash
# Presets kept when the program's folder refuses writes: started in a read-only work
# directory that holds a shipped PORT.KAV (preset A), Kavo2 shows A; a preset stored
# there and applied goes to the user's AppData\Roaming\Ombrix\Kavo2\PORT.KAV, byte
# for byte, while the work directory keeps its file and gets no other; after a restart
# both presets are back, read from the application-data folder. With the work
# directory writable again a later Apply still goes to the application-data folder,
# so the next start reads what was written last.
#   presets_unwritable.sh KAVO2_EXE DRIVER_EXE ARTEFACT_ROOT
set -u

# Permission bits do not stop root, whom every test run here may be: run without the
# capabilities that override them, so that the read-only work directory refuses the
# program, and Wine's server, as it refuses an ordinary user.
if [ "$(id -u)" = 0 ] && [ -z "${KAVO_E2E_PERMISSIONS_APPLY:-}" ]; then
    command -v setpriv >/dev/null 2>&1 || { echo "presets_unwritable: needs setpriv (util-linux) when run as root"; exit 1; }
    export KAVO_E2E_PERMISSIONS_APPLY=1
    exec setpriv --inh-caps=-dac_override,-dac_read_search --bounding-set=-dac_override,-dac_read_search \
        bash "$(readlink -f "${BASH_SOURCE[0]}")" "$@"
fi

here=$(dirname "${BASH_SOURCE[0]}")
source "$here/../../tools/e2e/kavo-e2e.sh"
source "$here/port_setup_lib.sh"
e2e_begin presets_unwritable "$1" "$2" "$3"
# The work directory must be writable again for the prefix to be removed.
trap 'chmod u+w "$E2E_WORK" 2>/dev/null; e2e_cleanup' EXIT

e2e_seed_routes "" 1,0,1,2 1,1,0
ps_decorate

ps_make_table "$E2E_WORK/PORT.KAV" "A|1,0,0,0|0,1,1,0"
cp "$E2E_WORK/PORT.KAV" "$E2E_ARTEFACTS/PORT.KAV.shipped"
chmod a-w "$E2E_WORK"
if (: >"$E2E_WORK/probe") 2>/dev/null; then
    rm -f "$E2E_WORK/probe"
    e2e_fail "the work directory refuses writes" "a file could be made in $E2E_WORK"
    e2e_end
    exit
fi
e2e_pass "the work directory refuses writes"

# The prefix's one user (besides Public) and that user's roaming folder.
users=$(find "$WINEPREFIX/drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public -printf '%f\n')
e2e_expect_eq "one user in the prefix" 1 "$(printf '%s\n' "$users" | grep -c .)"
appdata=$WINEPREFIX/drive_c/users/$users/AppData/Roaming/Ombrix/Kavo2
# The preset file's names in the work directory (the file, its temporary file).
work_listing() { (cd "$E2E_WORK" && ls -A | grep '^PORT'); }

# ---- first start: the shipped file is read, the new one goes to AppData ----
e2e_launch
kavo=$E2E_LAST_PID
drv wait-window 30000 || e2e_fail "hidden window KAVO2.0 exists"
e2e_expect_eq "first start: the shipped preset" "$(printf 'presets=1\npreset=A|1,0,0,0|0,1,1,0')" \
    "$(drv dlg-settings | grep '^preset')"
ps_open
drv dlg-name Saved
drv dlg-click 1018
drv dlg-click 3
ps_shot applied
ps_make_table "$KAVO_WINE_TMP/expected-1.kav" "A|1,0,0,0|0,1,1,0" "Saved|1,0,1,2|1,1,0,0"
ps_expect_file "applied: AppData\\Roaming\\Ombrix\\Kavo2\\PORT.KAV" "$KAVO_WINE_TMP/expected-1.kav" "$appdata/PORT.KAV"
e2e_expect_eq "applied: 1120 bytes" 1120 "$(stat -c %s "$appdata/PORT.KAV" 2>/dev/null)"
# The presets' device names go where the presets go.
e2e_expect_eq "applied: the presets and their device names in AppData, nothing else" "$(printf 'PORT.KAV\nPORTNAME.KAV')" \
    "$(cd "$appdata" 2>/dev/null && ls -A)"
ps_expect_file "applied: the work directory's PORT.KAV as shipped" "$E2E_ARTEFACTS/PORT.KAV.shipped" "$E2E_WORK/PORT.KAV"
e2e_expect_eq "applied: no other preset file in the work directory" PORT.KAV "$(work_listing)"
drv dlg-click 2
drv dlg-gone 5000 || e2e_fail "Cancel hides the dialog"
drv close
e2e_wait_exit "$kavo"
e2e_expect_eq "first start: exit code" 0 "$E2E_EXIT"
ps_expect_file "after exit: AppData's PORT.KAV as applied" "$KAVO_WINE_TMP/expected-1.kav" "$appdata/PORT.KAV"
cp "$appdata/PORT.KAV" "$E2E_ARTEFACTS/PORT.KAV.appdata-1" 2>/dev/null

# ---- second start: both presets are back; with the work directory writable again,
# a later Apply still goes to AppData ----
e2e_launch
kavo=$E2E_LAST_PID
drv wait-window 30000 || e2e_fail "hidden window KAVO2.0 exists"
e2e_expect_eq "restarted: both presets back" \
    "$(printf 'presets=2\npreset=A|1,0,0,0|0,1,1,0\npreset=Saved|1,0,1,2|1,1,0,0')" \
    "$(drv dlg-settings | grep '^preset')"
ps_open
e2e_expect_eq "restarted: the dialog's list" "$(printf 'dialog=1\nentry=0 A\nentry=1 Saved')" "$(drv dlg-names)"
ps_shot restarted
chmod u+w "$E2E_WORK"
drv dlg-name A
drv dlg-click 1019
drv dlg-name Saved
drv dlg-click 3
ps_make_table "$KAVO_WINE_TMP/expected-2.kav" "Saved|1,0,1,2|1,1,0,0"
ps_expect_file "applied again: AppData's PORT.KAV" "$KAVO_WINE_TMP/expected-2.kav" "$appdata/PORT.KAV"
ps_expect_file "applied again: the work directory's PORT.KAV as shipped" "$E2E_ARTEFACTS/PORT.KAV.shipped" "$E2E_WORK/PORT.KAV"
e2e_expect_eq "applied again: no other preset file in the work directory" PORT.KAV "$(work_listing)"
drv dlg-click 2
drv dlg-gone 5000 || e2e_fail "Cancel hides the dialog"
drv close
e2e_wait_exit "$kavo"
e2e_expect_eq "second start: exit code" 0 "$E2E_EXIT"
cp "$appdata/PORT.KAV" "$E2E_ARTEFACTS/PORT.KAV.appdata-2" 2>/dev/null
e2e_end
