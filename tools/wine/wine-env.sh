# Helpers for running Windows programs under Wine, sourced by the other scripts here
# and by end-to-end tests:
#
#   source tools/wine/wine-env.sh
#   kavo_wine_setup || exit 1        # own Xvfb + fresh prefix; exports DISPLAY, WINEPREFIX
#   trap kavo_wine_teardown EXIT
#   kavo_wine_run prog.exe args...   # returns the program's exit code
#
# Every run gets its own temporary directory (KAVO_WINE_TMP) holding the prefix, a
# HOME of its own and the Xvfb log, its own X display and its own wineserver. Nothing
# is ever ended by name: other Wine runs may be going on at the same time.
#
# Making a prefix with `wineboot -i` takes about ten seconds, most of it spent
# installing and registering the built-in DLLs. The first run therefore makes one
# initialised prefix (the template, kept in the temporary directory root, one per user,
# Wine version and locale) and every run copies it: the few hundred DLL and EXE files
# under drive_c/windows are hard links into the template, everything else (registry
# files, user folders) is a real copy. Hazard: a program that rewrote a system DLL in
# place would change the template for later runs; nothing we run does that.
# KAVO_WINE_NO_TEMPLATE=1 makes every run boot its own prefix from scratch.
#
# KAVO_WINE_LOOPBACK=path/to/kavo_loopback_seq.so (built by the host build in
# tests/loopback/) gives the run MIDI devices: the prefix's audio driver is set to ALSA
# and every program started by kavo_wine_run gets the library preloaded, which stands
# in for the ALSA sequencer. The devices and their feed and record files come from the
# KAVO_LOOPBACK_* variables (tests/loopback/README.md). Unset, runs are as before.

KAVO_WINE_LOCALE=${KAVO_WINE_LOCALE:-ja_JP.UTF-8}

kavo_wine_log() { printf 'wine-env: %s\n' "$*" >&2; }

# The 64-bit loader: Debian 12 keeps it in /usr/lib/wine, newer Wine puts `wine` itself
# on PATH as the 64-bit loader.
kavo_wine_find_loader() {
    local c
    for c in "$(command -v wine64 2>/dev/null)" /usr/lib/wine/wine64 /usr/bin/wine64 "$(command -v wine 2>/dev/null)"; do
        if [ -n "$c" ] && [ -x "$c" ]; then
            printf '%s\n' "$c"
            return 0
        fi
    done
    kavo_wine_log "no wine64 loader found (install the packages wine and wine64)"
    return 1
}

kavo_wine_find_server() {
    local c
    for c in "$(command -v wineserver 2>/dev/null)" /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver; do
        if [ -n "$c" ] && [ -x "$c" ]; then
            printf '%s\n' "$c"
            return 0
        fi
    done
    kavo_wine_log "no wineserver found"
    return 1
}

# Wine takes its code page from the locale the prefix is made under: without
# ja_JP.UTF-8 the prefix gets code page 1252 and Japanese text turns into boxes.
kavo_wine_ensure_locale() {
    local want=${KAVO_WINE_LOCALE%%.*}   # ja_JP
    if locale -a 2>/dev/null | grep -qix "${want}\.utf-\?8"; then
        return 0
    fi
    if [ "$(id -u)" != 0 ]; then
        kavo_wine_log "locale $KAVO_WINE_LOCALE is missing; as root run: locale-gen after enabling it in /etc/locale.gen"
        return 1
    fi
    if ! command -v locale-gen >/dev/null 2>&1; then
        kavo_wine_log "locale-gen not found (install the package locales)"
        return 1
    fi
    # Another run may be generating it at the same moment; serialise on a lock.
    (
        flock 9
        if ! locale -a 2>/dev/null | grep -qix "${want}\.utf-\?8"; then
            touch /etc/locale.gen
            if grep -q "^# *$KAVO_WINE_LOCALE UTF-8" /etc/locale.gen; then
                sed -i "s/^# *$KAVO_WINE_LOCALE UTF-8/$KAVO_WINE_LOCALE UTF-8/" /etc/locale.gen
            elif ! grep -q "^$KAVO_WINE_LOCALE UTF-8" /etc/locale.gen; then
                echo "$KAVO_WINE_LOCALE UTF-8" >>/etc/locale.gen
            fi
            locale-gen >/dev/null
        fi
    ) 9>/tmp/.kavo-locale-gen.lock
    locale -a 2>/dev/null | grep -qix "${want}\.utf-\?8" || {
        kavo_wine_log "could not generate locale $KAVO_WINE_LOCALE"
        return 1
    }
}

