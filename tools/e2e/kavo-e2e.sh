# Helpers for the end-to-end tests of Kavo2.exe, sourced by tests/e2e/*.sh:
#
#   source tools/e2e/kavo-e2e.sh
#   e2e_begin NAME KAVO2_EXE DRIVER_EXE ARTEFACT_ROOT   # fresh prefix + Xvfb, work dir
#   e2e_seed_registry FILE.reg                          # values before the first start
#   e2e_seed_routes NAME ROUTE1 [ROUTE2]                # the same for "Name" and routes
#   e2e_launch [ARGS...]                                # Kavo2.exe in the background
#   drv COMMAND ...                                     # kavo_driver.exe
#   e2e_expect_eq WHAT EXPECTED ACTUAL                  # one check, reported
#   e2e_expect_exit WHAT                                # E2E_EXIT of a closed program
#   e2e_device_name NAME                                # a device's name as listed
#   e2e_end                                             # summary; exit status
#
# Every test runs in its own prefix (tools/wine/wine-env.sh): ja_JP.UTF-8, a Japanese
# font, its own Xvfb and wineserver, all ended by process id. The program's working
# directory is $E2E_WORK, which also holds the copy of Kavo2.exe that runs ($E2E_KAVO):
# PORT.KAV is read and written there.
#
# Two device layers. By default Kavo2.exe runs on its in-process virtual devices
# (KAVO_VIRTUAL_MIDI) and drv's feed, sysex, dump, clear and the state's open counts
# go through its test channel. With KAVO_E2E_PATH=system it runs on its winmm backend,
# on Wine's MIDI devices over the loopback sequencer KAVO_E2E_LOOPBACK
# (tests/loopback/README.md; a test without that library is skipped with status 77):
# the same device list (E2E_DEVICES, models ignored) becomes the loopback's ports,
# the program answers its test channel because of KAVO_TEST_CONTROL=1, and those drv
# commands and the open counts go to the loopback's feed, record and state files
# instead, in the same formats.

E2E_HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../wine/wine-env.sh
source "$E2E_HERE/../wine/wine-env.sh"

E2E_PASSED=0
E2E_FAILED=0
E2E_PIDS=()

e2e_log() { printf '%s: %s\n' "${E2E_NAME:-e2e}" "$*"; }

e2e_cleanup() {
    local pid
    for pid in "${E2E_PIDS[@]}"; do
        kill "$pid" 2>/dev/null
    done
    kavo_wine_teardown
    # A script's own temporary files (e2e_begin takes over the EXIT trap).
    [ -n "${E2E_TEMP+set}" ] && rm -rf "${E2E_TEMP[@]}"
}

e2e_system_path() { [ "${KAVO_E2E_PATH:-}" = system ]; }

# The names of one section ("in" or "out") of a device list "in=A,B;out=C,D;model=M",
# comma-separated, each without an "@model" suffix.
e2e_device_section() {
    local part names=
    IFS=';' read -ra parts <<<"$1"
    for part in "${parts[@]}"; do
        [ "${part%%=*}" = "$2" ] || continue
        IFS=',' read -ra items <<<"${part#*=}"
        local item
        for item in "${items[@]}"; do names+=${names:+,}${item%%@*}; done
    done
    printf '%s\n' "$names"
}

# Configures the loopback's devices and files for the system path (after the prefix
# is set up, so that its files live in the run's own directory).
e2e_use_loopback() {
    local devices=${E2E_DEVICES:-in=Keys A,Keys B;out=Synth A,Synth B} dir=$KAVO_WINE_TMP/loopback
    mkdir -p "$dir"
    export KAVO_LOOPBACK_CLIENT=Loopback
    KAVO_LOOPBACK_IN=$(e2e_device_section "$devices" in)
    KAVO_LOOPBACK_OUT=$(e2e_device_section "$devices" out)
    export KAVO_LOOPBACK_IN KAVO_LOOPBACK_OUT
    export KAVO_LOOPBACK_FEED=$dir/feed KAVO_LOOPBACK_RECORD=$dir/record KAVO_LOOPBACK_STATE=$dir/state
    : >"$KAVO_LOOPBACK_RECORD"
    export KAVO_TEST_CONTROL=1
    unset KAVO_VIRTUAL_MIDI
    E2E_LOOPBACK_DIR=$dir
}

