#!/usr/bin/env python3
"""Writes the KitTailor icon: a cardboard package with a tailor's tape across it and a needle.

Usage: make_icon.py OUTPUT.ico

The file holds two 256-colour images, 32x32 and 16x16, in the classic BMP-in-ICO layout that
every Windows version reads. Everything is drawn from code so the build needs no binary
assets; the output is the same byte for byte on every run.
"""

import struct
import sys

# Palette slots we draw with; the remaining entries of the 256-colour palette stay black.
TRANSPARENT = 0
OUTLINE = 1
BOX_LIGHT = 2
BOX_DARK = 3
BOX_TOP = 4
TAPE = 5
TAPE_MARK = 6
NEEDLE = 7
THREAD = 8

# (red, green, blue)
COLOURS = {
    TRANSPARENT: (0, 0, 0),
    OUTLINE: (64, 40, 16),
    BOX_LIGHT: (214, 168, 104),
    BOX_DARK: (168, 120, 64),
    BOX_TOP: (232, 196, 140),
    TAPE: (248, 216, 40),
    TAPE_MARK: (40, 40, 40),
    NEEDLE: (176, 184, 196),
    THREAD: (200, 32, 40),
}


def draw(size):
    """Returns the picture as rows of palette indices, top row first."""
    s = size / 32.0
    px = [[TRANSPARENT] * size for _ in range(size)]

    def put(x, y, c):
        if 0 <= x < size and 0 <= y < size:
            px[y][x] = c

    def rect(x0, y0, x1, y1, c):
        # Inclusive corners given in 32x32 units, scaled to this size.
        for y in range(round(y0 * s), round((y1 + 1) * s)):
            for x in range(round(x0 * s), round((x1 + 1) * s)):
                put(x, y, c)

    def line(x0, y0, x1, y1, c):
        # A plain DDA line in 32x32 units.
        x0, y0, x1, y1 = x0 * s, y0 * s, x1 * s, y1 * s
        steps = max(1, int(max(abs(x1 - x0), abs(y1 - y0)) * 2))
        for i in range(steps + 1):
            t = i / steps
            put(int(x0 + (x1 - x0) * t), int(y0 + (y1 - y0) * t), c)

    # The box: a lid strip on top, the front face below it, a darker right side.
    rect(3, 10, 26, 29, OUTLINE)
    rect(4, 11, 25, 14, BOX_TOP)
    rect(4, 15, 21, 28, BOX_LIGHT)
    rect(22, 15, 25, 28, BOX_DARK)
    rect(4, 15, 25, 15, OUTLINE)
    rect(21, 15, 21, 28, OUTLINE)

    # The tailor's tape round the box, with tick marks along it.
    rect(3, 19, 26, 22, TAPE)
    rect(3, 19, 26, 19, OUTLINE)
    rect(3, 22, 26, 22, OUTLINE)
    for x in range(5, 26, 3):
        rect(x, 20, x, 20 if x % 2 else 21, TAPE_MARK)
    # The loose end of the tape hangs over the left edge.
    rect(1, 22, 3, 26, TAPE)
    rect(1, 26, 3, 26, OUTLINE)
    rect(0, 22, 0, 26, OUTLINE)

    # A needle stuck in from the upper right, the thread trailing from its eye.
    line(29, 1, 17, 13, OUTLINE)
    line(30, 1, 18, 13, NEEDLE)
    line(30, 2, 18, 14, NEEDLE)
    line(29, 2, 24, 4, THREAD)
    line(24, 4, 20, 2, THREAD)
    line(20, 2, 14, 5, THREAD)
    line(14, 5, 9, 3, THREAD)
    return px


def bmp_image(size):
    """One icon image: BITMAPINFOHEADER, palette, XOR rows, AND mask rows (both bottom-up)."""
    px = draw(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 8, 0, 0, 0, 0, 256, 0)
    palette = bytearray()
    for i in range(256):
        r, g, b = COLOURS.get(i, (0, 0, 0))
        palette += bytes((b, g, r, 0))
    xor_stride = (size + 3) & ~3
    and_stride = ((size + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    for row in reversed(px):
        xor += bytes(row) + bytes(xor_stride - size)
        bits = bytearray(and_stride)
        for x, c in enumerate(row):
            if c == TRANSPARENT:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + bytes(palette) + bytes(xor) + bytes(mask)


def icon_file(sizes):
    images = [bmp_image(n) for n in sizes]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for n, data in zip(sizes, images):
        # width, height, colour count (0 means 256), reserved, planes, bit count, size, offset
        out += struct.pack("<BBBBHHII", n % 256, n % 256, 0, 0, 1, 8, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    return bytes(out)


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: make_icon.py OUTPUT.ico\n")
        return 2
    data = icon_file([32, 16])
    with open(argv[1], "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
