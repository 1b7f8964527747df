#!/usr/bin/env python3
"""Draws the service's own artwork: the status window's banner (resources/banner.bmp, 347 x 42
pixels, the 231 x 26 dialog units of its place at the usual 8-point dialog font) and the program
icon (resources/service.ico, 32 x 32 and 16 x 16). Plain geometry, no fonts, reproducible:
run it again only when the artwork should change and commit the results."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "..", "resources")

NAVY = (22, 45, 92)
TEAL = (0, 150, 160)
WHITE = (255, 255, 255)


def mix(a, b, t):
    return tuple(int(round(x + (y - x) * t)) for x, y in zip(a, b))


def in_n_mark(x, y, size):
    """A stylised N in a size x size square: two posts and a diagonal."""
    stroke = max(2, size // 6)
    if x < stroke or x >= size - stroke:
        return True
    diagonal = y * (size - stroke) / max(1, size - 1)
    return diagonal - stroke / 2 <= x <= diagonal + stroke


def banner(width=347, height=42):
    rows = []
    for y in range(height):
        row = []
        for x in range(width):
            colour = mix(NAVY, TEAL, x / (width - 1))
            # the mark on the left, a thin rule along the bottom
            mark = 28
            mx, my = x - 10, y - (height - mark) // 2
            if 0 <= mx < mark and 0 <= my < mark and in_n_mark(mx, my, mark):
                colour = WHITE
            if y >= height - 3:
                colour = mix(TEAL, WHITE, 0.35)
            row.append(colour)
        rows.append(row)
    return rows


def bmp_pixels_24(rows):
    """Bottom-up BGR rows padded to four bytes."""
    data = bytearray()
    for row in reversed(rows):
        line = bytearray()
        for r, g, b in row:
            line += bytes((b, g, r))
        while len(line) % 4:
            line.append(0)
        data += line
    return bytes(data)


def write_bmp(path, rows):
    height, width = len(rows), len(rows[0])
    pixels = bmp_pixels_24(rows)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    with open(path, "wb") as f:
        f.write(header + info + pixels)


def icon_image(size):
    """32-bit BGRA image with its AND mask, as an icon directory entry holds it."""
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            inside = (x - (size - 1) / 2) ** 2 + (y - (size - 1) / 2) ** 2 <= (size / 2 - 0.5) ** 2
            if not inside:
                row.append((0, 0, 0, 0))
                continue
            colour = mix(NAVY, TEAL, y / (size - 1))
            margin = size // 4
            mx, my = x - margin, y - margin
            inner = size - 2 * margin
            if 0 <= mx < inner and 0 <= my < inner and in_n_mark(mx, my, inner):
                colour = WHITE
            row.append(colour + (255,))
        rows.append(row)
    xor = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    return info + bytes(xor) + bytes(mask)


def write_ico(path, sizes=(32, 16)):
    images = [icon_image(s) for s in sizes]
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for size, image in zip(sizes, images):
        entries += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    with open(path, "wb") as f:
        f.write(header + entries + b"".join(images))


if __name__ == "__main__":
    write_bmp(os.path.join(OUT, "banner.bmp"), banner())
    write_ico(os.path.join(OUT, "service.ico"))
