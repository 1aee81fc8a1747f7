#!/usr/bin/env python3
"""Draws the cue list's 80x80 pictures of the three generators into a folder
(resources/images): black.png, a black square with a thin grey frame so that
it reads on a dark list; clear.png, a grey and white checkerboard, the usual
sign for transparency; grid.png, the alignment grid in small: white lines on
black, a bolder centre cross, a circle and both diagonals.
Usage: make-generator-images.py OUTPUT_DIR"""
import math
import os
import struct
import sys
import zlib

SIZE = 80
OPAQUE = 255

BLACK = (0, 0, 0)
FRAME = (96, 96, 96)
FRAME_WIDTH = 2

CHECK_LIGHT = (255, 255, 255)
CHECK_DARK = (204, 204, 204)
CHECK_SQUARE = 10

GRID_SPACING = 20
GRID_SUBSAMPLES = 4  # per side: the circle and diagonals are antialiased


def black(x, y):
    if min(x, y) < FRAME_WIDTH or max(x, y) >= SIZE - FRAME_WIDTH:
        return FRAME
    return BLACK


def clear(x, y):
    return CHECK_DARK if (x // CHECK_SQUARE + y // CHECK_SQUARE) % 2 else CHECK_LIGHT


def grid_lit(px, py):
    """Whether the point (px, py), in pixels from the top left, is on a line."""
    centre = SIZE / 2
    if min(px, py) < 1 or max(px, py) > SIZE - 1:
        return True  # border
    dx, dy = abs(px - centre), abs(py - centre)
    if dx < 1 or dy < 1:
        return True  # centre cross, two pixels wide
    for d in (dx, dy):
        # One pixel wide, on whole pixels: the picture's centre lies between two.
        e = d + 0.5
        if abs(e - GRID_SPACING * round(e / GRID_SPACING)) < 0.5:
            return True
    if abs(math.hypot(dx, dy) - (SIZE / 2 - 4)) < 0.6:
        return True  # circle
    return abs(px - py) < 0.6 or abs(px + py - SIZE) < 0.6  # diagonals


def grid(x, y):
    hits = 0
    for i in range(GRID_SUBSAMPLES):
        for j in range(GRID_SUBSAMPLES):
            hits += grid_lit(x + (i + 0.5) / GRID_SUBSAMPLES, y + (j + 0.5) / GRID_SUBSAMPLES)
    level = round(255 * hits / GRID_SUBSAMPLES ** 2)
    return (level, level, level)


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def png(pixel):
    rows = b"".join(
        b"\x00" + b"".join(bytes(pixel(x, y) + (OPAQUE,)) for x in range(SIZE))
        for y in range(SIZE))
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    for name, pixel in (("black", black), ("clear", clear), ("grid", grid)):
        with open(os.path.join(sys.argv[1], name + ".png"), "wb") as out:
            out.write(png(pixel))


if __name__ == "__main__":
    main()
