#!/usr/bin/env python3
"""Draws Rilvet-48's button pictures and icons as 32 x 32 BMP files.

Every picture is plain pixel art on a 32 x 32 grid, written without any image
library. The program makes the colour of a picture's lower-left pixel
transparent, so each picture's ground colour sits in that corner and is never
used by the motif itself (the script checks this before writing).

Usage: draw_icons.py [OUTPUT_DIR]   (default: src/ui/resources of this repo)
"""

import math
import os
import struct
import sys

SIZE = 32


class Canvas:
    """A 32 x 32 grid of (r, g, b) tuples; (0, 0) is the top-left pixel."""

    def __init__(self, ground):
        self.ground = ground
        self.px = [[ground] * SIZE for _ in range(SIZE)]

    def set(self, x, y, colour):
        if 0 <= x < SIZE and 0 <= y < SIZE:
            self.px[y][x] = colour

    def get(self, x, y):
        return self.px[y][x]

    def rect(self, x0, y0, x1, y1, colour):
        """Fills the rectangle with corners (x0, y0) and (x1, y1), inclusive."""
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.set(x, y, colour)

    def shape(self, inside, colour):
        """Fills every pixel whose centre satisfies inside(x, y)."""
        for y in range(SIZE):
            for x in range(SIZE):
                if inside(x + 0.5, y + 0.5):
                    self.set(x, y, colour)

    def glyph(self, x0, y0, rows, colour, scale=1):
        """Draws a bitmap given as strings ('#' = set) with its top-left at (x0, y0)."""
        for gy, row in enumerate(rows):
            for gx, ch in enumerate(row):
                if ch == "#":
                    self.rect(x0 + gx * scale, y0 + gy * scale,
                              x0 + gx * scale + scale - 1, y0 + gy * scale + scale - 1, colour)

    def colours(self):
        return {c for row in self.px for c in row}

    def count(self, colour):
        return sum(row.count(colour) for row in self.px)


def seg_dist(px, py, ax, ay, bx, by):
    """Distance from point p to the segment a-b."""
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / float(dx * dx + dy * dy)
    t = max(0.0, min(1.0, t))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def outline(canvas, mask, colour, diagonal=False):
    """Paints `colour` on ground pixels that touch a pixel of `mask` (a set of (x, y))."""
    steps = [(1, 0), (-1, 0), (0, 1), (0, -1)]
    if diagonal:
        steps += [(1, 1), (1, -1), (-1, 1), (-1, -1)]
    for (x, y) in list(mask):
        for dx, dy in steps:
            nx, ny = x + dx, y + dy
            if (0 <= nx < SIZE and 0 <= ny < SIZE and (nx, ny) not in mask
                    and canvas.get(nx, ny) == canvas.ground):
                canvas.set(nx, ny, colour)


# ---------------------------------------------------------------- colours

GREY = (192, 192, 192)        # the grey ground of several buttons
BLACK = (0, 0, 0)
WHITE = (255, 255, 255)


# ---------------------------------------------------------------- pictures

