#!/bin/bash
# Builds the benchmark kavo_bench in Release (build/release) and runs it; it prints
# the engine's latency and throughput figures.
#   tools/bench.sh [kavo_bench arguments...]
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/tools/test-all.sh" --install-only || exit 1
mkdir -p "$root/build"
cmake -S "$root" -B "$root/build/release" -DCMAKE_BUILD_TYPE=Release >"$root/build/release-configure.log" 2>&1 || {
    cat "$root/build/release-configure.log" >&2
    exit 1
}
cmake --build "$root/build/release" -j2 --target kavo_bench || exit 1
exe=$(find "$root/build/release" -type f -name kavo_bench -perm -u+x | head -n 1)
[ -n "$exe" ] || { echo "kavo_bench was not built" >&2; exit 1; }
exec "$exe" "$@"
