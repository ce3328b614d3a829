#!/bin/bash
# The README's run command: builds Kavo2.exe and starts it under Wine (see
# tools/run-kavo2.sh for the options, e.g. --virtual for in-process MIDI devices).
#   tools/run.sh [--virtual[=in=A,B;out=C,D]] [-DISABLE|-ENABLE]
exec bash "$(dirname "${BASH_SOURCE[0]}")/run-kavo2.sh" "$@"