def chequered_flag(light, dark, edge):
    """A waving chequered flag on a pole; `light`/`dark` are the two shades of
    the coloured squares, the other squares are white (shaded on the far side
    of the wave)."""
    c = Canvas(GREY)
    width, height, square = 24, 16, 4
    left, top = 7, 4

    # The wave moves whole columns of squares, one pixel per column of
    # squares, so the squares stay square and the edges step cleanly.
    def phase(u):
        return 2 * math.pi * ((u // square) + 0.5) * square / width

    def wave(u):
        return round(1.6 * math.sin(phase(u)))

    def slope(u):
        return math.cos(phase(u))

    mask = set()
    for u in range(width):
        far = slope(u) < -0.5  # the part of the wave turned away from the light
        for y in range(SIZE):
            v = y + 0.5 - top - wave(u)
            if not 0.0 <= v < height:
                continue
            x = left + u
            if ((u // square) + int(v // square)) % 2 == 0:
                colour = dark if far else light
            else:
                colour = (212, 212, 212) if far else WHITE
            c.set(x, y, colour)
            mask.add((x, y))
    outline(c, mask, edge)

    # The pole with a golden knob, drawn over the flag's hoist edge.
    wood, wood_light = (96, 56, 24), (160, 104, 56)
    c.rect(5, 4, 6, 31, wood)
    c.rect(5, 4, 5, 31, wood_light)
    c.shape(lambda x, y: math.hypot(x - 6.0, y - 3.0) <= 2.3, (120, 80, 0))
    c.shape(lambda x, y: math.hypot(x - 5.6, y - 2.6) <= 1.5, (255, 208, 0))
    c.set(5, 2, (255, 248, 176))
    return c


def start_picture():
    return chequered_flag((0, 200, 0), (0, 140, 0), (0, 80, 0))


def stop_picture():
    return chequered_flag((232, 0, 0), (168, 0, 0), (96, 0, 0))


def inputs_picture():
    c = Canvas((255, 255, 192))
    rings = [  # centre, colour
        ((11.0, 11.0), (232, 0, 0)),
        ((21.0, 11.0), (0, 168, 0)),
        ((16.0, 20.0), (0, 72, 255)),
    ]
    outer, inner = 7.5, 4.6

    def on_ring(i, x, y):
        (cx, cy) = rings[i][0]
        return inner <= math.hypot(x - cx, y - cy) <= outer

    def over(i, j, x, y):
        """Whether ring i passes over ring j at (x, y): chain-link interlacing,
        i on top at one crossing of the two and under at the other."""
        (ax, ay), (bx, by) = rings[i][0], rings[j][0]
        cross = (bx - ax) * (y - ay) - (by - ay) * (x - ax)
        return cross <= 0 if i < j else cross > 0

    for y in range(SIZE):
        for x in range(SIZE):
            px, py = x + 0.5, y + 0.5
            covering = [i for i in range(len(rings)) if on_ring(i, px, py)]
            if not covering:
                continue
            top_ring = covering[0]
            for other in covering[1:]:
                if over(other, top_ring, px, py):
                    top_ring = other
            c.set(x, y, rings[top_ring][1])
    return c


DIGITS = {
    "1": [".....###....",
          "....####....",
          "...#####....",
          "..##.###....",
          ".##..###....",
          ".....###....",
          ".....###....",
          ".....###....",
          ".....###....",
          ".....###....",
          ".....###....",
          ".....###....",
          ".....###....",
          ".....###....",
          ".....###....",
          ".....###....",
          "..#########.",
          "..#########."],
    "2": ["..########..",
          ".##########.",
          "###......###",
          "###......###",
          ".........###",
          ".........###",
          "........###.",
          ".......####.",
          ".....#####..",
          "....####....",
          "...####.....",
          "..####......",
          ".###........",
          "###.........",
          "###.........",
          "###.........",
          "############",
          "############"],
    "3": ["..########..",
          ".##########.",
          "###......###",
          "###......###",
          ".........###",
          ".........###",
          "........####",
          "....#######.",
          "....######..",
          "....#######.",
          "........####",
          ".........###",
          ".........###",
          ".........###",
          "###......###",
          "###......###",
          ".##########.",
          "..########.."],
}

KEY_CORNER = (0, 40, 0)  # lower-left pixel of the keys; used nowhere else


def key_picture(digit):
    """A raised green square key filling the whole picture, with a big digit."""
    border, light, face, shadow = (0, 64, 0), (128, 255, 128), (0, 192, 0), (0, 112, 0)
    digit_colour, digit_shadow = WHITE, (0, 80, 0)
    c = Canvas(face)
    for y in range(SIZE):
        for x in range(SIZE):
            if x in (0, SIZE - 1) or y in (0, SIZE - 1):
                c.set(x, y, border)
            elif x <= 2 or y <= 2:
                # Top and left bevel; the two diagonal corners split the bevels.
                lit = (x <= 2 and y <= SIZE - 1 - x) or (y <= 2 and x <= SIZE - 1 - y)
                c.set(x, y, light if lit else shadow)
            elif x >= SIZE - 3 or y >= SIZE - 3:
                c.set(x, y, shadow)
    rows = DIGITS[digit]
    gx, gy = 10, 7
    c.glyph(gx + 1, gy + 1, rows, digit_shadow)
    c.glyph(gx, gy, rows, digit_colour)
    c.set(0, SIZE - 1, KEY_CORNER)
    return c


def clear_picture():
    c = Canvas((0, 0, 128))
    ends = [((7.0, 7.0), (25.0, 25.0)), ((25.0, 7.0), (7.0, 25.0))]
    red, light, dark = (232, 0, 0), (255, 112, 112), (120, 0, 0)
    mask = set()
    for y in range(SIZE):
        for x in range(SIZE):
            px, py = x + 0.5, y + 0.5
            d = min(seg_dist(px, py, a[0], a[1], b[0], b[1]) for a, b in ends)
            if d <= 2.6:
                mask.add((x, y))
                c.set(x, y, red)
    # Light upper-left and dark lower-right rims give the cross some relief.
    for (x, y) in mask:
        if (x - 1, y) not in mask or (x, y - 1) not in mask:
            c.set(x, y, light)
    for (x, y) in mask:
        if (x + 1, y) not in mask or (x, y + 1) not in mask:
            c.set(x, y, dark)
    outline(c, mask, (0, 0, 48))
    return c


def help_picture():
    c = Canvas((0, 64, 200))
    yellow, edge = (255, 240, 0), (96, 64, 0)
    cx, cy = 16.0, 10.5
    r_out, r_in = 7.6, 3.6

    def hook(x, y):
        d = math.hypot(x - cx, y - cy)
        if not r_in <= d <= r_out:
            return False
        angle = math.degrees(math.atan2(-(y - cy), x - cx))  # 0 = right, 90 = up
        return -60.0 <= angle <= 180.0 or (angle < -150.0 and y < cy + 1.5)

    def stem(x, y):
        # From the end of the hook down to the stem, then straight down.
        return (seg_dist(x, y, 19.2, 15.2, 16.0, 18.5) <= 2.0
                or (14.0 <= x <= 18.0 and 17.0 <= y <= 22.0))

    def dot(x, y):
        return 14.0 <= x <= 18.0 and 24.0 <= y <= 28.0 and not (
            (x < 14.6 or x > 17.4) and (y < 24.6 or y > 27.4))

    mask = set()
    for y in range(SIZE):
        for x in range(SIZE):
            px, py = x + 0.5, y + 0.5
            if hook(px, py) or stem(px, py) or dot(px, py):
                mask.add((x, y))
                c.set(x, y, yellow)
    outline(c, mask, edge)
    return c


def portrait(ground):
    """Head and shoulders of a smiling person; at most 16 colours."""
    c = Canvas(ground)
    skin, skin_dark = (248, 200, 152), (208, 144, 96)
    hair, hair_dark = (128, 64, 16), (72, 32, 8)
    line = (64, 24, 8)
    shirt, shirt_dark = (32, 80, 200), (16, 40, 128)
    white, mouth, iris = WHITE, (200, 32, 32), (24, 64, 136)

    # Shoulders and chest: the top of a wide ellipse cut by the bottom edge.
    body = lambda x, y: ((x - 16) / 13.0) ** 2 + ((y - 33.5) / 9.5) ** 2 <= 1.0
    c.shape(body, shirt)
    c.shape(lambda x, y: body(x, y) and not (((x - 16) / 12.0) ** 2 + ((y - 34.0) / 8.6) ** 2 <= 1.0),
            shirt_dark)
    # Neck and a white collar.
    c.rect(13, 21, 18, 25, skin_dark)
    c.shape(lambda x, y: y >= 24.0 and y <= 28.0 and abs(x - 16) <= (y - 23.0) * 1.1
            and abs(x - 16) >= (y - 24.0) * 0.9 - 0.5, white)
    # Ears, face, then the hair over the top of the head.
    c.shape(lambda x, y: math.hypot(x - 8.6, y - 13.5) <= 1.9, skin_dark)
    c.shape(lambda x, y: math.hypot(x - 23.4, y - 13.5) <= 1.9, skin_dark)
    face = lambda x, y: ((x - 16) / 7.4) ** 2 + ((y - 13.0) / 9.2) ** 2 <= 1.0
    c.shape(face, skin)
    head = lambda x, y: ((x - 16) / 8.2) ** 2 + ((y - 11.0) / 9.0) ** 2 <= 1.0
    fringe = lambda x, y: y < 7.5 + 1.6 * math.sin((x - 8.0) / 2.2)
    c.shape(lambda x, y: head(x, y) and (fringe(x, y) or (y < 14.0 and abs(x - 16) > 6.4)), hair)
    c.shape(lambda x, y: head(x, y) and y < 4.0, hair_dark)
    # Eyes with brows, nose, cheeks and a smile.
    for ex in (12, 19):
        c.rect(ex - 1, 9, ex + 1, 9, hair_dark)          # brow
        c.rect(ex - 1, 11, ex + 1, 12, white)             # eye white
        c.rect(ex, 11, ex, 12, iris)                       # pupil
    c.rect(16, 13, 16, 15, skin_dark)                     # nose
    c.set(15, 15, skin_dark)
    c.rect(13, 18, 18, 18, mouth)                         # smile
    c.set(12, 17, mouth)
    c.set(19, 17, mouth)
    # Outline the figure against the ground.
    mask = {(x, y) for y in range(SIZE) for x in range(SIZE) if c.get(x, y) != ground}
    outline(c, mask, line)
    return c


def about_picture():
    return portrait(GREY)


def exit_picture():
    c = Canvas(GREY)
    frame, frame_light = (112, 56, 16), (176, 104, 48)
    dark, darker = (40, 40, 56), (16, 16, 24)
    leaf, leaf_dark, knob = (184, 112, 48), (128, 72, 24), (255, 216, 0)
    # Door frame and the dark opening behind the open door.
    c.rect(14, 2, 29, 31, frame)
    c.rect(14, 2, 14, 31, frame_light)
    c.rect(14, 2, 29, 2, frame_light)
    c.rect(16, 4, 27, 31, dark)
    c.rect(16, 4, 17, 31, darker)
    # The door leaf, swung inwards on its right-hand hinge, seen in perspective.
    c.shape(lambda x, y: 22.0 <= x <= 28.0 and (4.0 + (28.0 - x) * 0.45) <= y
            <= (32.0 - (28.0 - x) * 0.45), leaf)
    c.shape(lambda x, y: 22.0 <= x <= 23.0 and (4.0 + (28.0 - x) * 0.45) <= y
            <= (32.0 - (28.0 - x) * 0.45), leaf_dark)
    c.rect(24, 16, 24, 17, knob)
    # Threshold.
    c.rect(14, 31, 29, 31, (88, 88, 88))
    # The cyan arrow pointing into the doorway.
    cyan, cyan_edge = (0, 255, 255), (0, 96, 112)
    shaft = lambda x, y: 2.0 <= x <= 12.0 and 14.0 <= y <= 20.0
    head = lambda x, y: 11.0 <= x <= 21.5 and abs(y - 17.0) <= (21.5 - x) * 0.85
    mask = set()
    for y in range(SIZE):
        for x in range(SIZE):
            if shaft(x + 0.5, y + 0.5) or head(x + 0.5, y + 0.5):
                mask.add((x, y))
    for (x, y) in mask:
        c.set(x, y, cyan)
    for (x, y) in mask:
        if any((x + dx, y + dy) not in mask for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1))):
            c.set(x, y, cyan_edge)
    c.set(0, SIZE - 1, GREY)  # keep the ground colour in the corner
    return c


SHEET_DIGITS = {
    "1": ["..#.",
          ".##.",
          "..#.",
          "..#.",
          "..#.",
          "..#.",
          ".###"],
    "0": [".##.",
          "#..#",
          "#..#",
          "#..#",
          "#..#",
          "#..#",
          ".##."],
}


def app_icon():
    """A white sheet with a folded corner bearing two rows of blue binary digits."""
    teal = (0, 128, 128)
    c = Canvas(teal)
    left, right, top, bottom, fold = 4, 27, 1, 30, 6
    shadow, edge, fold_colour = (0, 64, 64), BLACK, (192, 192, 192)
    blue = (0, 0, 255)

    def on_sheet(x, y):
        return left <= x <= right and top <= y <= bottom and (x - (right - fold)) <= (y - top)

    c.rect(left + 1, top + 1, right + 1, bottom + 1, shadow)
    c.shape(lambda x, y: on_sheet(int(x), int(y)), WHITE)
    # Outline: sheet pixels with a neighbour off the sheet.
    for y in range(SIZE):
        for x in range(SIZE):
            if on_sheet(x, y) and any(not on_sheet(x + dx, y + dy)
                                      for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1))):
                c.set(x, y, edge)
    # The folded-over corner.
    for y in range(top, top + fold + 1):
        for x in range(right - fold, right + 1):
            if (x - (right - fold)) <= (y - top):
                c.set(x, y, fold_colour)
    for i in range(fold + 1):
        c.set(right - fold, top + i, edge)
        c.set(right - fold + i, top + fold, edge)
        c.set(right - fold + i, top + i, edge)
    for row, text in ((10, "1011"), (20, "0110")):
        for i, ch in enumerate(text):
            c.glyph(left + 2 + 5 * i, row, SHEET_DIGITS[ch], blue)
    return c


