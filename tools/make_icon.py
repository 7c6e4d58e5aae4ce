#!/usr/bin/env python3
"""Writes the launcher's application icon: a 32x32, 32-bit image of a box with an arrow
into it, drawn here so that the icon is the project's own and the same bytes every time."""
import struct
import sys

SIZE = 32


def pixel(x, y):
    # (b, g, r, a); y counts from the top.
    box = 6 <= x <= 25 and 14 <= y <= 27
    box_edge = box and (x in (6, 25) or y in (14, 27))
    shaft = 14 <= x <= 17 and 3 <= y <= 15
    head = 10 <= y <= 19 and abs(x - 15.5) <= (19 - y) * 0.75 and y >= 12
    if shaft or head:
        return (40, 160, 40, 255)
    if box_edge:
        return (90, 60, 30, 255)
    if box:
        return (90, 180, 230, 255)
    return (0, 0, 0, 0)


def main(path):
    rows = []
    for y in reversed(range(SIZE)):  # bottom-up, as in every device-independent bitmap
        rows.append(b"".join(struct.pack("4B", *pixel(x, y)) for x in range(SIZE)))
    xor = b"".join(rows)
    mask_row = b"\x00" * 4  # 32 pixels, 1 bit each, rows padded to 4 bytes; alpha rules
    and_mask = mask_row * SIZE
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    image = header + xor + and_mask
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    with open(path, "wb") as out:
        out.write(icondir + entry + image)


if __name__ == "__main__":
    main(sys.argv[1])
