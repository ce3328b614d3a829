#!/bin/bash
# Builds Kavo2.exe (Windows build, build/win, or $KAVO_BUILD_DIR) and starts it under
# Wine.
#
#   tools/run-kavo2.sh [--virtual[=DEVICES]] [Kavo2 arguments, e.g. -DISABLE]
#
# --virtual runs it on in-process virtual MIDI devices instead of the system's
# (DEVICES as "in=Keys A,Keys B;out=Synth A,Synth B", which is also the default), for
# machines without MIDI hardware; under Wine there is none.
#
# The Wine prefix build/win/wineprefix-run is made on first use under ja_JP.UTF-8, so
# the Japanese texts show; it keeps the program's settings between runs, and the
# program's working directory (where PORT.KAV lives) is build/win/run.
#
# With DISPLAY set, the program appears on that display: its icon is in the
# notification area, and it runs until its menu's close command or Ctrl-C here.
# Without DISPLAY it runs on an Xvfb of its own: a screenshot is saved to
# build/win/run-kavo2.png once it is up (and again every 5 seconds while it runs);
# Ctrl-C ends it.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

virtual=
args=()
for a in "$@"; do
    case $a in
        --virtual) virtual='in=Keys A,Keys B;out=Synth A,Synth B' ;;
        --virtual=*) virtual=${a#--virtual=} ;;
        *) args+=("$a") ;;
    esac
done

bash "$root/tools/test-all.sh" --install-only || exit 1
build=${KAVO_BUILD_DIR:-$root/build/win}
mkdir -p "$root/build"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" >"$root/build/win-configure.log" 2>&1 || {
    cat "$root/build/win-configure.log" >&2
    exit 1
}
cmake --build "$build" -j2 --target Kavo2 || exit 1
exe=$build/app/Kavo2.exe

# shellcheck source=wine/wine-env.sh
source "$root/tools/wine/wine-env.sh"
KAVO_WINE_LOADER=$(kavo_wine_find_loader) || exit 1
KAVO_WINE_SERVER=$(kavo_wine_find_server) || exit 1
kavo_wine_ensure_locale || exit 1

prefix=$build/wineprefix-run
mkdir -p "$build/run" "$build/run-home"
if [ ! -f "$prefix/system.reg" ]; then
    echo "making the Wine prefix $prefix (once)"
fi

xvfb_pid=
shooter_pid=
cleanup() {
    [ -n "$shooter_pid" ] && kill "$shooter_pid" 2>/dev/null
    WINEPREFIX=$prefix "$KAVO_WINE_SERVER" -k 2>/dev/null
    WINEPREFIX=$prefix timeout 20 "$KAVO_WINE_SERVER" -w 2>/dev/null
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null
        wait "$xvfb_pid" 2>/dev/null
    fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if [ -z "${DISPLAY:-}" ]; then
    command -v Xvfb >/dev/null || { echo "Xvfb not found (install xvfb)" >&2; exit 1; }
    kavo_wine_start_xvfb "$build" || exit 1
    xvfb_pid=$KAVO_XVFB_PID
    shot=$build/run-kavo2.png
    echo "no display: running on Xvfb $DISPLAY; screenshot: $shot"
    (
        sleep 5
        while true; do
            import -silent -window root -display "$DISPLAY" "$shot.tmp.png" 2>/dev/null && mv -f "$shot.tmp.png" "$shot"
            sleep 5
        done
    ) &
    shooter_pid=$!
fi

export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
export LANG=$KAVO_WINE_LOCALE LC_ALL=$KAVO_WINE_LOCALE
if [ -n "$virtual" ]; then
    export KAVO_VIRTUAL_MIDI=$virtual
    echo "virtual MIDI devices: $virtual"
else
    unset KAVO_VIRTUAL_MIDI
fi
cd "$build/run" || exit 1
"$KAVO_WINE_LOADER" "$exe" "${args[@]}" &
wait $!
