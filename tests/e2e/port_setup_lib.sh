# Helpers for the end-to-end tests of the port setup dialog, sourced after
# tools/e2e/kavo-e2e.sh and e2e_begin:
#
#   ps_decorate                     Wine draws title bars itself (no window manager
#                                   on Xvfb), so screenshots show the caption
#   ps_open                         the tray menu's "MIDI I/Fの設定(&I)..." command
#   ps_shot NAME [PREFIX]           screenshot: whole screen and the dialog enlarged
#                                   (PREFIX: the driver's dialog, dlg, cp or ab)
#   ps_control ID                   one control's line of drv dlg-state (of drv
#                                   $PS_STATE_COMMAND when set: cp-state, ab-state)
#   ps_expect_control WHAT ID K=V...  checks fields of that line
#   ps_settings KEY                 one line of drv dlg-settings (the program's memory)
#   ps_make_table FILE PRESET...    a PORT.KAV; PRESET is NAME|E,I,O,N|E,I,O,N
#   ps_kav_count FILE / ps_kav_name FILE SLOT / ps_kav_record FILE SLOT
#   ps_expect_file WHAT EXPECTED ACTUAL   byte-exact comparison, hex dumps on failure

PS_DIALOG_ID=32773

ps_decorate() {
    e2e_wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1
}

ps_open() {
    drv command "$PS_DIALOG_ID" || e2e_fail "command $PS_DIALOG_ID sent"
    if drv dlg-wait 20000; then e2e_pass "dialog shown"; else e2e_fail "dialog shown"; fi
}

ps_shot() {
    e2e_screenshot "$1"
    local rect x y w h
    rect=$(drv "${2:-dlg}-rect" 2>/dev/null) || return 0
    read -r x y w h <<<"$rect"
    [ -f "$E2E_ARTEFACTS/$1.png" ] || return 0
    /usr/bin/convert "$E2E_ARTEFACTS/$1.png" -crop "${w}x${h}+${x}+${y}" +repage -filter point -resize 200% \
        "$E2E_ARTEFACTS/$1-dialog.png" 2>/dev/null
}

ps_control() { drv "${PS_STATE_COMMAND:-dlg-state}" | grep "^$1 "; }

# ps_expect_control WHAT ID key=value...: "items" and "text" run to the end of the
# line, so they must come last.
ps_expect_control() {
    local what=$1 id=$2 line kv key want got
    shift 2
    line=$(ps_control "$id")
    printf '%s\n' "$line" >>"$E2E_ARTEFACTS/controls.txt"
    for kv in "$@"; do
        key=${kv%%=*}
        want=${kv#*=}
        case $key in
        items | text) got=$(sed -n "s/^.* $key=//p" <<<"$line") ;;
        *) got=$(sed -n "s/^.* $key=\([^ ]*\).*$/\1/p" <<<"$line") ;;
        esac
        e2e_expect_eq "$what: $id $key" "$want" "$got"
    done
}

ps_settings() { drv dlg-settings | sed -n "s/^$1=//p"; }

# Little-endian 32-bit value as printf escapes.
ps_le32() {
    local v=$1
    ((v < 0)) && v=$((v + 4294967296))
    printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((v & 255)) $(((v >> 8) & 255)) $(((v >> 16) & 255)) $(((v >> 24) & 255))
}

ps_put() { printf "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }

# ps_make_table FILE "NAME|E,I,O,N|E,I,O,N"...: names in code page 932.
ps_make_table() {
    local f=$1 k=0 p name r1 r2 v bytes
    shift
    head -c 1120 /dev/zero >"$f"
    ps_put "$f" 0 'KAVO2.00'
    ps_put "$f" 12 "$(ps_le32 $#)"
    for p in "$@"; do
        IFS='|' read -r name r1 r2 <<<"$p"
        printf '%s' "$name" | iconv -f UTF-8 -t CP932 | dd of="$f" bs=1 seek=$((16 + 37 * k)) conv=notrunc status=none
        bytes=
        for v in ${r1//,/ } ${r2//,/ }; do bytes+=$(ps_le32 "$v"); done
        ps_put "$f" $((608 + 32 * k)) "$bytes"
        k=$((k + 1))
    done
}

ps_kav_count() { od -An -t d4 -j 12 -N 4 "$1" | tr -d ' '; }

ps_kav_name() {
    local n
    dd if="$1" bs=1 skip=$((16 + 37 * $2)) count=37 status=none | { IFS= read -r -d '' n; printf '%s' "$n"; } |
        iconv -f CP932 -t UTF-8
}

# Enabled,MIDIIn,MIDIOut,Init|Enabled,MIDIIn,MIDIOut,Init of a slot's record.
ps_kav_record() {
    od -An -t d4 -j $((608 + 32 * $2)) -N 32 "$1" | tr -s ' \n' ' ' | sed 's/^ //; s/ $//' |
        awk '{ printf "%s,%s,%s,%s|%s,%s,%s,%s\n", $1, $2, $3, $4, $5, $6, $7, $8 }'
}

ps_expect_file() {
    if cmp -s "$2" "$3"; then
        e2e_pass "$1"
    else
        local diff
        diff=$(diff <(od -An -tx1 -v "$2") <(od -An -tx1 -v "$3") | head -20)
        e2e_fail "$1" "files differ: $2 $3" "$diff"
    fi
}

# A registry value as text, whatever its code page.
ps_reg_text() { reg_text "$1" "$2"; }
