#!/usr/bin/env python3
"""Writes the KitTailor icon: a cardboard package with a tailor's tape across it and a needle.

Usage: make_icon.py OUTPUT.ico

The file holds 256-colour images of 32x32 and 16x16 pixels, drawn pixel by pixel, in the
classic BMP-in-ICO layout that every Windows version reads; and the same picture smoothed
(anti-aliased) in 32-bit colour with an alpha channel at 48x48, also as a BMP, and at
256x256, stored as PNG as Windows Vista and later read it, for the large icons of high-DPI
screens and of Explorer. Everything is drawn from code so the build needs no binary assets;
the output is the same byte for byte on every run.
"""

import struct
import sys
import zlib

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

# Pixel-art images (palette) and smoothed ones (32-bit colour; the largest as PNG).
PALETTE_SIZES = (32, 16)
SMOOTH_SIZES = (48, 256)
PNG_SIZES = (256,)


def shapes():
    """The picture in 32x32 units, back to front: ("rect", x0, y0, x1, y1, colour) with
    inclusive corners, and ("line", x0, y0, x1, y1, colour) through the cells it crosses."""
    out = []

    def rect(x0, y0, x1, y1, c):
        out.append(("rect", x0, y0, x1, y1, c))

    def line(x0, y0, x1, y1, c):
        out.append(("line", x0, y0, x1, y1, c))

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
    return out


def draw(size):
    """The pixel-art picture as rows of palette indices, top row first."""
    s = size / 32.0
    px = [[TRANSPARENT] * size for _ in range(size)]

    def put(x, y, c):
        if 0 <= x < size and 0 <= y < size:
            px[y][x] = c

    for kind, x0, y0, x1, y1, c in shapes():
        if kind == "rect":
            for y in range(round(y0 * s), round((y1 + 1) * s)):
                for x in range(round(x0 * s), round((x1 + 1) * s)):
                    put(x, y, c)
        else:
            # A plain DDA line.
            fx0, fy0, fx1, fy1 = x0 * s, y0 * s, x1 * s, y1 * s
            steps = max(1, int(max(abs(fx1 - fx0), abs(fy1 - fy0)) * 2))
            for i in range(steps + 1):
                t = i / steps
                put(int(fx0 + (fx1 - fx0) * t), int(fy0 + (fy1 - fy0) * t), c)
    return px


def render(size):
    """The smoothed picture: rows of (red, green, blue, alpha) bytes, top row first. Each
    shape covers a pixel by the share of its area (rectangles) or by its distance from the
    stroke's middle (lines, one unit wide), and is laid over what lies beneath."""
    s = size / 32.0
    # Premultiplied red, green, blue and alpha per pixel, as floats.
    acc = [[0.0, 0.0, 0.0, 0.0] for _ in range(size * size)]

    def lay(x, y, cover, c):
        if cover <= 0.0 or not (0 <= x < size and 0 <= y < size):
            return
        cover = min(cover, 1.0)
        r, g, b = COLOURS[c]
        p = acc[y * size + x]
        keep = 1.0 - cover
        p[0] = r * cover + p[0] * keep
        p[1] = g * cover + p[1] * keep
        p[2] = b * cover + p[2] * keep
        p[3] = cover + p[3] * keep

    for kind, x0, y0, x1, y1, c in shapes():
        if kind == "rect":
            left, top, right, bottom = x0 * s, y0 * s, (x1 + 1) * s, (y1 + 1) * s
            for y in range(int(top), min(size, int(bottom) + 1)):
                h = min(bottom, y + 1) - max(top, y)
                if h <= 0:
                    continue
                for x in range(int(left), min(size, int(right) + 1)):
                    w = min(right, x + 1) - max(left, x)
                    if w > 0:
                        lay(x, y, w * h, c)
        else:
            # The stroke runs through the middles of the cells the line names.
            ax, ay, bx, by = (x0 + 0.5) * s, (y0 + 0.5) * s, (x1 + 0.5) * s, (y1 + 0.5) * s
            half = 0.5 * s
            dx, dy = bx - ax, by - ay
            length2 = dx * dx + dy * dy
            for y in range(max(0, int(min(ay, by) - half - 1)),
                           min(size, int(max(ay, by) + half + 2))):
                for x in range(max(0, int(min(ax, bx) - half - 1)),
                               min(size, int(max(ax, bx) + half + 2))):
                    cx, cy = x + 0.5, y + 0.5
                    t = 0.0 if length2 == 0 else ((cx - ax) * dx + (cy - ay) * dy) / length2
                    t = max(0.0, min(1.0, t))
                    ex, ey = cx - (ax + t * dx), cy - (ay + t * dy)
                    distance = (ex * ex + ey * ey) ** 0.5
                    lay(x, y, half - distance + 0.5, c)

    rows = []
    for y in range(size):
        row = bytearray()
        for x in range(size):
            r, g, b, a = acc[y * size + x]
            if a <= 0.0:
                row += bytes(4)
            else:
                row += bytes((round(r / a), round(g / a), round(b / a), round(a * 255)))
        rows.append(bytes(row))
    return rows


def mask_rows(size, transparent):
    """The AND mask, bottom row first: a set bit where the pixel at (x, y) is transparent."""
    stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for y in reversed(range(size)):
        bits = bytearray(stride)
        for x in range(size):
            if transparent(x, y):
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return bytes(mask)


def palette_image(size):
    """One 256-colour image: BITMAPINFOHEADER, palette, XOR rows, AND mask rows (bottom-up)."""
    px = draw(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 8, 0, 0, 0, 0, 256, 0)
    palette = bytearray()
    for i in range(256):
        r, g, b = COLOURS.get(i, (0, 0, 0))
        palette += bytes((b, g, r, 0))
    xor_stride = (size + 3) & ~3
    xor = bytearray()
    for row in reversed(px):
        xor += bytes(row) + bytes(xor_stride - size)
    mask = mask_rows(size, lambda x, y: px[y][x] == TRANSPARENT)
    return header + bytes(palette) + bytes(xor) + mask


def argb_image(size):
    """One 32-bit image: BITMAPINFOHEADER, blue-green-red-alpha rows and the AND mask, both
    bottom-up. The mask still matters to the few places that draw icons without alpha."""
    rows = render(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = bytearray()
    for row in reversed(rows):
        for x in range(size):
            r, g, b, a = row[4 * x:4 * x + 4]
            xor += bytes((b, g, r, a))
    mask = mask_rows(size, lambda x, y: rows[y][4 * x + 3] == 0)
    return header + bytes(xor) + mask


def png_image(size):
    """One 32-bit image as a PNG file: eight-bit red, green, blue and alpha, unfiltered rows."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    raw = b"".join(b"\0" + row for row in render(size))
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) +
            chunk(b"IEND", b""))


def icon_file():
    # (size, bits per pixel, image bytes)
    images = [(n, 8, palette_image(n)) for n in PALETTE_SIZES]
    images += [(n, 32, png_image(n) if n in PNG_SIZES else argb_image(n)) for n in SMOOTH_SIZES]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for n, bits, data in images:
        # width, height (0 means 256), colour count (0: 256 or more), reserved, planes,
        # bit count, size, offset
        out += struct.pack("<BBBBHHII", n % 256, n % 256, 0, 0, 1, bits, len(data), offset)
        offset += len(data)
    for _, _, data in images:
        out += data
    return bytes(out)


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: make_icon.py OUTPUT.ico\n")
        return 2
    data = icon_file()
    with open(argv[1], "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
