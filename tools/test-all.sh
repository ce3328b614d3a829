#!/bin/bash
# Builds everything and runs every test:
#   build/host  host build (g++)                      ctest
#   build/asan  host build with ASan + UBSan          ctest
#   build/tsan  host build with TSan                  ctest
#   build/win   Windows build (mingw-w64)             ctest, the programs under Wine
#   package     tools/package.sh (build/dist, from build/win's Kavo2.exe), then the
#               archive and the packed program checked under Wine (tests/e2e/package.sh)
# The Windows build compiles first. Each build's tests run in the background while
# the next build compiles (the compiler yields to them), the Windows build's (mostly
# Wine runs that wait on the program) beside all the host builds; every log is shown
# once all have ended. Installs what is missing first (Debian packages; needs
# root only when something is missing). Keeps going after a failure so one run shows
# every failing build and test, ends with each build's ctest summary and time, and
# exits non-zero if anything failed.
#
#   tools/test-all.sh                  everything
#   tools/test-all.sh host win         only the named builds
#   tools/test-all.sh --install-only   only the packages and the locale
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root" || exit 1

# The mingw-w64 cross compiler and Wine for the Windows build and its tests; Xvfb,
# the Japanese font and ja_JP.UTF-8 so that Wine shows the program's texts; ImageMagick,
# x11-utils and xdotool for the end-to-end tests' screenshots and window lookups;
# the ALSA headers for the loopback sequencer that gives Wine MIDI devices.
packages=(
    cmake make g++ python3 googletest libgtest-dev libgmock-dev libbenchmark-dev
    g++-mingw-w64-x86-64 wine wine64 xvfb fonts-ipafont-gothic locales
    imagemagick x11-utils xdotool libasound2-dev
)

say() { printf '\n=== %s\n' "$*"; }

