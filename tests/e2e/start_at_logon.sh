#!/bin/bash
# The tray menu's "ログオン時に起動(&L)" item and the user's Run value "Kavo2": chosen
# with its accelerator it stores the program's full path in quotes, and chosen again it
# removes the value; its check mark follows the registry as it is when the menu opens.
# A value that names another copy (or is no text) shows unchecked, and choosing the
# item makes it start this copy; one naming this copy by hand (no quotes, other letter
# case, an argument) shows checked and is removed. Other programs' Run values are left
# alone, and closing the program leaves the value as the user set it. Values are read
# back with the wide registry calls.
#   start_at_logon.sh KAVO2_EXE DRIVER_EXE ARTEFACT_ROOT
set -u
here=$(dirname "${BASH_SOURCE[0]}")
source "$here/../../tools/e2e/kavo-e2e.sh"
source "$here/menu_lib.sh"
e2e_begin start_at_logon "$1" "$2" "$3"

run='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
self=$(winepath_of "$E2E_KAVO")
unchecked='32775 - ログオン時に起動(&L)'
checked='32775 x ログオン時に起動(&L)'

# The menu's start-at-logon line, with the whole menu kept as NAME.txt; the menu closes.
logon_item() {
    local items
    items=$(drv menu 10000) || { echo "no menu"; return; }
    printf '%s\n' "$items" >"$E2E_ARTEFACTS/$1.txt"
    grep '^32775 ' <<<"$items"
    drv menu-key ESC
    drv menu-gone 5000 || e2e_fail "$1: Esc closes the menu"
}

# Chooses the item from the open menu with its accelerator, then waits (up to 10 s)
# until the Run value reads EXPECTED, and checks it.
choose_logon_item() {
    local what=$1 expected=$2 i
    drv menu 10000 >/dev/null || { e2e_fail "$what: the menu opens"; return; }
    menu_choose "$what" L
    for ((i = 0; i < 100; i++)); do
        [ "$(reg_text "$run" Kavo2)" == "$expected" ] && break
        sleep 0.1
    done
    e2e_expect_eq "$what: the Run value" "$expected" "$(reg_text "$run" Kavo2)"
}

menu_seed_registry ""
drv reg-set "$run" Other sz 'C:\Tools\other.exe /tray' || e2e_fail "another program's Run value seeded"
menu_start

# ---- off, on, off --------------------------------------------------------------------
e2e_expect_eq "fresh: no Run value" missing "$(reg_text "$run" Kavo2)"
menu_expect "fresh: the item above the close command, unchecked" "$MENU_RUNNING
$MENU_TAIL" menu-fresh
e2e_screenshot menu-fresh
choose_logon_item "checked" "REG_SZ \"$self\""
e2e_expect_eq "checked: the menu shows it" "$checked" "$(logon_item menu-checked)"
choose_logon_item "unchecked again" missing
e2e_expect_eq "unchecked again: the menu shows it" "$unchecked" "$(logon_item menu-unchecked)"

# ---- values the user or another copy left -----------------------------------------------
drv reg-set "$run" Kavo2 sz '"C:\Other Copy\Kavo2.exe" -DISABLE'
e2e_expect_eq "another copy's value: unchecked" "$unchecked" "$(logon_item other-copy)"
choose_logon_item "another copy's value: taken over" "REG_SZ \"$self\""

upper=$(printf '%s' "$self" | tr 'a-z' 'A-Z')
drv reg-set "$run" Kavo2 sz "$upper -DISABLE"
e2e_expect_eq "this copy by hand, unquoted, upper case, an argument: checked" "$checked" "$(logon_item by-hand)"
choose_logon_item "by hand: removed" missing

drv reg-set "$run" Kavo2 dword 1
e2e_expect_eq "a number under the name: unchecked" "$unchecked" "$(logon_item number)"
choose_logon_item "a number under the name: replaced" "REG_SZ \"$self\""

# The command as any sender gives it, not only the menu: it toggles the same way.
drv command 32775
for ((i = 0; i < 100; i++)); do [ "$(reg_text "$run" Kavo2)" == missing ] && break; sleep 0.1; done
e2e_expect_eq "command 32775: removed" missing "$(reg_text "$run" Kavo2)"
choose_logon_item "checked before closing" "REG_SZ \"$self\""

menu_stop "closed"
e2e_expect_eq "after closing: the Run value stays" "REG_SZ \"$self\"" "$(reg_text "$run" Kavo2)"
e2e_expect_eq "another program's Run value untouched" 'REG_SZ C:\Tools\other.exe /tray' "$(reg_text "$run" Other)"
e2e_expect_eq "nothing under HKEY_LOCAL_MACHINE's Run" missing \
    "$(reg_text 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' Kavo2)"
e2e_end
