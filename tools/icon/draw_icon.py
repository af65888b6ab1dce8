#!/usr/bin/env python3
"""Draws the program's icon and writes it as a Windows .ico file.

    draw_icon.py OUTPUT.ico [PREVIEW.png]

The icon is a brush laying down a stroke of paint, drawn from shapes (no
image file is its source), at 16, 32 and 48 pixels, each a 32-bit image with
its alpha channel. Only arithmetic and square roots are used, so that every
machine draws the same bytes.
"""
import struct
import sys
import zlib

SIZES = (16, 32, 48)
SUPERSAMPLING = 4  # samples per pixel along each axis

# Colours, red, green, blue.
PAINT = (0xE8, 0x6A, 0x1E)       # the stroke and the loaded bristles
PAINT_DARK = (0xB4, 0x45, 0x0A)
BRISTLES = (0x3A, 0x2A, 0x22)
FERRULE = (0xB8, 0xBE, 0xC6)
FERRULE_DARK = (0x6E, 0x76, 0x80)
HANDLE = (0x2F, 0x6F, 0xC0)
HANDLE_DARK = (0x1B, 0x47, 0x86)


def segment_distance(px, py, ax, ay, bx, by):
    """Distance from (px, py) to the segment from (ax, ay) to (bx, by), and
    where along it the nearest point lies (0 at a, 1 at b)."""
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)
    t = max(0.0, min(1.0, t))
    nx, ny = ax + t * dx - px, ay + t * dy - py
    return (nx * nx + ny * ny) ** 0.5, t


def shade(light, dark, amount):
    return tuple(l + (d - l) * amount for l, d in zip(light, dark))


def sample(x, y):
    """Colour and coverage (0 or 1) of the point (x, y) of the unit square,
    y downwards; the topmost shape that holds the point wins."""
    # The brush lies along the diagonal from the upper right (the end of the
    # handle) to the lower left (the tip of the bristles).
    ax, ay = 0.90, 0.10
    bx, by = 0.30, 0.70
    distance, t = segment_distance(x, y, ax, ay, bx, by)
    # Which side of the brush the point is on: light above, dark below.
    side = ((bx - ax) * (y - ay) - (by - ay) * (x - ax)) > 0
    if t < 0.55 and distance < 0.075 - 0.03 * t:
        return shade(HANDLE, HANDLE_DARK, 0.6 if side else 0.0), 1
    if 0.55 <= t < 0.72 and distance < 0.085:
        return shade(FERRULE, FERRULE_DARK, 0.7 if side else 0.0), 1
    if 0.72 <= t and distance < 0.085 - 0.06 * (t - 0.72) / 0.28 + 0.02:
        return (PAINT if t > 0.9 else BRISTLES), 1
    # The tip of the bristles, rounded.
    tx, ty = bx - 0.045, by + 0.045
    if (x - tx) ** 2 + (y - ty) ** 2 < 0.06 ** 2:
        return PAINT, 1
    # The stroke: a thick band from the tip across to the right, its lower
    # edge darker.
    stroke, _ = segment_distance(x, y, 0.22, 0.80, 0.88, 0.80)
    if stroke < 0.075:
        return shade(PAINT, PAINT_DARK, 1.0 if y > 0.83 else 0.0), 1
    return (0, 0, 0), 0


def draw(size):
    """Rows of (red, green, blue, alpha) pixels, top row first."""
    rows = []
    n = SUPERSAMPLING
    for row in range(size):
        pixels = []
        for column in range(size):
            red = green = blue = covered = 0.0
            for sy in range(n):
                for sx in range(n):
                    x = (column + (sx + 0.5) / n) / size
                    y = (row + (sy + 0.5) / n) / size
                    colour, coverage = sample(x, y)
                    if coverage:
                        red += colour[0]
                        green += colour[1]
                        blue += colour[2]
                        covered += 1
            alpha = round(255 * covered / (n * n))
            if covered:
                # Colour weighted by coverage only: the alpha blends the edges.
                pixels.append((round(red / covered), round(green / covered), round(blue / covered), alpha))
            else:
                pixels.append((0, 0, 0, 0))
        rows.append(pixels)
    return rows


def icon_image(rows):
    """One image of the .ico: a BITMAPINFOHEADER, the pixels bottom-up in
    BGRA, then the 1-bit mask (set where fully transparent)."""
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for column, (_, _, _, alpha) in enumerate(row):
            if alpha == 0:
                bits[column // 8] |= 0x80 >> (column % 8)
        mask += bits
    return header + pixels + bytes(mask)


def ico(images):
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for size, data in images:
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return directory + entries + b"".join(data for _, data in images)


def png(rows):
    """A PNG of the rows, to look at the drawing."""
    size = len(rows)
    raw = b"".join(b"\0" + bytes(v for pixel in row for v in pixel) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    drawings = {size: draw(size) for size in SIZES}
    with open(sys.argv[1], "wb") as out:
        out.write(ico([(size, icon_image(drawings[size])) for size in SIZES]))
    if len(sys.argv) == 3:
        with open(sys.argv[2], "wb") as out:
            out.write(png(drawings[max(SIZES)]))


if __name__ == "__main__":
    main()