install_packages() {
    local missing=() p
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    if [ ${#missing[@]} -eq 0 ]; then
        return 0
    fi
    say "installing ${missing[*]}"
    if [ "$(id -u)" != 0 ]; then
        echo "missing packages: ${missing[*]} (run as root or install them)" >&2
        return 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q || return 1
    apt-get install -y -q "${missing[@]}" || return 1
}

# shellcheck source=wine/wine-env.sh
source "$root/tools/wine/wine-env.sh"

install_packages || exit 1
kavo_wine_ensure_locale || exit 1
# The second-locale end-to-end runs make their prefixes under this one.
KAVO_WINE_LOCALE=en_US.UTF-8 kavo_wine_ensure_locale || exit 1
if [ "${1:-}" = --install-only ]; then
    exit 0
fi

builds=("$@")
[ ${#builds[@]} -eq 0 ] && builds=(host asan tsan win package)

# Some kernels place mappings where this TSan runtime does not expect them ("unexpected
# memory mapping" / "FATAL: ThreadSanitizer"); without address randomisation it runs.
tsan_prefix=()
check_tsan() {
    local dir
    dir=$(mktemp -d) || return 1
    printf '#include <thread>\nint v; int main() { std::thread t([] { v = 1; }); t.join(); return v - 1; }\n' >"$dir/t.cpp"
    if ! g++ -std=c++17 -fsanitize=thread -pthread "$dir/t.cpp" -o "$dir/t" 2>"$dir/log"; then
        cat "$dir/log" >&2
        rm -rf "$dir"
        return 1
    fi
    if ! "$dir/t" >"$dir/log" 2>&1; then
        if setarch "$(uname -m)" -R "$dir/t" >/dev/null 2>&1; then
            echo "TSan needs address randomisation off here; running its build and tests under setarch -R"
            tsan_prefix=(setarch "$(uname -m)" -R)
        else
            echo "TSan programs do not run on this machine:" >&2
            cat "$dir/log" >&2
            rm -rf "$dir"
            return 1
        fi
    fi
    rm -rf "$dir"
}

declare -A result summary took built tests_pid
failed=0

# configure NAME CMAKE-ARGS...
configure() {
    local name=$1
    shift
    if ! cmake -S "$root" -B "$root/build/$name" "${fast_debug[@]}" "$@" >"$root/build/$name-configure.log" 2>&1; then
        cat "$root/build/$name-configure.log"
        result[$name]="configure failed (log: build/$name-configure.log)"
        failed=1
        return 1
    fi
}

# compile NAME [TARGET]: the whole build, or one target of it. Test programs are run
# once while building (gtest_discover_tests), so the TSan build needs the same prefix
# as its tests. Compiling yields to the tests running beside it: the Wine runs wait on
# the program with time limits, the compiler only wants throughput.
compile() {
    local name=$1 prefix=() target=()
    [ "$name" = tsan ] && prefix=("${tsan_prefix[@]}")
    [ -n "${2:-}" ] && target=(--target "$2")
    if ! nice -n 10 "${prefix[@]}" cmake --build "$root/build/$name" -j2 "${target[@]}"; then
        result[$name]="build failed"
        failed=1
        return 1
    fi
}

# run_tests NAME: ctest into build/NAME-ctest.log; the outcome and the time taken go
# to build/NAME-ctest.rc and .seconds, so that it can run in a background shell.
run_tests() {
    local name=$1 dir="$root/build/$1" prefix=() repeat=() t0
    [ "$name" = tsan ] && prefix=("${tsan_prefix[@]}")
    # Under Wine a test may trip over Wine itself now and then (a reg.exe that prints
    # nothing, a window that appears late on a loaded machine): a failed Wine test
    # runs once more, and its first failure stays in the log above the rerun.
    [ "$name" = win ] && repeat=(--repeat until-pass:2)
    t0=$(date +%s)
    rm -f "$root/build/$name-ctest.rc" "$root/build/$name-ctest.seconds"
    "${prefix[@]}" ctest --test-dir "$dir" --output-on-failure -j2 "${repeat[@]}" >"$root/build/$name-ctest.log" 2>&1
    echo $? >"$root/build/$name-ctest.rc"
    echo $(($(date +%s) - t0)) >"$root/build/$name-ctest.seconds"
}

# build NAME CMAKE-ARGS...: configures and compiles, then starts the build's tests in
# the background and goes on with the next build; finish_tests takes them in. Each
# build's tests thus run while the next one compiles, and the Windows build's (Wine
# runs, which wait more than they compute) while all the host builds do.
build() {
    local name=$1 t0=$SECONDS
    shift
    say "$name: configure and build"
    configure "$name" "$@" && compile "$name" || {
        took[$name]="build $((SECONDS - t0)) s"
        return
    }
    built[$name]=$((SECONDS - t0))
    say "$name: tests start in the background (build/$name-ctest.log)"
    run_tests "$name" &
    tests_pid[$name]=$!
}

# Waits for a build's tests, shows their log and records the outcome.
finish_tests() {
    local name=$1 log="$root/build/$1-ctest.log"
    [ -n "${tests_pid[$name]:-}" ] || return 0
    wait "${tests_pid[$name]}"
    unset "tests_pid[$name]"
    say "$name: test"
    cat "$log"
    summary[$name]=$(sed -n '/tests passed,/,$p' "$log")
    if [ "$(cat "$root/build/$name-ctest.rc" 2>/dev/null)" = 0 ]; then
        result[$name]=ok
    else
        result[$name]="tests failed"
        failed=1
    fi
    took[$name]="build ${built[$name]} s, tests $(cat "$root/build/$name-ctest.seconds" 2>/dev/null) s"
}

# The Windows build first, for its tests take the longest. The runs on Wine's own MIDI
# devices preload the host build's loopback sequencer: that one library before it (the
# runs are skipped without it, as without libasound2-dev).
win_build() {
    say "win: the host build's loopback sequencer"
    local was=$failed
    if ! { configure host && compile host kavo_loopback_seq; }; then
        echo "no loopback sequencer: the runs on Wine's own MIDI devices will be skipped"
        unset 'result[host]'
        failed=$was
    fi
    build win -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake"
}

# The download: built by tools/package.sh from the Windows build's program, then
# unpacked and checked with that build's driver (made here when that build has not run).
run_package() {
    local log="$root/build/package-check.log" version zip driver=$root/build/win/tests/e2e/kavo_driver.exe t0=$SECONDS
    say "package: build"
    if ! bash "$root/tools/package.sh"; then
        result[package]="packaging failed"
        failed=1
        return
    fi
    if [ ! -f "$driver" ]; then
        configure win -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" && compile win kavo_driver || {
            result[package]="driver build failed"
            failed=1
            return
        }
    fi
    version=$(sed -n 's/^#define KAVO_VERSION_TEXT "\(.*\)"$/\1/p' "$root/res/version.h")
    zip=$root/build/dist/Kavo2-$version-win64.zip
    say "package: check"
    # Once more after a failure, as the Windows build's tests under Wine; the first
    # failure stays in the log above the rerun.
    local rc try
    : >"$log"
    for try in 1 2; do
        timeout --kill-after=10 300 bash "$root/tests/e2e/package.sh" "$zip" "$driver" "$root/build/win/e2e-artefacts" \
            2>&1 | tee -a "$log"
        rc=${PIPESTATUS[0]}
        [ "$rc" -eq 0 ] && break
    done
    summary[package]=$(tail -1 "$log")
    if [ "$rc" -ne 0 ]; then
        result[package]="check failed (log: build/package-check.log)"
        failed=1
    else
        result[package]=ok
    fi
    took[package]="$((SECONDS - t0)) s"
}

mkdir -p "$root/build"
start=$SECONDS
# An interrupted run takes its background tests with it (each Wine run cleans up
# after itself when ended).
trap 'for p in "${tests_pid[@]}"; do pkill -TERM -P "$p"; done 2>/dev/null' EXIT
wants() {
    local b
    for b in "${builds[@]}"; do [ "$b" = "$1" ] && return 0; done
    return 1
}
for b in "${builds[@]}"; do
    case $b in
    host | asan | tsan | win | package) ;;
    *)
        echo "unknown build: $b (host, asan, tsan, win, package)" >&2
        exit 2
        ;;
    esac
done

# Texts reach the system only through the wide calls, converted in one module.
say "text calls"
if bash "$root/tools/check-text-calls.sh"; then
    result[text]=ok
else
    result[text]="A functions that take text are called (see above)"
    failed=1
fi

# Ask for each one's line numbers only (-g1): full debug information doubles the
# compile time and no test reads it; the sanitizer builds pick their own level.
fast_debug=(-DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG")
wants win && win_build
wants host && build host
wants asan && build asan -DKAVO_SANITIZE=address
if wants tsan; then
    if check_tsan; then
        export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1 second_deadlock_stack=1}
        build tsan -DKAVO_SANITIZE=thread
    else
        result[tsan]="TSan unusable on this machine"
        failed=1
    fi
fi
wants package && run_package
for b in host asan tsan win; do finish_tests "$b"; done

say "summary ($((SECONDS - start)) s)"
echo "--- text calls: ${result[text]}"
for b in "${builds[@]}"; do
    echo "--- $b: ${result[$b]:-not run}${took[$b]:+ (${took[$b]})}"
    [ -n "${summary[$b]:-}" ] && printf '%s\n' "${summary[$b]}"
done
exit $failed