# Starts an Xvfb of our own on a display number it picks itself (-displayfd), so two
# runs never race for the same number. Sets KAVO_XVFB_PID and DISPLAY.
kavo_wine_start_xvfb() {
    local dir=$1 fdfile="$1/xvfb.display" i
    : >"$fdfile"
    Xvfb -displayfd 3 -screen 0 "${KAVO_XVFB_SCREEN:-1280x1024x24}" -nolisten tcp \
        3>"$fdfile" >"$dir/xvfb.log" 2>&1 &
    KAVO_XVFB_PID=$!
    # Xvfb writes the number only once it accepts connections.
    for ((i = 0; i < 200; i++)); do
        if [ -s "$fdfile" ]; then
            DISPLAY=":$(tr -d '[:space:]' <"$fdfile")"
            export DISPLAY
            return 0
        fi
        if ! kill -0 "$KAVO_XVFB_PID" 2>/dev/null; then
            break
        fi
        sleep 0.05
    done
    kavo_wine_log "Xvfb did not start (log: $dir/xvfb.log)"
    cat "$dir/xvfb.log" >&2
    kavo_wine_stop_xvfb
    return 1
}

kavo_wine_stop_xvfb() {
    if [ -n "${KAVO_XVFB_PID:-}" ]; then
        kill "$KAVO_XVFB_PID" 2>/dev/null
        wait "$KAVO_XVFB_PID" 2>/dev/null
        KAVO_XVFB_PID=
    fi
}

# The environment every Wine command of a run uses. WINEDLLOVERRIDES keeps wineboot
# from offering to install Mono and Gecko, which nothing here needs and which would
# otherwise wait for a click on an invisible display.
kavo_wine_export_env() {
    export WINEPREFIX=$1
    export HOME=$2
    export WINEARCH=win64
    export WINEDEBUG=${KAVO_WINEDEBUG:--all}
    export WINEDLLOVERRIDES="mscoree,mshtml="
    export LANG=$KAVO_WINE_LOCALE
    export LC_ALL=$KAVO_WINE_LOCALE
    unset WINELOADER WINESERVER
}

# Boots a prefix from scratch in $1 (with $2 as HOME) and waits until its registry is
# on disk. Runs in a subshell so the caller's environment stays as it was.
kavo_wine_boot_prefix() {
    (
        kavo_wine_export_env "$1" "$2"
        mkdir -p "$2"
        "$KAVO_WINE_LOADER" wineboot -i >"$2/../wineboot.log" 2>&1
        local rc=$?
        # The dialogs ask for the fonts of a Japanese Windows, which Wine does not
        # have: without a replacement it draws them in a wide fixed-pitch fallback that
        # clips their labels. The IPA fonts have the same pitch and metrics class.
        if [ $rc -eq 0 ]; then
            local face
            for face in 'ＭＳ Ｐゴシック:IPAPGothic' 'MS PGothic:IPAPGothic' 'ＭＳ ゴシック:IPAGothic' \
                'MS Gothic:IPAGothic' 'MS UI Gothic:IPAPGothic'; do
                "$KAVO_WINE_LOADER" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "${face%%:*}" \
                    /t REG_SZ /d "${face#*:}" /f >>"$2/../wineboot.log" 2>&1 || rc=$?
            done
        fi
        # The registry reaches the files only when the server shuts down.
        "$KAVO_WINE_SERVER" -k 2>/dev/null
        "$KAVO_WINE_SERVER" -w 2>/dev/null
        if [ $rc -ne 0 ] || ! [ -s "$1/system.reg" ] || ! [ -s "$1/user.reg" ]; then
            kavo_wine_log "wineboot failed (rc $rc); log:"
            cat "$2/../wineboot.log" >&2
            exit 1
        fi
        # Wine links the user's Desktop, Documents, ... to $HOME; as real folders the
        # prefix stays self-contained when copied elsewhere.
        local l
        find "$1/drive_c/users" -maxdepth 2 -type l 2>/dev/null | while IFS= read -r l; do
            rm -f "$l" && mkdir -p "$l"
        done
    )
}

