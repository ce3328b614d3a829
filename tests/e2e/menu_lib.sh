# Helpers of the tray menu's end-to-end tests (menu_*.sh), sourced after
# tools/e2e/kavo-e2e.sh.

# Registry of an installed program with Name $1 (may be empty): route 1 from input 0
# to output 0, route 2 from input 1 to output 1 when $2 is "two" (else route 2 off
# and unassigned).
menu_seed_registry() {
    local route2=0,0x7fffffff,0x7fffffff
    [ "${2:-two}" = two ] && route2=1,1,1
    e2e_seed_routes "$1" 1,0,0 "$route2"
}

# A PORT.KAV of the presets given as NAME:EN1,IN1,OUT1:EN2,IN2,OUT2 (a device "-" is
# none), names in UTF-8, stored in code page 932; bytes past the count stay zero.
menu_write_presets() {
    local file=$1
    shift
    python3 - "$file" "$@" <<'PY'
import struct, sys
path, presets = sys.argv[1], sys.argv[2:]
table = bytearray(1120)
table[0:9] = b"KAVO2.00\0"
struct.pack_into("<i", table, 12, len(presets))
for k, preset in enumerate(presets):
    name, r1, r2 = preset.rsplit(":", 2)
    raw = name.encode("cp932")
    assert len(raw) <= 36, name
    table[16 + 37 * k:16 + 37 * k + len(raw)] = raw
    for r, route in enumerate((r1, r2)):
        en, i, o = (0x7FFFFFFF if v == "-" else int(v) for v in route.split(","))
        struct.pack_into("<4i", table, 608 + 32 * k + 16 * r, en, i, o, 0)
open(path, "wb").write(table)
PY
}

# Opens the menu from the icon and checks its items against EXPECTED (one line per
# item as kavo_driver prints them); keeps a screenshot NAME.png, the menu enlarged as
# NAME-menu.png and the items as NAME.txt. The menu stays open.
menu_open_expect() {
    local what=$1 expected=$2 shot=$3 items rect x y w h
    if ! items=$(drv menu 10000); then
        e2e_fail "$what: the menu opens"
        return 1
    fi
    e2e_screenshot "$shot"
    printf '%s\n' "$items" >"$E2E_ARTEFACTS/$shot.txt"
    if rect=$(drv menu-rect) && [ -f "$E2E_ARTEFACTS/$shot.png" ]; then
        read -r x y w h <<<"$rect"
        /usr/bin/convert "$E2E_ARTEFACTS/$shot.png" -crop "$((w + 8))x$((h + 8))+$((x - 4))+$((y - 4))" +repage \
            -filter point -resize 200% "$E2E_ARTEFACTS/$shot-menu.png" 2>/dev/null
    fi
    e2e_expect_eq "$what" "$expected" "$items"
}

# As menu_open_expect, then closes the menu with Esc.
menu_expect() {
    menu_open_expect "$@" || return 1
    drv menu-key ESC
    if drv menu-gone 5000; then e2e_pass "$1: Esc closes the menu"; else e2e_fail "$1: Esc closes the menu"; fi
}

# Keys to the open menu that end it by choosing an item; waits until it is gone.
menu_choose() {
    local what=$1
    shift
    drv menu-key "$@" || { e2e_fail "$what: keys reach the menu"; return 1; }
    if drv menu-gone 5000; then e2e_pass "$what: the menu closes"; else e2e_fail "$what: the menu closes"; fi
}

# A command chosen in the menu reaches the window as a posted message, after the menu
# has gone: waits (up to 10 s) until the state shows KEY=VALUE, then checks every
# KEY=VALUE given as e2e_expect_state does.
menu_expect_state() {
    local what=$1 first=$2 i state
    for ((i = 0; i < 100; i++)); do
        state=$(drv state 2>/dev/null)
        [ "$(state_value "$state" "${first%%=*}")" == "${first#*=}" ] && break
        sleep 0.1
    done
    shift
    e2e_expect_state "$what" "$@"
}

# Starts Kavo2.exe with ARGS and waits for its window; E2E_KAVO_PID is its pid.
menu_start() {
    e2e_launch "$@"
    E2E_KAVO_PID=$E2E_LAST_PID
    if drv wait-window 30000; then e2e_pass "started $*"; else e2e_fail "started $*"; fi
}

# Ends the program with the close command and checks that it ended well.
menu_stop() {
    drv close
    e2e_wait_exit "$E2E_KAVO_PID"
    e2e_expect_exit "$1: exit code"
}

# The items of menu 135 around the preset section, for the expectations (no Run value
# in a fresh prefix: the start-at-logon item unchecked).
MENU_TAIL='---
32773 - MIDI I/Fの設定(&I)...
32772 - MIDI音源ｺﾝﾄﾛｰﾙ(&O)...
32776 - MIDIモニター
---
16 - Kavoのﾊﾞｰｼﾞｮﾝ情報 (&V)...
---
32775 - ログオン時に起動(&L)
32774 - 閉じる(&X)'
MENU_RUNNING='32771 - MIDI KAVOを停止 (&S)'
MENU_STOPPED='32771 - MIDI KAVOを開始 (&S)'
