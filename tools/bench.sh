#!/bin/bash
# Builds the benchmark kavo_bench in Release and runs it: on the host (build/release),
# or with --wine the Windows build of it (build/win-release) under Wine, in a prefix
# and on an X display of its own. It prints the engine's latency, throughput,
# metronome and idle figures beside the same run's platform baselines, and whether
# each target is met; it exits 0 either way and non-zero only when it could not run.
#   tools/bench.sh [--wine] [kavo_bench arguments...]
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

wine=0
if [ "${1:-}" = --wine ]; then
    wine=1
    shift
fi

bash "$root/tools/test-all.sh" --install-only || exit 1
mkdir -p "$root/build"

# configure NAME [cmake options...]: configures build/NAME in Release, log beside it.
configure() {
    local name=$1
    shift
    cmake -S "$root" -B "$root/build/$name" -DCMAKE_BUILD_TYPE=Release "$@" >"$root/build/$name-configure.log" 2>&1 || {
        cat "$root/build/$name-configure.log" >&2
        return 1
    }
}

if [ $wine = 0 ]; then
    configure release || exit 1
    cmake --build "$root/build/release" -j2 --target kavo_bench || exit 1
    exe=$(find "$root/build/release" -type f -name kavo_bench -perm -u+x | head -n 1)
    [ -n "$exe" ] || { echo "kavo_bench was not built" >&2; exit 1; }
    exec "$exe" "$@"
fi

configure win-release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" || exit 1
cmake --build "$root/build/win-release" -j2 --target kavo_bench || exit 1
exe=$(find "$root/build/win-release" -type f -name kavo_bench.exe | head -n 1)
[ -n "$exe" ] || { echo "kavo_bench.exe was not built" >&2; exit 1; }
# A whole run takes about four minutes on two cores, longer under Wine on a busy
# machine; the runner's own default would end it at fifteen.
export KAVO_WINE_TIMEOUT=${KAVO_WINE_TIMEOUT:-1800}
exec "$root/tools/wine/run-under-wine.sh" "$exe" "$@"
