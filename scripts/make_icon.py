#!/usr/bin/env python3
"""Draws the helper's icon (a pointer on a rounded square) as a PNG.

The committed resources/AppIcon.icns was made with:
    python3 scripts/make_icon.py icon.png && png2icns resources/AppIcon.icns icon.png
"""
import struct
import sys
import zlib

SIZE = 128


def inside_arrow(x, y):
    # A classic pointer: tip at (40, 28), pointing up-left.
    px, py = x - 40, y - 28
    if px < 0 or py < 0 or py > 70:
        return False
    if py <= 52:
        return px <= py * 0.62
    # the tail
    return 14 <= px <= 30 and px >= (py - 52) * 0.45 + 12 and px <= (py - 52) * 0.45 + 26


def pixel(x, y):
    r = 22
    cx = min(max(x, r), SIZE - 1 - r)
    cy = min(max(y, r), SIZE - 1 - r)
    if (x - cx) ** 2 + (y - cy) ** 2 > r * r:
        return (0, 0, 0, 0)
    if inside_arrow(x, y):
        edge = inside_arrow(x - 2, y) and inside_arrow(x + 2, y) and inside_arrow(x, y - 2) and inside_arrow(x, y + 2)
        return (255, 255, 255, 255) if edge else (20, 30, 40, 255)
    t = y / SIZE
    return (int(20 + 30 * t), int(140 - 60 * t), int(160 + 40 * t), 255)


def main(path):
    rows = b"".join(b"\0" + bytes(c for x in range(SIZE) for c in pixel(x, y)) for y in range(SIZE))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


if __name__ == "__main__":
    main(sys.argv[1])