# ---------------------------------------------------------------- BMP files

def bmp_24(canvas):
    row_bytes = SIZE * 3  # 96, already a multiple of 4
    pixels = bytearray()
    for y in range(SIZE - 1, -1, -1):  # bottom-up
        for x in range(SIZE):
            r, g, b = canvas.get(x, y)
            pixels += bytes((b, g, r))
    assert len(pixels) == row_bytes * SIZE
    return bmp_headers(24, 0, len(pixels), b"") + bytes(pixels)


def bmp_4(canvas):
    palette = sorted(canvas.colours())
    if len(palette) > 16:
        raise SystemExit("icon uses %d colours, 16 at most" % len(palette))
    palette += [(0, 0, 0)] * (16 - len(palette))
    index = {colour: i for i, colour in reversed(list(enumerate(palette)))}
    pal = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    pixels = bytearray()
    for y in range(SIZE - 1, -1, -1):
        for x in range(0, SIZE, 2):
            pixels.append(index[canvas.get(x, y)] << 4 | index[canvas.get(x + 1, y)])
    return bmp_headers(4, 16, len(pixels), pal) + bytes(pixels)


def bmp_headers(bits, colours_used, image_size, palette):
    offset = 14 + 40 + len(palette)
    file_header = struct.pack("<2sIHHI", b"BM", offset + image_size, 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE, 1, bits, 0, image_size,
                       2835, 2835, colours_used, 0)
    return file_header + info + palette


