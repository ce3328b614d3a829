#!/bin/bash
# Runs one Windows program under Wine in a fresh prefix (ja_JP.UTF-8, code page 932)
# on an X display of its own, and exits with the program's exit code.
#   tools/wine/run-under-wine.sh prog.exe [args...]
# KAVO_WINE_VERBOSE=1 reports the time the prefix took; KAVO_WINE_KEEP=1 leaves the
# temporary directory (prefix, Xvfb log) for a look afterwards.
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=wine-env.sh
source "$here/wine-env.sh"

if [ $# -lt 1 ]; then
    echo "usage: $0 program.exe [args...]" >&2
    exit 2
fi
if [ ! -f "$1" ]; then
    echo "$0: no such program: $1" >&2
    exit 2
fi

child=
cleanup() {
    # The program itself goes with its wineserver; this ends the timeout wrapper.
    [ -n "$child" ] && kill "$child" 2>/dev/null
    if [ -n "${KAVO_WINE_KEEP:-}" ] && [ -n "${KAVO_WINE_TMP:-}" ]; then
        echo "run-under-wine: kept $KAVO_WINE_TMP" >&2
        WINEPREFIX=$WINEPREFIX "$KAVO_WINE_SERVER" -k 2>/dev/null
        kavo_wine_stop_xvfb
        return
    fi
    kavo_wine_teardown
}
# An interrupted run (ctest timeout, Ctrl-C) still ends its own server and display.
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

kavo_wine_setup || exit 125
# In the background, because bash runs a trap only after a foreground command ends:
# a TERM from CTest must clean up now, not when the program finally stops.
kavo_wine_run "$@" 0<&0 &
child=$!
wait "$child"
rc=$?
child=
exit $rc
