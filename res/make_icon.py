#!/usr/bin/env python3
"""Writes app.ico: one 32 x 32 image in 16 colours.

The picture is a forwarder: two sockets, one on each side, joined by an
arrow going over to the right and one coming back to the left.
Run it from anywhere; it writes the icon beside itself.
"""
import os
import struct

# The standard 16-colour palette, as (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, DGREEN, NAVY, SILVER, GRAY, GREEN, BLUE, WHITE = 0, 2, 4, 7, 8, 10, 12, 15

SIZE = 32
pixels = [[None] * SIZE for _ in range(SIZE)]  # None is transparent


def fill(x0, y0, x1, y1, colour):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            pixels[y][x] = colour


def socket(x0):
    """A grey box with a dark frame and two holes, 8 wide, 16 high."""
    fill(x0, 8, x0 + 7, 23, BLACK)
    fill(x0 + 1, 9, x0 + 6, 22, SILVER)
    fill(x0 + 1, 9, x0 + 6, 9, WHITE)
    fill(x0 + 3, 12, x0 + 4, 13, BLACK)
    fill(x0 + 3, 18, x0 + 4, 19, BLACK)


def arrow(y, to_right, body, edge):
    """A horizontal arrow between the sockets, centred on row y."""
    shaft_from, shaft_to = (9, 17) if to_right else (14, 22)
    fill(shaft_from, y - 1, shaft_to, y + 1, body)
    for i in range(5):
        x = (18 + i) if to_right else (13 - i)
        fill(x, y - 4 + i, x, y + 4 - i, body)
    # A dark outline makes the arrow read on light and dark backgrounds.
    for yy in range(y - 5, y + 6):
        for xx in range(8, 24):
            if pixels[yy][xx] == body:
                continue
            near = any(pixels[yy + dy][xx + dx] == body
                       for dy in (-1, 0, 1) for dx in (-1, 0, 1))
            if near and pixels[yy][xx] is None:
                pixels[yy][xx] = edge


socket(0)
socket(24)
arrow(11, True, GREEN, DGREEN)
arrow(20, False, BLUE, NAVY)


def icon_bytes():
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    colour_rows = b""
    mask_rows = b""
    for row in reversed(pixels):  # bitmaps are stored bottom-up
        nibbles = [0 if p is None else p for p in row]
        colour_rows += bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, SIZE, 2))
        bits = 0
        for p in row:
            bits = (bits << 1) | (1 if p is None else 0)
        mask_rows += struct.pack(">I", bits)
    image = header + palette + colour_rows + mask_rows
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


if __name__ == "__main__":
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "app.ico")
    with open(path, "wb") as f:
        f.write(icon_bytes())