e2e_begin() {
    E2E_NAME=$1
    E2E_KAVO=$(readlink -f "$2")
    E2E_DRIVER=$(readlink -f "$3")
    E2E_ARTEFACTS=$4/$1${KAVO_E2E_SUFFIX:-}
    rm -rf "$E2E_ARTEFACTS"
    mkdir -p "$E2E_ARTEFACTS"
    if [ ! -f "$E2E_KAVO" ] || [ ! -f "$E2E_DRIVER" ]; then
        e2e_log "missing program: $E2E_KAVO or $E2E_DRIVER"
        exit 1
    fi
    if e2e_system_path; then
        if [ -z "${KAVO_E2E_LOOPBACK:-}" ] || [ ! -f "$KAVO_E2E_LOOPBACK" ]; then
            e2e_log "skipped: no loopback sequencer at '${KAVO_E2E_LOOPBACK:-}' for the system path" \
                "(the host build makes it: cmake --build build/host --target kavo_loopback_seq; it needs libasound2-dev)"
            exit 77
        fi
        export KAVO_WINE_LOOPBACK=$KAVO_E2E_LOOPBACK
    else
        unset KAVO_WINE_LOOPBACK
    fi
    trap e2e_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    kavo_wine_setup || { e2e_log "no Wine session could be set up"; exit 1; }
    E2E_WORK=$KAVO_WINE_TMP/work
    mkdir -p "$E2E_WORK"
    # The program keeps its presets beside itself: each run starts its own copy, from
    # the work directory as Explorer starts it from its folder, so that no run reads or
    # writes presets in the build directory.
    cp "$E2E_KAVO" "$E2E_WORK/" || { e2e_log "cannot copy $E2E_KAVO"; exit 1; }
    E2E_KAVO=$E2E_WORK/$(basename "$E2E_KAVO")
    if e2e_system_path; then
        e2e_use_loopback
        E2E_PRELOAD=("LD_PRELOAD=$KAVO_WINE_LOOPBACK_LIB${LD_PRELOAD:+:$LD_PRELOAD}")
        e2e_log "system path: winmm on the loopback's devices in=$KAVO_LOOPBACK_IN out=$KAVO_LOOPBACK_OUT"
    else
        # Two virtual inputs and two virtual outputs, named as a person would see them.
        export KAVO_VIRTUAL_MIDI=${E2E_DEVICES:-in=Keys A,Keys B;out=Synth A,Synth B}
    fi
    e2e_log "prefix $WINEPREFIX, display $DISPLAY, artefacts $E2E_ARTEFACTS"
}

# Runs a Windows program of the prefix, with a time limit of its own so that one
# hung call cannot hold the whole test.
# On the system path every Windows program gets the loopback sequencer preloaded (only
# a program that opens the sequencer uses it).
# (E2E_PRELOAD is set by e2e_begin: empty, or LD_PRELOAD=... for env).
E2E_PRELOAD=()
e2e_wine() { timeout --kill-after=5 60 env "${E2E_PRELOAD[@]}" "$KAVO_WINE_LOADER" "$@"; }

drv() {
    if e2e_system_path; then
        case ${1:-} in
        feed | sysex | dump | dump-timed | wait-dump | clear | state)
            e2e_loopback "$@"
            return
            ;;
        esac
    fi
    e2e_wine "$E2E_DRIVER" "$@"
    local rc=$?
    # The driver's wait answers 0, or 1 with the reason on stderr. Anything else is the
    # driver not getting that far under Wine (seen once, silently, with the runs side by
    # side and this one's prefix just starting): the question was never asked, so ask
    # once more, saying so.
    if [ "${1:-}" = wait-window ] && [ "$rc" -gt 1 ]; then
        e2e_log "kavo_driver wait-window ended with $rc before waiting; once more"
        e2e_wine "$E2E_DRIVER" "$@"
        rc=$?
    fi
    return $rc
}

# ---- drv's device commands on the loopback (system path) ------------------------------

E2E_LOOPBACK_TOOL=$E2E_HERE/../../tests/loopback/kavo-loopback.sh

# The record's lines for output $1 since its last clear, as "<us> <HEX BYTES>".
e2e_loopback_lines() {
    local mark=0
    [ -f "$E2E_LOOPBACK_DIR/clear-$1" ] && mark=$(cat "$E2E_LOOPBACK_DIR/clear-$1")
    tail -c +"$((mark + 1))" "$KAVO_LOOPBACK_RECORD" | awk -v out="$1" '$2 == out { $2 = ""; sub(/  /, " "); print }'
}

