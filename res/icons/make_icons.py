#!/usr/bin/python3
"""Writes the program's icons (16 x 16, 16 colours, with a transparency mask) from the
pixel-art text beside this file.

    make_icons.py [OUTDIR]     write the .ico files (default: this folder)
    make_icons.py --check      exit 1 when a committed .ico differs from its source

Only the standard library, so a plain Debian python3 runs it.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

# The standard 16-colour palette, in its usual order (index: RGB).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, MAROON, GREEN, OLIVE, NAVY, SILVER, GREY = 0, 1, 2, 3, 4, 7, 8
RED, LIME, YELLOW, BLUE, WHITE = 9, 10, 11, 12, 15

# Letters every picture shares; None is transparent.
FIXED = {".": None, "k": BLACK, "Y": YELLOW}

# Body (B), highlight (H) and shade (b) per colour scheme.
SCHEMES = {
    "grey": {"B": SILVER, "H": WHITE, "b": GREY},
    "red": {"B": RED, "H": WHITE, "b": MAROON},
    "green": {"B": LIME, "H": WHITE, "b": GREEN},
    "blue": {"B": BLUE, "H": WHITE, "b": NAVY},
}

# Output file -> (art file, colour scheme). The numbers are the resource numbers.
ICONS = {
    "icon200.ico": ("one_plug.txt", "grey"),
    "icon201.ico": ("two_plugs.txt", "grey"),
    "icon210.ico": ("one_plug.txt", "red"),
    "icon211.ico": ("two_plugs.txt", "red"),
    "icon220.ico": ("one_plug.txt", "green"),
    "icon221.ico": ("two_plugs.txt", "green"),
    "icon128.ico": ("two_plugs.txt", "blue"),
}

SIZE = 16


def read_art(name):
    rows = []
    with open(os.path.join(HERE, name), encoding="ascii") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if line.startswith("#") or not line:
                continue
            if len(line) != SIZE:
                raise SystemExit(f"{name}:{number}: a row must be {SIZE} characters, not {len(line)}")
            rows.append(line)
    if len(rows) != SIZE:
        raise SystemExit(f"{name}: {SIZE} rows needed, found {len(rows)}")
    return rows


def pixels(rows, scheme, name):
    colours = dict(FIXED)
    colours.update(SCHEMES[scheme])
    out = []
    for y, row in enumerate(rows):
        line = []
        for x, ch in enumerate(row):
            if ch not in colours:
                raise SystemExit(f"{name}: unknown letter {ch!r} at row {y}, column {x}")
            line.append(colours[ch])
        out.append(line)
    return out


def ico_bytes(px):
    # Rows go bottom-up in both the colour bits and the mask.
    xor = bytearray()
    mask = bytearray()
    for row in reversed(px):
        for x in range(0, SIZE, 2):
            hi = row[x] if row[x] is not None else 0
            lo = row[x + 1] if row[x + 1] is not None else 0
            xor.append((hi << 4) | lo)
        bits = 0
        for x in range(SIZE):
            bits = (bits << 1) | (1 if row[x] is None else 0)
        mask += struct.pack(">H", bits) + b"\0\0"  # each mask row padded to 4 bytes
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    image = header + palette + bytes(xor) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


def build():
    return {out: ico_bytes(pixels(read_art(art), scheme, art)) for out, (art, scheme) in ICONS.items()}


def main(argv):
    icons = build()
    if argv[1:2] == ["--check"]:
        stale = []
        for name, data in icons.items():
            path = os.path.join(HERE, name)
            try:
                with open(path, "rb") as f:
                    if f.read() != data:
                        stale.append(name)
            except OSError:
                stale.append(name)
        if stale:
            print("icons out of date with their art (run res/icons/make_icons.py):", " ".join(stale))
            return 1
        print(f"{len(icons)} icons match their art")
        return 0
    outdir = argv[1] if len(argv) > 1 else HERE
    os.makedirs(outdir, exist_ok=True)
    for name, data in icons.items():
        with open(os.path.join(outdir, name), "wb") as f:
            f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
