#!/bin/bash
# Builds the console demonstration kavo-thru (host build, build/host) and runs it:
# the routing engine on virtual devices, printing what reaches each output.
#   tools/thru.sh [kavo-thru arguments...]
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/tools/test-all.sh" --install-only || exit 1
mkdir -p "$root/build"
cmake -S "$root" -B "$root/build/host" >"$root/build/host-configure.log" 2>&1 || {
    cat "$root/build/host-configure.log" >&2
    exit 1
}
cmake --build "$root/build/host" -j2 --target kavo-thru || exit 1
exe=$(find "$root/build/host" -type f -name kavo-thru -perm -u+x | head -n 1)
[ -n "$exe" ] || { echo "kavo-thru was not built" >&2; exit 1; }
exec "$exe" "$@"
