#!/usr/bin/env python3
"""Draws the about box's background: a bright, pale sky with the sun.

Writes a 471 x 257 binary PPM (P6). The JPEG the program ships is made from it
with ImageMagick, as a baseline JFIF file with three YCbCr components:

    python3 tools/artwork/draw_sky.py /tmp/sky.ppm
    convert /tmp/sky.ppm -strip -interlace none -sampling-factor 2x2 -quality 90 \\
        jpeg:src/ui/resources/about_sky.jpg

Usage: draw_sky.py [OUTPUT.ppm]   (default: sky.ppm in the current folder)
"""

import math
import sys

WIDTH, HEIGHT = 471, 257

SKY_TOP = (178, 212, 246)      # pale blue at the zenith
SKY_HORIZON = (250, 246, 236)  # almost white, a little warm, at the foot
SUN_CENTRE = (392.0, 66.0)
SUN_RADIUS = 21.0
SUN_CORE = (255, 255, 246)
SUN_GLOW = (255, 246, 214)

# Clouds: each is a handful of soft round puffs (centre x, centre y, radius x, radius y).
CLOUDS = [
    [(52, 206, 42, 16), (96, 196, 38, 20), (140, 208, 40, 15), (84, 216, 60, 12)],
    [(226, 150, 26, 8), (252, 145, 22, 9), (276, 152, 24, 7)],
    [(330, 226, 40, 14), (372, 214, 34, 17), (416, 226, 44, 13), (380, 234, 70, 10)],
    [(120, 70, 30, 7), (146, 66, 20, 7), (164, 72, 24, 6)],
]


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


class Noise:
    """A tiny fixed-seed generator, so the picture is the same on every run."""

    def __init__(self, seed=48):
        self.state = seed

    def next(self):
        self.state = (self.state * 1103515245 + 12345) & 0x7FFFFFFF
        return self.state / float(0x7FFFFFFF)


def pixel(x, y):
    px, py = x + 0.5, y + 0.5
    # Sky: pale blue above, brighter and warmer towards the foot.
    t = (py / HEIGHT) ** 0.85
    colour = mix(SKY_TOP, SKY_HORIZON, t)

    # Sun glow: a wide halo and a tighter bright ring around the disc.
    r = math.hypot(px - SUN_CENTRE[0], py - SUN_CENTRE[1])
    glow = 0.45 * math.exp(-((r / 55.0) ** 2)) + 0.30 * math.exp(-((r / 160.0) ** 2))
    colour = mix(colour, SUN_GLOW, min(glow, 1.0))

    # Clouds: soft-edged, half-transparent puffs, a shade greyer than the sun
    # so that the sun stays the brightest thing in the sky, and grey-blue on
    # their undersides.
    for puffs in CLOUDS:
        density = 0.0
        lowest = max(cy + ry for (_, cy, _, ry) in puffs)
        for (cx, cy, rx, ry) in puffs:
            density += math.exp(-(((px - cx) / rx) ** 2 + ((py - cy) / ry) ** 2) * 1.6)
        cover = max(0.0, min(1.0, (density - 0.35) * 1.6)) * 0.6
        if cover > 0.0:
            shade = max(0.0, min(1.0, (py - (lowest - 18.0)) / 18.0))
            cloud = mix((246, 248, 252), (222, 228, 242), shade * 0.7)
            colour = mix(colour, cloud, cover)

    # The sun disc with a soft one-and-a-half pixel rim, drawn over everything.
    disc = max(0.0, min(1.0, (SUN_RADIUS - r) / 1.5 + 0.5))
    colour = mix(colour, SUN_CORE, disc)
    return colour


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "sky.ppm"
    noise = Noise()
    data = bytearray()
    for y in range(HEIGHT):
        for x in range(WIDTH):
            r, g, b = pixel(x, y)
            # A little noise keeps the gentle gradient from banding in the JPEG.
            jitter = (noise.next() - 0.5) * 2.0
            data += bytes(max(0, min(255, int(round(c + jitter)))) for c in (r, g, b))
    with open(out, "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % (WIDTH, HEIGHT))
        f.write(bytes(data))
    print("wrote %s (%d x %d)" % (out, WIDTH, HEIGHT))


if __name__ == "__main__":
    main()
