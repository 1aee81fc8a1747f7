#!/usr/bin/env python3
"""Draws the application icon as PNG files of the given sizes, the same
picture as resources/icons/beamwright.svg: a dark rounded tile, a lens on the
left and a beam widening to a bright screen on the right. Each pixel is the
mean of 4x4 samples, so edges are smooth at every size.
Usage: make-icon.py OUTPUT_DIR SIZE... (writes beamwright-SIZE.png)"""
import os
import struct
import sys
import zlib

# The picture on a 512 x 512 canvas, as in the SVG.
TILE = (16, 16, 496, 496, 96)          # x0, y0, x1, y1, corner radius
TILE_COLOUR = (29, 35, 48)
BEAM = ((150, 236), (150, 276), (420, 396), (420, 116))  # polygon, clockwise
BEAM_COLOUR = (255, 214, 140, 150)
SCREEN = (404, 104, 436, 408)
SCREEN_COLOUR = (245, 245, 240)
LENS = (128, 256, 58, 22)              # centre x, y, outer radius, ring width
LENS_RING = (232, 232, 232)
LENS_GLASS = (120, 170, 230)


def inside_rounded(x, y):
    x0, y0, x1, y1, r = TILE
    if not (x0 <= x <= x1 and y0 <= y <= y1):
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def inside_polygon(x, y, points):
    inside = False
    for i in range(len(points)):
        (xa, ya), (xb, yb) = points[i], points[(i + 1) % len(points)]
        if (ya > y) != (yb > y) and x < (xb - xa) * (y - ya) / (yb - ya) + xa:
            inside = not inside
    return inside


def sample(x, y):
    """Colour and alpha (0-255 floats) at canvas point (x, y)."""
    if not inside_rounded(x, y):
        return (0.0, 0.0, 0.0, 0.0)
    colour = list(TILE_COLOUR)
    if inside_polygon(x, y, BEAM):
        a = BEAM_COLOUR[3] / 255.0
        colour = [c * (1 - a) + b * a for c, b in zip(colour, BEAM_COLOUR[:3])]
    sx0, sy0, sx1, sy1 = SCREEN
    if sx0 <= x <= sx1 and sy0 <= y <= sy1:
        colour = list(SCREEN_COLOUR)
    cx, cy, r, ring = LENS
    d2 = (x - cx) ** 2 + (y - cy) ** 2
    if d2 <= r * r:
        colour = list(LENS_RING if d2 > (r - ring) ** 2 else LENS_GLASS)
    return (colour[0], colour[1], colour[2], 255.0)


def render(size):
    scale = 512.0 / size
    rows = []
    for py in range(size):
        row = bytearray(b"\x00")
        for px in range(size):
            total = [0.0, 0.0, 0.0, 0.0]
            for sy in range(4):
                for sx in range(4):
                    r, g, b, a = sample((px + (sx + 0.5) / 4) * scale,
                                        (py + (sy + 0.5) / 4) * scale)
                    total = [total[0] + r * a, total[1] + g * a, total[2] + b * a, total[3] + a]
            alpha = total[3] / 16
            if alpha == 0:
                row += bytes(4)
            else:
                row += bytes(int(round(total[i] / total[3])) for i in range(3))
                row += bytes([int(round(alpha))])
        rows.append(bytes(row))
    return b"".join(rows)


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def main():
    out_dir = sys.argv[1]
    for size in (int(s) for s in sys.argv[2:]):
        png = (b"\x89PNG\r\n\x1a\n" +
               chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
               chunk(b"IDAT", zlib.compress(render(size), 9)) + chunk(b"IEND", b""))
        with open(os.path.join(out_dir, "beamwright-%d.png" % size), "wb") as out:
            out.write(png)


if __name__ == "__main__":
    main()