# ---------------------------------------------------------------- checks

def check(name, canvas, lone_corner):
    corner = canvas.get(0, SIZE - 1)
    if lone_corner:
        # Only the corner pixel may become transparent.
        assert canvas.count(corner) == 1, "%s: corner colour used elsewhere" % name
    else:
        assert corner == canvas.ground, "%s: lower-left pixel is not the ground" % name


PICTURES = [
    # file, drawing, writer, the corner colour is used by that pixel alone
    ("start.bmp", start_picture, bmp_24, False),
    ("stop.bmp", stop_picture, bmp_24, False),
    ("inputs.bmp", inputs_picture, bmp_24, False),
    ("input1.bmp", lambda: key_picture("1"), bmp_24, True),
    ("input2.bmp", lambda: key_picture("2"), bmp_24, True),
    ("input3.bmp", lambda: key_picture("3"), bmp_24, True),
    ("clear.bmp", clear_picture, bmp_24, False),
    ("help.bmp", help_picture, bmp_24, False),
    ("about.bmp", about_picture, bmp_24, False),
    ("exit.bmp", exit_picture, bmp_24, False),
    ("app_icon.bmp", app_icon, bmp_4, False),
    ("about_icon.bmp", about_picture, bmp_4, False),
]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "..", "src", "ui",
                                                                "resources")
    os.makedirs(out, exist_ok=True)
    for name, draw, writer, lone_corner in PICTURES:
        canvas = draw()
        check(name, canvas, lone_corner)
        with open(os.path.join(out, name), "wb") as f:
            f.write(writer(canvas))
        print("%-15s %2d colours" % (name, len(canvas.colours())))


if __name__ == "__main__":
    main()
