#!/bin/bash
# The program reaches the system's text only through the wide-character ("W") calls,
# with the text converted explicitly from and to code page 932 in platform/wide_text
# (so it shows and stores the same texts whatever the system's ANSI code page is).
# This fails when a program source calls an "A" function of the system or uses an
# "A" record or message, outside that module. Tests and the test driver may.
#   tools/check-text-calls.sh
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root" || exit 1
# Win32 calls ending in A, and the A forms of the records and messages that carry text.
calls='\b[A-Z][A-Za-z0-9_]*[a-z0-9]A\(|\bmidi(In|Out)GetDevCapsA\b|\bShell_NotifyIconA\b'
records='\b(NOTIFYICONDATAA|COMBOBOXEXITEMA|MENUITEMINFOA|WNDCLASS(EX)?A|CREATESTRUCTA|MIDI(IN|OUT)CAPSA|CBEM_(INSERT|GET|SET)ITEMA|MONITORINFOEXA|LPCSTR)\b'
found=$(grep -rnE "$calls|$records" --include='*.cpp' --include='*.h' app tray ui dialogs settings platform store engine |
    grep -v '^platform/wide_text\.' | grep -vE '^[^:]+:[0-9]+:\s*//' || true)
if [ -n "$found" ]; then
    echo "calls of A functions that take text, outside platform/wide_text:" >&2
    printf '%s\n' "$found" >&2
    exit 1
fi
echo "text calls: wide everywhere (checked app tray ui dialogs settings platform store engine)"
