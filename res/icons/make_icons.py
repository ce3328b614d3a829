#!/usr/bin/python3
"""Writes the program's icons from the pixel-art text beside this file. Each .ico holds
the 16 x 16 picture and, for high DPI, frames of 20, 24 and 32 pixels (the program's own
icon also one of 48), all in 16 colours with a transparency mask.

    make_icons.py [OUTDIR]     write the .ico files (default: this folder)
    make_icons.py --check      exit 1 when a committed .ico differs from its source

A larger frame is the same art with some of its lines drawn twice: no new colours and no
blur, so it stays as crisp as the 16 x 16 one. The 32 x 32 frame draws every line twice.
For 20 and 24 the art names the lines itself, in lines such as

    twice 20 rows    .x....x..x....x.

with a mark per row (top down) or per column (left to right), x for drawn twice, and
SIZE - 16 of them. Any fixed spacing of the doubled lines sooner or later lands on a
1-pixel outline or on just one of two pins; the art's author knows which lines are body,
cable and pins.

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
# Smallest first: the order the directory lists them in.
FRAMES = (16, 20, 24, 32)
# The program's own icon is also what Explorer shows for Kavo2.exe, at 48 pixels in its
# medium and tile views: that one gains the art drawn three times over.
APP_ICON = "icon128.ico"
AXES = ("rows", "columns")


def read_art(name):
    """The art's rows, and per larger frame and axis the set of lines drawn twice."""
    rows = []
    twice = {}
    with open(os.path.join(HERE, name), encoding="ascii") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if line.startswith("#") or not line:
                continue
            where = f"{name}:{number}"
            if line.startswith("twice "):
                words = line.split()
                if len(words) != 4 or not words[1].isdigit() or int(words[1]) not in FRAMES[1:-1] \
                        or words[2] not in AXES or len(words[3]) != SIZE or set(words[3]) - set(".x"):
                    raise SystemExit(f"{where}: expected 'twice SIZE rows|columns MARKS', "
                                     f"SIZE one of {FRAMES[1:-1]}, {SIZE} marks of . or x")
                size, axis = int(words[1]), words[2]
                if (size, axis) in twice:
                    raise SystemExit(f"{where}: a second 'twice {size} {axis}'")
                lines = {i for i, mark in enumerate(words[3]) if mark == "x"}
                if len(lines) != size - SIZE:
                    raise SystemExit(f"{where}: a {size}-pixel frame needs {size - SIZE} lines "
                                     f"drawn twice, not {len(lines)}")
                twice[size, axis] = lines
                continue
            if len(line) != SIZE:
                raise SystemExit(f"{where}: a row must be {SIZE} characters, not {len(line)}")
            rows.append(line)
    if len(rows) != SIZE:
        raise SystemExit(f"{name}: {SIZE} rows needed, found {len(rows)}")
    for size in FRAMES[1:-1]:
        for axis in AXES:
            if (size, axis) not in twice:
                raise SystemExit(f"{name}: no 'twice {size} {axis}' line")
    twice.update({(FRAMES[-1], axis): set(range(SIZE)) for axis in AXES})
    return rows, twice


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


def enlarge(px, twice_rows, twice_columns):
    """The picture with the named rows and columns each drawn twice."""
    def spread(lines, doubled):
        return [line for i, line in enumerate(lines) for _ in range(2 if i in doubled else 1)]
    return spread([spread(row, twice_columns) for row in px], twice_rows)


def image_bytes(px):
    """One frame: the header, the palette, the colour bits and the mask."""
    size = len(px)
    # Rows go bottom-up in both the colour bits and the mask; each row of either is
    # padded to 4 bytes.
    xor = bytearray()
    mask = bytearray()
    for row in reversed(px):
        line = bytearray()
        for x in range(0, size, 2):
            hi = row[x] if row[x] is not None else 0
            lo = row[x + 1] if row[x + 1] is not None else 0
            line.append((hi << 4) | lo)
        xor += line + bytes(-len(line) % 4)
        bits = 0
        for x in range(size):
            bits = (bits << 1) | (1 if row[x] is None else 0)
        line = (bits << (-size % 8)).to_bytes((size + 7) // 8, "big")
        mask += line + bytes(-len(line) % 4)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    return header + palette + bytes(xor) + bytes(mask)


def ico_bytes(frames):
    images = [image_bytes(px) for px in frames]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    for px, image in zip(frames, images):
        directory += struct.pack("<BBBBHHII", len(px), len(px), 16, 0, 1, 4, len(image), offset)
        offset += len(image)
    return directory + b"".join(images)


def build():
    icons = {}
    for out, (art, scheme) in ICONS.items():
        rows, twice = read_art(art)
        px = pixels(rows, scheme, art)
        frames = [px] + [enlarge(px, twice[size, "rows"], twice[size, "columns"]) for size in FRAMES[1:]]
        if out == APP_ICON:
            frames.append([[c for c in row for _ in range(3)] for row in px for _ in range(3)])
        icons[out] = ico_bytes(frames)
    return icons


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