kavo_wine_template_dir() {
    local ver
    ver=$("$KAVO_WINE_LOADER" --version 2>/dev/null | tr -c 'A-Za-z0-9.\n-' '_')
    # The last part names what the template holds beyond a plain boot (font
    # replacements), so that a template made by an older script is not reused.
    printf '%s/kavo-wine-template-%s-%s-%s-fonts1\n' "${TMPDIR:-/tmp}" "$(id -u)" "$ver" "$KAVO_WINE_LOCALE"
}

# Makes the template once; concurrent first runs wait for each other on a lock and
# the template appears by rename only when complete.
kavo_wine_ensure_template() {
    local tpl=$1
    [ -f "$tpl/.ready" ] && return 0
    (
        flock 9
        [ -f "$tpl/.ready" ] && exit 0
        local work
        work=$(mktemp -d "${tpl}.build.XXXXXX") || exit 1
        if ! kavo_wine_boot_prefix "$work/prefix" "$work/home"; then
            rm -rf "$work"
            exit 1
        fi
        touch "$work/prefix/.ready"
        rm -rf "$tpl"
        mv "$work/prefix" "$tpl" && rm -rf "$work"
    ) 9>"$tpl.lock"
    [ -f "$tpl/.ready" ]
}

# Copies the template into $2: binaries under drive_c/windows as hard links (falling
# back to a full copy across file systems), the rest as real files.
kavo_wine_copy_template() {
    local tpl=$1 dst=$2
    if cp -al "$tpl" "$dst" 2>/dev/null; then
        local f
        find "$dst" -regextype posix-extended -type f \( -path "$dst/drive_c/windows/*" \
            -iregex '.*\.(dll|exe|drv|sys|ocx|cpl|acm|ax|tlb|ds|msstyles|ttf|fon|nls|mui|ocx16|exe16|dll16|drv16|vxd|com)$' \) \
            -prune -o -type f -print | while IFS= read -r f; do
            cp -p "$f" "$f.kavo-copy" && mv -f "$f.kavo-copy" "$f"
        done
    else
        rm -rf "$dst"
        cp -a "$tpl" "$dst"
    fi
    rm -f "$dst/.ready"
}

# A run killed outright (SIGKILL from a test driver's timeout) cannot clean up after
# itself. Its directory names the shell that owned it and its Xvfb; once that shell is
# gone, the next run ends what is left and removes the directory. Directories without
# an owner file are left alone: they may be a run still being set up.
kavo_wine_sweep_stale() {
    local d owner xpid
    for d in "${TMPDIR:-/tmp}"/kavo-wine.*; do
        [ -f "$d/owner" ] || continue
        owner=$(cat "$d/owner" 2>/dev/null)
        [ -n "$owner" ] && kill -0 "$owner" 2>/dev/null && continue
        xpid=$(cat "$d/xvfb.pid" 2>/dev/null)
        if [ -n "$xpid" ] && tr '\0' ' ' <"/proc/$xpid/cmdline" 2>/dev/null | grep -q '^Xvfb .*-displayfd'; then
            kill "$xpid" 2>/dev/null
        fi
        if [ -d "$d/prefix" ]; then
            WINEPREFIX="$d/prefix" "$KAVO_WINE_SERVER" -k 2>/dev/null
        fi
        rm -rf "$d"
    done
}

