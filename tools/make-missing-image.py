#!/usr/bin/env python3
"""Draws resources/images/missing.png: the 80x80 picture shown for media that
cannot be read. A dark grey tile with a lighter frame and a diagonal cross.
Usage: make-missing-image.py OUTPUT.png"""
import struct
import sys
import zlib

SIZE = 80
BACKGROUND = (48, 48, 48, 255)
FRAME = (96, 96, 96, 255)
CROSS = (200, 64, 64, 255)


def pixel(x, y):
    if x < 2 or y < 2 or x >= SIZE - 2 or y >= SIZE - 2:
        return FRAME
    inset = 14
    if inset <= x < SIZE - inset and inset <= y < SIZE - inset:
        if abs(x - y) <= 2 or abs(x + y - (SIZE - 1)) <= 2:
            return CROSS
    return BACKGROUND


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def main():
    rows = b"".join(
        b"\x00" + b"".join(bytes(pixel(x, y)) for x in range(SIZE)) for y in range(SIZE))
    png = (b"\x89PNG\r\n\x1a\n" +
           chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)) +
           chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))
    with open(sys.argv[1], "wb") as out:
        out.write(png)


if __name__ == "__main__":
    main()
