#!/bin/bash
# Plays into and reads back from the loopback sequencer's devices while a program
# runs under Wine with it (tests/loopback/README.md). Uses KAVO_LOOPBACK_FEED and
# KAVO_LOOPBACK_RECORD as the program was given them.
#
#   kavo-loopback.sh feed INPUT HEX...       one message (or burst) into input INPUT
#   kavo-loopback.sh sysex INPUT LENGTH      an exclusive message of LENGTH bytes:
#                                            F0, data counting 00..7F, F7
#   kavo-loopback.sh wait PATTERN [SECONDS]  waits until a record line (time stamp
#                                            left off) matches the grep -E PATTERN,
#                                            prints it; exit 1 after SECONDS (10)
#   kavo-loopback.sh record                  the record without its time stamps
#
# feed and sysex wait up to KAVO_LOOPBACK_WAIT seconds (10) for the program to
# listen: the feed exists, and has a reader, once the program has opened an input.
set -u

usage() { sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }

feed_line() {
    local fifo=${KAVO_LOOPBACK_FEED:?KAVO_LOOPBACK_FEED is not set} wait=${KAVO_LOOPBACK_WAIT:-10} i
    for ((i = 0; i < wait * 20; i++)); do
        [ -p "$fifo" ] && break
        sleep 0.05
    done
    [ -p "$fifo" ] || { echo "kavo-loopback: no feed at $fifo (no program opened an input)" >&2; return 1; }
    # Opening a FIFO for writing waits for its reader; the write is one line, atomic.
    timeout "$wait" bash -c 'printf "%s\n" "$1" >"$2"' _ "$1" "$fifo" || {
        echo "kavo-loopback: nobody read the feed within ${wait} s" >&2
        return 1
    }
}

cmd=${1:-}
shift || true
case $cmd in
feed)
    [ $# -ge 2 ] || usage
    feed_line "$*"
    ;;
sysex)
    [ $# -eq 2 ] && [ "$2" -ge 2 ] 2>/dev/null || usage
    line="$1 F0"
    for ((i = 0; i < $2 - 2; i++)); do line+=$(printf ' %02X' $((i & 0x7F))); done
    feed_line "$line F7"
    ;;
wait)
    [ $# -ge 1 ] || usage
    record=${KAVO_LOOPBACK_RECORD:?KAVO_LOOPBACK_RECORD is not set}
    for ((i = 0; i < ${2:-10} * 20; i++)); do
        if [ -f "$record" ] && cut -d' ' -f2- "$record" | grep -E -m1 -- "$1"; then
            exit 0
        fi
        sleep 0.05
    done
    echo "kavo-loopback: no record line matched: $1" >&2
    exit 1
    ;;
record)
    cut -d' ' -f2- "${KAVO_LOOPBACK_RECORD:?KAVO_LOOPBACK_RECORD is not set}"
    ;;
*)
    usage
    ;;
esac