# Prepares a run: temporary directory, own Xvfb, fresh prefix under ja_JP.UTF-8.
# Exports DISPLAY, WINEPREFIX, HOME, LANG, WINEDEBUG, WINEDLLOVERRIDES; sets
# KAVO_WINE_TMP, KAVO_XVFB_PID, KAVO_WINE_LOADER, KAVO_WINE_SERVER.
kavo_wine_setup() {
    KAVO_WINE_LOADER=$(kavo_wine_find_loader) || return 1
    KAVO_WINE_SERVER=$(kavo_wine_find_server) || return 1
    kavo_wine_ensure_locale || return 1
    command -v Xvfb >/dev/null 2>&1 || { kavo_wine_log "Xvfb not found (install the package xvfb)"; return 1; }
    kavo_wine_sweep_stale
    KAVO_WINE_TMP=$(mktemp -d "${TMPDIR:-/tmp}/kavo-wine.XXXXXX") || return 1
    echo $$ >"$KAVO_WINE_TMP/owner"
    KAVO_WINE_OLD_HOME=$HOME
    kavo_wine_start_xvfb "$KAVO_WINE_TMP" || { rm -rf "$KAVO_WINE_TMP"; return 1; }
    echo "$KAVO_XVFB_PID" >"$KAVO_WINE_TMP/xvfb.pid"
    local t0=$SECONDS
    if [ "${KAVO_WINE_NO_TEMPLATE:-0}" = 1 ]; then
        kavo_wine_boot_prefix "$KAVO_WINE_TMP/prefix" "$KAVO_WINE_TMP/home" || { kavo_wine_teardown; return 1; }
    else
        local tpl
        tpl=$(kavo_wine_template_dir)
        kavo_wine_ensure_template "$tpl" || { kavo_wine_teardown; return 1; }
        kavo_wine_copy_template "$tpl" "$KAVO_WINE_TMP/prefix" || { kavo_wine_teardown; return 1; }
    fi
    mkdir -p "$KAVO_WINE_TMP/home"
    kavo_wine_use_loopback "$KAVO_WINE_TMP/prefix" || { kavo_wine_teardown; return 1; }
    kavo_wine_export_env "$KAVO_WINE_TMP/prefix" "$KAVO_WINE_TMP/home"
    if [ -n "${KAVO_WINE_VERBOSE:-}" ]; then
        kavo_wine_log "prefix ready in $((SECONDS - t0)) s: $WINEPREFIX on $DISPLAY"
    fi
}

# With KAVO_WINE_LOOPBACK set: checks the library, keeps its absolute path in
# KAVO_WINE_LOOPBACK_LIB and makes the prefix $1 take its audio (and so its MIDI)
# driver from ALSA. mmdevapi would pick ALSA anyway where no PulseAudio server
# answers; naming it makes that certain. The prefix's server is not running yet, so
# the key is written straight into user.reg.
kavo_wine_use_loopback() {
    KAVO_WINE_LOOPBACK_LIB=
    [ -n "${KAVO_WINE_LOOPBACK:-}" ] || return 0
    KAVO_WINE_LOOPBACK_LIB=$(realpath -e "$KAVO_WINE_LOOPBACK" 2>/dev/null) || {
        kavo_wine_log "KAVO_WINE_LOOPBACK: no such library: $KAVO_WINE_LOOPBACK (build it: cmake --build build/host --target kavo_loopback_seq)"
        return 1
    }
    printf '\n[Software\\\\Wine\\\\Drivers] %s\n"Audio"="alsa"\n' "$(date +%s)" >>"$1/user.reg"
}

# Runs a Windows program in the prepared prefix; returns its exit code. A program that
# outlives KAVO_WINE_TIMEOUT seconds (default 900) is killed and 124 is returned, so a
# hung test still ends its own server and display.
kavo_wine_run() {
    if [ -n "${KAVO_WINE_LOOPBACK_LIB:-}" ]; then
        LD_PRELOAD="$KAVO_WINE_LOOPBACK_LIB${LD_PRELOAD:+:$LD_PRELOAD}" \
            timeout --kill-after=10 "${KAVO_WINE_TIMEOUT:-900}" "$KAVO_WINE_LOADER" "$@"
    else
        timeout --kill-after=10 "${KAVO_WINE_TIMEOUT:-900}" "$KAVO_WINE_LOADER" "$@"
    fi
}

# Ends this run's wineserver (and every Windows process of this prefix with it) and
# Xvfb by their ids, then removes the temporary directory. Safe to call twice.
kavo_wine_teardown() {
    if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ] && [ -n "${KAVO_WINE_SERVER:-}" ]; then
        WINEPREFIX=$WINEPREFIX "$KAVO_WINE_SERVER" -k 2>/dev/null
        WINEPREFIX=$WINEPREFIX timeout 20 "$KAVO_WINE_SERVER" -w 2>/dev/null
    fi
    kavo_wine_stop_xvfb
    if [ -n "${KAVO_WINE_TMP:-}" ] && [ -d "$KAVO_WINE_TMP" ]; then
        rm -rf "$KAVO_WINE_TMP"
    fi
    KAVO_WINE_TMP=
    if [ -n "${KAVO_WINE_OLD_HOME:-}" ]; then
        export HOME=$KAVO_WINE_OLD_HOME
    fi
}