# The lines in drv dump's format: "S 00403C90" for a short message (its packed value),
# "L F07E7F0901F7" for an exclusive one; with $2 = timed, each led by its time on the
# driver's clock (drv now, the performance counter, which Wine reads from
# CLOCK_MONOTONIC_RAW): the record's CLOCK_MONOTONIC moved by the offset between the
# two, read in one go (they drift apart by a fraction of a second an hour).
e2e_loopback_dump() {
    local offset=0
    [ "${2:-}" = timed ] && offset=$(python3 -c 'import time
print((time.clock_gettime_ns(time.CLOCK_MONOTONIC_RAW) - time.monotonic_ns()) // 1000)')
    e2e_loopback_lines "$1" | awk -v timed="${2:-}" -v offset="$offset" -v hex=0123456789ABCDEF '
        { lead = timed == "timed" ? sprintf("%.0f ", $1 + offset) : "" }
        $2 == "?" { print lead "? " $3; next }
        $2 == "F0" { s = ""; for (i = 2; i <= NF; i++) s = s $i; print lead "L " s; next }
        { v = 0; for (i = NF; i >= 2; i--) v = v * 256 + (index(hex, substr($i, 1, 1)) - 1) * 16 + index(hex, substr($i, 2, 1)) - 1
          printf "%sS %08X\n", lead, v }'
}

# The open counts from the loopback's state file; before any device was opened it has
# none, and every count is 0.
e2e_loopback_counts() {
    local key=$1 names=$2 line
    line=$(sed -n "s/^$key=//p" "$KAVO_LOOPBACK_STATE" 2>/dev/null)
    if [ -z "$line" ] && [ -n "$names" ]; then
        line=$(awk -F, '{ for (i = 1; i <= NF; i++) printf "%s0", (i > 1 ? "," : "") }' <<<"$names")
    fi
    printf '%s\n' "$line"
}

e2e_loopback() {
    local cmd=$1 hex status n i bytes deadline
    shift
    case $cmd in
    feed)
        # A packed short message: status in the low byte, as many data bytes as it has.
        hex=$(printf '%08X' $((16#$2)))
        status=$((16#${hex:6:2}))
        ((status >= 0x80)) || { e2e_log "feed $2: no status byte"; return 1; }
        if ((status >= 0xF8 || status == 0xF6)); then
            n=1
        elif (((status & 0xE0) == 0xC0 || status == 0xF1 || status == 0xF3)); then
            n=2
        else
            n=3
        fi
        bytes=
        for ((i = 0; i < n; i++)); do bytes+=" ${hex:$((6 - 2 * i)):2}"; done
        # A data byte of 80 or more would be a status byte on the cable: such a message
        # cannot come from a device, and fed it would turn into another one.
        for ((i = 1; i < n; i++)); do
            if ((16#${hex:$((6 - 2 * i)):2} >= 0x80)); then
                e2e_log "feed $2: data byte ${hex:$((6 - 2 * i)):2} is no data byte on a MIDI cable"
                return 1
            fi
        done
        bash "$E2E_LOOPBACK_TOOL" feed "$1" $bytes
        ;;
    sysex) bash "$E2E_LOOPBACK_TOOL" feed "$1" "$2" ;;
    dump) e2e_loopback_dump "$1" ;;
    dump-timed) e2e_loopback_dump "$1" timed ;;
    wait-dump)
        deadline=$((${3:-10000} / 20))
        for ((i = 0; ; i++)); do
            n=$(e2e_loopback_lines "$1" | wc -l)
            if [ "$n" -ge "$2" ] || [ "$i" -ge "$deadline" ]; then
                e2e_loopback_dump "$1"
                [ "$n" -ge "$2" ]
                return
            fi
            sleep 0.02
        done
        ;;
    clear) stat -c %s "$KAVO_LOOPBACK_RECORD" >"$E2E_LOOPBACK_DIR/clear-$1" ;;
    state)
        # The program's own answer (no open counts on winmm), then the loopback's.
        e2e_wine "$E2E_DRIVER" state || return
        printf 'inOpen=%s\noutOpen=%s\n' "$(e2e_loopback_counts in "$KAVO_LOOPBACK_IN")" \
            "$(e2e_loopback_counts out "$KAVO_LOOPBACK_OUT")"
        ;;
    esac
}

# A device's name as the program lists it: the name itself on the virtual devices;
# on the system path Wine's "<client> - <port>" while that fits in 31 bytes, else the
# port name alone cut to 31 bytes.
e2e_device_name() {
    if ! e2e_system_path; then
        printf '%s\n' "$1"
        return
    fi
    local long="$KAVO_LOOPBACK_CLIENT - $1"
    if [ "$(LC_ALL=C; printf '%s' "$long" | wc -c)" -le 31 ]; then
        printf '%s\n' "$long"
    else
        printf '%s' "$1" | head -c 31
        echo
    fi
}

# The exit status of a program closed with its close command (E2E_EXIT, from
# e2e_wait_exit) is 0. On the system path Wine 8's MIDI notification thread often
# crashes as the process exits once a MIDI device was open (the loader then ends on
# a signal, status 129 and up): that counts only when the program's own work is
# visibly done, its window gone, and is reported as such.
e2e_expect_exit() {
    if [ "$E2E_EXIT" = 0 ]; then
        e2e_pass "$1"
    elif e2e_system_path && [ "$E2E_EXIT" -gt 128 ] && drv wait-gone 1000 2>/dev/null; then
        e2e_pass "$1 (Wine's crash at exit, status $E2E_EXIT, after the window was gone)"
    else
        e2e_fail "$1" "expected: [0]" "actual:   [$E2E_EXIT]"
    fi
}

e2e_seed_registry() {
    e2e_wine regedit /S "$(winepath_of "$1")" || { e2e_log "regedit failed on $1"; return 1; }
}

# The registry of a program set up before its first start: the main key with "Name"
# NAME, then per route "E,I,O" or "E,I,O,INIT" (Enabled, MIDIIn, MIDIOut and, when
# given, Init; numbers as the shell reads them: 1, 0x7fffffff), or "-" for a route
# with no key at all.
e2e_seed_routes() {
    local name=$1 file=$KAVO_WINE_TMP/seed-routes.reg r=0 route e i o init
    shift
    {
        printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ombrix\\Kavo2]\n"Name"="%s"\n' "$name"
        for route in "$@"; do
            r=$((r + 1))
            [ "$route" = - ] && continue
            IFS=, read -r e i o init <<<"$route"
            printf '\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ombrix\\Kavo2\\Port%d]\n' "$r"
            printf '"Enabled"=dword:%08x\n"MIDIIn"=dword:%08x\n"MIDIOut"=dword:%08x\n' $((e)) $((i)) $((o))
            [ -n "$init" ] && printf '"Init"=dword:%08x\n' $((init))
        done
    } >"$file"
    e2e_seed_registry "$file"
}

# The Windows path of a Unix file (Wine maps / to Z:).
winepath_of() { printf 'Z:%s\n' "$(readlink -f "$1" | tr '/' '\\')"; }

# Starts Kavo2.exe from the work directory (or from E2E_START_DIR when set, as a
# shortcut's "Start in" or the Run key's system folder would); E2E_LAST_PID is its
# loader's pid.
e2e_launch() {
    (cd "${E2E_START_DIR:-$E2E_WORK}" && exec timeout --kill-after=5 300 env "${E2E_PRELOAD[@]}" "$KAVO_WINE_LOADER" "$E2E_KAVO" "$@") \
        >>"$E2E_ARTEFACTS/kavo2.log" 2>&1 &
    E2E_LAST_PID=$!
    E2E_PIDS+=("$E2E_LAST_PID")
}

# Waits for a launched program to end and sets E2E_EXIT to its exit code (124 when
# it was still running at its time limit). Not in a subshell: only this shell can
# wait for its own children.
e2e_wait_exit() {
    wait "$1"
    E2E_EXIT=$?
}

e2e_screenshot() {
    import -silent -window root -display "$DISPLAY" "$E2E_ARTEFACTS/$1.png" 2>/dev/null ||
        e2e_log "screenshot $1 failed"
}

# The notification area: Wine draws it as a small window at the top left of a
# desktop without a task bar. Kept four times enlarged, next to the whole screen.
e2e_screenshot_tray() {
    e2e_screenshot "$1"
    if [ -f "$E2E_ARTEFACTS/$1.png" ]; then
        /usr/bin/convert "$E2E_ARTEFACTS/$1.png" -crop 200x48+0+0 +repage -filter point -resize 400% \
            "$E2E_ARTEFACTS/$1-tray.png" 2>/dev/null
    fi
}

e2e_pass() {
    E2E_PASSED=$((E2E_PASSED + 1))
    printf 'ok - %s\n' "$1"
}

e2e_fail() {
    E2E_FAILED=$((E2E_FAILED + 1))
    printf 'not ok - %s\n' "$1"
    shift
    local line
    for line in "$@"; do printf '#   %s\n' "$line"; done
}

e2e_expect_eq() {
    if [ "$2" == "$3" ]; then
        e2e_pass "$1"
    else
        local expected actual
        expected=$(printf '%s' "$2" | sed '2,$s/^/#             /')
        actual=$(printf '%s' "$3" | sed '2,$s/^/#             /')
        e2e_fail "$1" "expected: [$expected]" "actual:   [$actual]"
    fi
}

# One key=value line of the program's state (drv state).
state_value() { printf '%s\n' "$1" | sed -n "s/^$2=//p"; }

# e2e_wait_state WHAT KEY=VALUE SECONDS: the state comes to hold KEY=VALUE in time.
e2e_wait_state() {
    local what=$1 key=${2%%=*} want=${2#*=} deadline=$((SECONDS + $3)) got
    while :; do
        got=$(state_value "$(drv state)" "$key")
        [ "$got" = "$want" ] && { e2e_pass "$what"; return 0; }
        [ $SECONDS -ge $deadline ] && { e2e_fail "$what" "$key=$got, expected $want"; return 1; }
        sleep 0.2
    done
}

# Checks every key=value given against one state query.
e2e_expect_state() {
    local what=$1 state kv key
    shift
    state=$(drv state) || { e2e_fail "$what: state query" "kavo_driver state failed"; return; }
    printf '%s\n' "$state" >"$E2E_ARTEFACTS/state-$(printf '%s' "$what" | tr -c 'A-Za-z0-9' '_').txt"
    for kv in "$@"; do
        key=${kv%%=*}
        e2e_expect_eq "$what: $key" "${kv#*=}" "$(state_value "$state" "$key")"
    done
}

# One registry value as "TYPE DATA" (wine reg query), or "missing".
reg_value() {
    # Wine's reg.exe now and then prints nothing for a value that is there (seen once
    # in a few hundred reads on a loaded machine), so "missing" is only believed when
    # three reads agree; a value that exists is read once.
    local out try
    for try in 1 2 3; do
        out=$(e2e_wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | awk -v n="$2" '
            { line = $0; sub(/^ +/, "", line) }
            index(line, n "    ") == 1 { rest = substr(line, length(n) + 5); sub(/ +$/, "", rest);
                                           split(rest, p, "    "); print (p[2] == "" ? p[1] : p[1] " " p[2]); found = 1 }
            END { if (!found) print "missing" }')
        [ "$out" != missing ] && break
        sleep 0.2
    done
    printf '%s\n' "$out"
}

# A text value as "REG_SZ TEXT" in UTF-8, or "missing": read with the wide calls, so
# that a prefix of any code page gives the same text (reg.exe prints in the prefix's).
reg_text() { drv reg-text "$1" "$2"; }

# A preset file of two presets, "A" (route 1 from input 0 to output 1, route 2 off
# and unassigned) and "B" (both routes off, all devices 0), laid out byte for byte.
e2e_make_two_presets() {
    local f=$1
    head -c 1120 /dev/zero >"$f"
    e2e_put_bytes() { printf "$2" | dd of="$f" bs=1 seek="$1" conv=notrunc status=none; }
    e2e_put_bytes 0 'KAVO2.00'
    e2e_put_bytes 12 '\x02'
    e2e_put_bytes 16 'A'
    e2e_put_bytes 53 'B'
    e2e_put_bytes 608 '\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00'
    e2e_put_bytes 624 '\x00\x00\x00\x00\xff\xff\xff\x7f\xff\xff\xff\x7f\x00\x00\x00\x00'
}

e2e_end() {
    printf '%d passed, %d failed\n' "$E2E_PASSED" "$E2E_FAILED"
    [ "$E2E_FAILED" -eq 0 ] && [ "$E2E_PASSED" -gt 0 ]
}

# Registry contents of an installed program: both routes configured (input r to
# output r), the preset "Live" active, transpose on for route 2 (Port 1) by one
# octave, a hand-set "Time Out" and "Init" values, which the program never writes.
e2e_write_configured_reg() {
    cat >"$1" <<'REG'
REGEDIT4

[HKEY_LOCAL_MACHINE\SOFTWARE\Ombrix\Kavo2]
"Name"="Live"
"Time Out"=dword:00000002

[HKEY_LOCAL_MACHINE\SOFTWARE\Ombrix\Kavo2\Port1]
"Enabled"=dword:00000001
"MIDIIn"=dword:00000000
"MIDIOut"=dword:00000000
"Init"=dword:00000007

[HKEY_LOCAL_MACHINE\SOFTWARE\Ombrix\Kavo2\Port2]
"Enabled"=dword:00000005
"MIDIIn"=dword:00000001
"MIDIOut"=dword:00000001

[HKEY_LOCAL_MACHINE\SOFTWARE\Ombrix\Kavo2\Controller]
"Port"=dword:00000001
"TransPose"=dword:${E2E_TRANSPOSE:-00000000}
"tOctave"=dword:00000065
"VelConvertion"=dword:00000000
REG
    # The heredoc is quoted (the backslashes are the registry's); fill in the one switch.
    sed -i "s/\${E2E_TRANSPOSE:-00000000}/${E2E_TRANSPOSE:-00000000}/" "$1"
}
