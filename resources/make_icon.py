#!/usr/bin/env python3
"""Writes tarvolo.ico: one 32 by 32 image in 16 colours (a handset with a down arrow).
Run it again only to change the picture; the .ico is checked in."""
import struct

PALETTE = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
           (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
           (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]
BLACK, NAVY, GRAY, SILVER, GREEN, YELLOW, WHITE = 0, 4, 8, 7, 10, 11, 15


def picture():
    px = [[None] * 32 for _ in range(32)]  # None: transparent
    for y in range(2, 30):                 # handset body
        for x in range(9, 23):
            px[y][x] = BLACK if x in (9, 22) or y in (2, 29) else SILVER
    for y in range(5, 14):                 # screen
        for x in range(11, 21):
            px[y][x] = GREEN
    for y in range(17, 27, 3):             # keypad
        for x in (12, 15, 18):
            px[y][x] = px[y][x + 1] = GRAY
    for y in range(6, 11):                 # arrow into the screen
        px[y][15] = px[y][16] = NAVY
    for i, y in enumerate(range(10, 13)):
        for x in range(13 + i, 19 - i):
            px[y][x] = NAVY
    return px


def icon_bytes():
    px = picture()
    header = struct.pack('<IiiHHIIiiII', 40, 32, 64, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b''.join(bytes((b, g, r, 0)) for r, g, b in PALETTE)
    xor, mask = b'', b''
    for y in reversed(range(32)):          # bottom-up rows
        row = px[y]
        xor += bytes(((row[x] or 0) << 4) | (row[x + 1] or 0) for x in range(0, 32, 2))
        bits = 0
        for x in range(32):
            bits = (bits << 1) | (1 if row[x] is None else 0)
        mask += struct.pack('>I', bits)
    image = header + palette + xor + mask
    directory = struct.pack('<HHH', 0, 1, 1) + struct.pack('<BBBBHHII', 32, 32, 16, 0, 1, 4,
                                                           len(image), 22)
    return directory + image


if __name__ == '__main__':
    with open('tarvolo.ico', 'wb') as f:
        f.write(icon_bytes())
