# Helpers for the end-to-end tests of the control panel, sourced after
# tools/e2e/kavo-e2e.sh, e2e_begin and tests/e2e/port_setup_lib.sh:
#
#   cp_unmanaged                    Xvfb has no window manager: Wine then waits up to
#                                   2 s in every hide of a managed window for one to
#                                   answer; unmanaged windows hide at once, as on Windows
#   cp_seed_two_routes              registry: route r from input r to output r, Port 0,
#                                   the controller values at their defaults
#   cp_open [WHAT]                  the tray menu's "MIDI音源ｺﾝﾄﾛｰﾙ(&O)..." command
#   cp_expect WHAT ID K=V...        fields of one line of drv cp-state
#   cp_expect_setting WHAT K=V...   values of the settings in the program's memory
#   cp_shot NAME                    screenshot: whole screen and the panel enlarged
#   cp_clear                        forget what both outputs received
#   cp_sweeps N                     N sweeps (All Sound Off on 16 channels), as lines
#   cp_expect_outputs WHAT OUT0 OUT1  what each output received since the last clear

CP_PANEL_ID=32772
CP_ABOUT_ID=16
CP_CAPTION='Kavo2 - MIDI音源ｺﾝﾄﾛｰﾙ'

cp_unmanaged() {
    e2e_wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
}

cp_seed_two_routes() { e2e_seed_routes "" 1,0,0 1,1,1; }

cp_open() {
    drv command "$CP_PANEL_ID" || e2e_fail "${1:-panel}: command $CP_PANEL_ID sent"
    if drv cp-wait 20000; then e2e_pass "${1:-panel}: shown"; else e2e_fail "${1:-panel}: shown"; fi
}

cp_expect() { PS_STATE_COMMAND=cp-state ps_expect_control "$@"; }

cp_expect_setting() {
    local what=$1 settings kv key
    shift
    settings=$(drv cp-settings) || { e2e_fail "$what: settings query"; return; }
    for kv in "$@"; do
        key=${kv%%=*}
        e2e_expect_eq "$what: $key" "${kv#*=}" "$(sed -n "s/^$key=//p" <<<"$settings")"
    done
}

cp_shot() { ps_shot "$1" cp; }

cp_clear() { drv clear 0 && drv clear 1; }

cp_sweeps() {
    local n ch
    for ((n = 0; n < $1; n++)); do
        for ch in 0 1 2 3 4 5 6 7 8 9 A B C D E F; do printf 'S 000078B%s\n' "$ch"; done
    done
}

cp_expect_outputs() {
    e2e_expect_eq "$1: output 1" "$2" "$(drv dump 0)"
    e2e_expect_eq "$1: output 2" "$3" "$(drv dump 1)"
}
