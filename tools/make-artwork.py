#!/usr/bin/env python3
"""Draws the Windows program's icons and logo as 16-colour .ico/.bmp files.

Usage: tools/make-artwork.py [OUTPUT_DIR]   (default: app/win32/res)

Every picture is drawn here from simple shapes on the standard 16-colour palette, so the
artwork is reproducible and needs nothing but Python. Each icon is drawn in unit
coordinates and sampled at 32x32 and 16x16, with pixel fonts for the digits and letters.
"""

import os
import struct
import sys

# The standard 16-colour palette, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, MAROON, GREEN, OLIVE, NAVY, PURPLE, TEAL, SILVER = range(8)
GRAY, RED, LIME, YELLOW, BLUE, FUCHSIA, AQUA, WHITE = range(8, 16)
CLEAR = None  # transparent pixel of an icon

# 5x7 glyphs for the few characters the pictures need.
FONT_5X7 = {
    "1": ["..#..", ".##..", "..#..", "..#..", "..#..", "..#..", ".###."],
    "2": [".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"],
    "A": [".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"],
    "B": ["####.", "#...#", "#...#", "####.", "#...#", "#...#", "####."],
    "I": [".###.", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."],
    "M": ["#...#", "##.##", "#.#.#", "#.#.#", "#...#", "#...#", "#...#"],
    "O": [".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."],
    "R": ["####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"],
    "Z": ["#####", "....#", "...#.", "..#..", ".#...", "#....", "#####"],
}
# 3x5 digits for the 16x16 step marks.
FONT_3X5 = {
    "1": [".#.", "##.", ".#.", ".#.", "###"],
    "2": ["##.", "..#", ".#.", "#..", "###"],
}


class Canvas:
    """A grid of palette indices (or CLEAR), origin at the top left."""

    def __init__(self, width, height, fill=CLEAR):
        self.width, self.height = width, height
        self.pixels = [[fill] * width for _ in range(height)]

    def put(self, x, y, colour):
        if 0 <= x < self.width and 0 <= y < self.height:
            self.pixels[y][x] = colour

    def fill_where(self, inside, colour):
        """Colours every pixel whose centre, in unit coordinates, satisfies inside(u, v)."""
        for y in range(self.height):
            for x in range(self.width):
                if inside((x + 0.5) / self.width, (y + 0.5) / self.height):
                    self.pixels[y][x] = colour

    def rect(self, u0, v0, u1, v1, colour):
        self.fill_where(lambda u, v: u0 <= u < u1 and v0 <= v < v1, colour)

    def disc(self, cu, cv, r, colour):
        self.fill_where(lambda u, v: (u - cu) ** 2 + (v - cv) ** 2 <= r * r, colour)

    def glyph(self, rows, x0, y0, colour, scale=1):
        for gy, row in enumerate(rows):
            for gx, cell in enumerate(row):
                if cell == "#":
                    for dy in range(scale):
                        for dx in range(scale):
                            self.put(x0 + gx * scale + dx, y0 + gy * scale + dy, colour)


# --- the pictures, each drawn on a square canvas of any size --------------------------


def draw_warning(c):
    c.disc(0.5, 0.5, 0.47, BLACK)
    c.disc(0.5, 0.5, 0.40, YELLOW)
    c.rect(0.43, 0.18, 0.57, 0.62, BLACK)
    c.rect(0.43, 0.70, 0.57, 0.82, BLACK)


def draw_computer(c):
    c.rect(0.06, 0.06, 0.94, 0.66, GRAY)  # monitor casing
    c.rect(0.14, 0.13, 0.86, 0.57, NAVY)  # screen
    c.rect(0.20, 0.20, 0.62, 0.28, AQUA)  # a few lines of text on the screen
    c.rect(0.20, 0.35, 0.74, 0.42, AQUA)
    c.rect(0.40, 0.66, 0.60, 0.75, GRAY)  # stand
    c.rect(0.04, 0.75, 0.96, 0.94, SILVER)  # desktop unit
    c.rect(0.04, 0.91, 0.96, 0.94, GRAY)
    c.rect(0.70, 0.81, 0.88, 0.85, BLACK)  # drive slot
    c.rect(0.12, 0.81, 0.18, 0.86, LIME)  # power lamp


def draw_instrument(c):
    c.rect(0.24, 0.02, 0.76, 0.98, BLACK)  # outline
    c.rect(0.28, 0.05, 0.72, 0.95, YELLOW)  # casing
    c.rect(0.33, 0.10, 0.67, 0.40, BLACK)  # screen bezel
    c.rect(0.36, 0.13, 0.64, 0.37, GREEN)  # screen
    c.rect(0.40, 0.20, 0.58, 0.24, LIME)  # reading on the screen
    for row in range(3):  # keypad
        for col in range(3):
            u = 0.34 + col * 0.11
            v = 0.48 + row * 0.14
            c.rect(u, v, u + 0.08, v + 0.09, BLACK)


def draw_arrow(c):
    c.rect(0.08, 0.40, 0.56, 0.60, BLACK)  # shaft
    c.fill_where(lambda u, v: 0.52 <= u <= 0.94 and abs(v - 0.5) <= (0.94 - u) * 0.78, BLACK)


def draw_step_mark(digit):
    def draw(c):
        c.disc(0.5, 0.5, 0.47, BLACK)
        c.disc(0.5, 0.5, 0.42, GREEN)
        if c.width >= 32:
            rows, scale = FONT_5X7[digit], 3
        else:
            rows, scale = FONT_3X5[digit], 2
        w, h = len(rows[0]) * scale, len(rows) * scale
        c.glyph(rows, (c.width - w) // 2, (c.height - h) // 2, WHITE, scale)

    return draw


def draw_logo(width, height):
    """The maker's logo: a sine trace in a navy badge beside a block-letter wordmark."""
    import math

    c = Canvas(width, height, WHITE)
    badge = 56
    for y in range(6, height - 6):
        for x in range(6, 6 + badge):
            c.put(x, y, NAVY)
    for x in range(12, badge):  # the measured signal across the badge
        t = (x - 12) / (badge - 12) * 2 * math.pi * 1.5
        y = int(round(height / 2 - math.sin(t) * 18))
        for dy in range(-2, 3):
            c.put(x, y + dy, YELLOW)
    text = "ZAMBRIO"
    scale = 4
    x = 6 + badge + 8
    y = (height - 7 * scale) // 2 - 4
    for ch in text:
        c.glyph(FONT_5X7[ch], x + 2, y + 2, SILVER, scale)  # drop shadow
        c.glyph(FONT_5X7[ch], x, y, NAVY, scale)
        x += 5 * scale + 3
    underline_y = y + 7 * scale + 6
    for yy in range(underline_y, underline_y + 3):
        for xx in range(6 + badge + 8, x - 3):
            c.put(xx, yy, RED)
    return c


# --- file writers ---------------------------------------------------------------------


def palette_bytes():
    return b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)


def packed_4bpp_rows(canvas, transparent_index=BLACK):
    """Bottom-up rows of 4-bit indices, each padded to a multiple of 4 bytes."""
    out = bytearray()
    stride = ((canvas.width * 4 + 31) // 32) * 4
    for y in reversed(range(canvas.height)):
        row = bytearray()
        for x in range(0, canvas.width, 2):
            hi = canvas.pixels[y][x]
            lo = canvas.pixels[y][x + 1] if x + 1 < canvas.width else CLEAR
            hi = transparent_index if hi is CLEAR else hi
            lo = transparent_index if lo is CLEAR else lo
            row.append((hi << 4) | lo)
        row.extend(b"\0" * (stride - len(row)))
        out += row
    return bytes(out)


def mask_rows(canvas):
    """Bottom-up AND mask: 1 where the icon is transparent."""
    out = bytearray()
    stride = ((canvas.width + 31) // 32) * 4
    for y in reversed(range(canvas.height)):
        row = bytearray(stride)
        for x in range(canvas.width):
            if canvas.pixels[y][x] is CLEAR:
                row[x // 8] |= 0x80 >> (x % 8)
        out += row
    return bytes(out)


def icon_image(canvas):
    xor = packed_4bpp_rows(canvas)
    mask = mask_rows(canvas)
    header = struct.pack("<IiiHHIIiiII", 40, canvas.width, canvas.height * 2, 1, 4, 0,
                         len(xor) + len(mask), 0, 0, 16, 0)
    return header + palette_bytes() + xor + mask


def write_icon(path, draw):
    images = []
    for size in (32, 16):
        canvas = Canvas(size, size)
        draw(canvas)
        images.append((size, icon_image(canvas)))
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    with open(path, "wb") as f:
        f.write(out)


def write_bitmap(path, canvas):
    pixels = packed_4bpp_rows(canvas, WHITE)
    info = struct.pack("<IiiHHIIiiII", 40, canvas.width, canvas.height, 1, 4, 0, len(pixels),
                       2835, 2835, 16, 0)
    offset = 14 + len(info) + 16 * 4
    file_header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    with open(path, "wb") as f:
        f.write(file_header + info + palette_bytes() + pixels)


ICONS = {
    "warning.ico": draw_warning,  # 132
    "computer.ico": draw_computer,  # 144
    "instrument.ico": draw_instrument,  # 150
    "arrow.ico": draw_arrow,  # 154
    "step2.ico": draw_step_mark("2"),  # 159
    "step1.ico": draw_step_mark("1"),  # 160
}
LOGO_SIZE = (245, 75)  # 151


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "app", "win32", "res")
    os.makedirs(out_dir, exist_ok=True)
    for name, draw in ICONS.items():
        write_icon(os.path.join(out_dir, name), draw)
    write_bitmap(os.path.join(out_dir, "logo.bmp"), draw_logo(*LOGO_SIZE))


if __name__ == "__main__":
    main()
