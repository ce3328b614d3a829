#!/bin/bash
# The winmm backend's tests of kavo_tests.exe (--gtest_filter='Winmm*') on Wine's own
# MIDI devices over the loopback sequencer: device names plain, Japanese, and too long
# for "<client> - <port>" in 31 bytes (ASCII and Japanese), messages out and in.
# Judged by the test program's output: Wine 8 often crashes at the exit of a process
# that had MIDI devices, so its exit status says nothing; a run whose loopback tests
# were skipped (no devices reached Wine) fails.
#   run-winmm-tests.sh KAVO_TESTS_EXE LOOPBACK_LIB
# Exit 77 (skipped) when the library is missing.
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
exe=$1 lib=$2
if [ ! -f "$lib" ]; then
    echo "skipped: no loopback sequencer at $lib (the host build makes it: cmake --build build/host --target kavo_loopback_seq; it needs libasound2-dev)"
    exit 77
fi
dir=$(mktemp -d "${TMPDIR:-/tmp}/kavo-winmm-loopback.XXXXXX") || exit 1
trap 'rm -rf "$dir"' EXIT
export KAVO_WINE_LOOPBACK=$lib KAVO_LOOPBACK_CLIENT=Loopback
export KAVO_LOOPBACK_IN="Keys A,鍵盤 B,A keyboard port with a long name,とても長い名前の鍵盤入力ポート"
export KAVO_LOOPBACK_OUT="Synth A,音源 B,A sound module with a long name"
export KAVO_LOOPBACK_FEED=$dir/feed KAVO_LOOPBACK_RECORD=$dir/record
bash "$here/../../tools/wine/run-under-wine.sh" "$exe" --gtest_color=no --gtest_filter='Winmm*' 2>&1 | tee "$dir/out"
echo "(Wine's exit status: ${PIPESTATUS[0]}, not judged)"

ran=$(grep -c '^\[       OK \] WinmmLoopback\.' "$dir/out")
if ! grep -q '^\[  PASSED  \]' "$dir/out"; then
    echo "FAILED: the test program did not report its end"
    exit 1
fi
if grep -q '^\[  FAILED  \]' "$dir/out"; then
    echo "FAILED: tests failed (above)"
    exit 1
fi
if grep -q '^\[  SKIPPED \] WinmmLoopback\.' "$dir/out" || [ "$ran" -lt 3 ]; then
    echo "FAILED: the loopback devices did not reach the tests ($ran WinmmLoopback tests passed)"
    exit 1
fi
echo "winmm backend on loopback devices: $ran WinmmLoopback tests passed"
