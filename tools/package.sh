#!/bin/bash
# Makes the download a Windows user gets:
#   build/dist/Kavo2-<version>-win64.zip    Kavo2.exe, README.txt, LICENSE.txt
# Kavo2.exe is the Windows build's (build/win, made or brought up to date here), the
# very program its tests run, with its symbols stripped.
# The version is the one in res/version.h. The texts go in as Windows' own editors read
# them best: UTF-8 with a byte-order mark (the Notepad of Windows 7 takes a file without
# one for the ANSI code page) and CR LF line ends.
#
#   tools/package.sh            build and pack; prints the archive's path
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

# The cross compiler and the rest, as the other commands install them.
bash "$root/tools/test-all.sh" --install-only >/dev/null

version=$(sed -n 's/^#define KAVO_VERSION_TEXT "\(.*\)"$/\1/p' res/version.h)
if [ -z "$version" ]; then
    echo "package: no KAVO_VERSION_TEXT in res/version.h" >&2
    exit 1
fi

build=$root/build/win
dist=$root/build/dist
zip=$dist/Kavo2-$version-win64.zip

echo "package: Kavo2.exe $version from build/win"
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
        >"$root/build/win-configure.log" 2>&1 || {
        cat "$root/build/win-configure.log" >&2
        exit 1
    }
fi
cmake --build "$build" -j2 --target Kavo2

mkdir -p "$dist"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
x86_64-w64-mingw32-strip -o "$stage/Kavo2.exe" "$build/app/Kavo2.exe"
python3 - "$stage" "$root/dist/README.txt" "$root/LICENSE" "$zip.tmp" <<'PY'
import os, sys, time, zipfile

stage, readme, licence, out = sys.argv[1:]

def windows_text(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    return b"\xef\xbb\xbf" + text.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-8")

files = [
    ("Kavo2.exe", open(os.path.join(stage, "Kavo2.exe"), "rb").read()),
    ("README.txt", windows_text(readme)),
    ("LICENSE.txt", windows_text(licence)),
]
with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as z:
    for name, data in files:
        info = zipfile.ZipInfo(name, date_time=time.localtime()[:6])
        info.compress_type = zipfile.ZIP_DEFLATED
        info.create_system = 0  # made on Windows' terms: no Unix modes for Explorer to puzzle over
        z.writestr(info, data)
PY
mv "$zip.tmp" "$zip"
echo "package: $zip ($(stat -c %s "$zip") bytes)"
