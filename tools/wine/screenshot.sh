#!/bin/bash
# Saves the whole screen of an X display as PNG: tools/wine/screenshot.sh :N out.png
# (the display as in DISPLAY, with or without the colon).
set -u
if [ $# -ne 2 ]; then
    echo "usage: $0 DISPLAY out.png" >&2
    exit 2
fi
display=$1
case $display in :*) ;; *) display=":$display" ;; esac
mkdir -p "$(dirname "$2")"
exec import -silent -window root -display "$display" "$2"
