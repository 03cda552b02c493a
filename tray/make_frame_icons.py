#!/usr/bin/env python3
"""Writes the four animation frames of TrayHerald's notification icon as .ico files.

Each frame is one 16 x 16 image at 32 bits per pixel: a blue rounded square carrying a white
ring, one quarter of which is orange. The orange quarter goes round clockwise from frame 1
(top) to frame 4 (left), so four frames a second make one turn a second. The colours are
exact and opaque so that the end-to-end tests can find the icon, and tell its frame, in a
screenshot.

Usage: make_frame_icons.py OUTPUT_DIR
"""
import math
import os
import struct
import sys

SIZE = 16
BACK = (0x1F, 0x4E, 0x9A)
RING = (0xFF, 0xFF, 0xFF)
HIGHLIGHT = (0xFF, 0x8C, 0x00)
# Pixels left transparent at each corner, row by row from the corner inwards.
CORNER_CUT = (2, 1)


def quarter_of(dx, dy):
    """Quarter of the ring a point lies in: 0 top, 1 right, 2 bottom, 3 left."""
    angle = math.degrees(math.atan2(dy, dx))
    if 45 < angle <= 135:
        return 0
    if -45 < angle <= 45:
        return 1
    if -135 < angle <= -45:
        return 2
    return 3


def pixel(frame, x, y):
    """(r, g, b, a) of the pixel at column x, row y (row 0 at the top)."""
    for row, cut in enumerate(CORNER_CUT):
        if (y == row or y == SIZE - 1 - row) and (x < cut or x >= SIZE - cut):
            return (0, 0, 0, 0)
    dx = x + 0.5 - SIZE / 2
    dy = SIZE / 2 - (y + 0.5)
    if 3.5 <= math.hypot(dx, dy) <= 6.0:
        colour = HIGHLIGHT if quarter_of(dx, dy) == frame else RING
    else:
        colour = BACK
    return colour + (0xFF,)


def icon_file(frame):
    """The bytes of one .ico file holding frame (0 to 3)."""
    rows = [[pixel(frame, x, y) for x in range(SIZE)] for y in range(SIZE)]
    xor = bytearray()
    for row in reversed(rows):  # a DIB is stored bottom-up
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    mask_stride = ((SIZE + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = 0
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits |= 1 << (31 - x)
        mask += struct.pack(">I", bits)[:mask_stride]
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    image = header + xor + mask
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    return icondir + entry + image


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)
    for frame in range(4):
        path = os.path.join(out_dir, "frame%d.ico" % (frame + 1))
        with open(path, "wb") as f:
            f.write(icon_file(frame))


if __name__ == "__main__":
    main()
