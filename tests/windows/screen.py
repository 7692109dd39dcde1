#!/usr/bin/env python3
"""The X display as the user sees it, read with xwd (Debian package x11-apps).

  screen.py shot FILE.png          the whole screen as a PNG
  screen.py pixel X Y              the colour at X, Y as #RRGGBB
"""
import re
import struct
import subprocess
import sys
import zlib


def image(*where):
    data = subprocess.run(["xwd", "-silent", *where], check=True, capture_output=True).stdout
    fields = struct.unpack_from(">25I", data, 0)
    header_size, width, height = fields[0], fields[4], fields[5]
    byte_order, bits_per_pixel, bytes_per_line = fields[7], fields[11], fields[12]
    masks, ncolors = fields[14:17], fields[19]
    if bits_per_pixel not in (24, 32):
        raise SystemExit("screen.py: %d bits per pixel is not read here" % bits_per_pixel)
    size = bits_per_pixel // 8
    start = header_size + 12 * ncolors
    order = "little" if byte_order == 0 else "big"
    shifts = [(m & -m).bit_length() - 1 for m in masks]

    def rgb(x, y):
        at = start + y * bytes_per_line + size * x
        value = int.from_bytes(data[at:at + size], order)
        return tuple((value & m) >> s for m, s in zip(masks, shifts))

    return width, height, rgb


def grab():
    """The root window with every mapped top-level window read on its own and
    laid over it (xwininfo lists them top-most first): wine keeps some windows' pixels off the root
    (redirected), where only a compositor would put them back."""
    width, height, root = image("-root")
    layers = []
    tree = subprocess.run(["xwininfo", "-root", "-children"], check=True,
                          capture_output=True, text=True).stdout
    for line in tree.splitlines():
        match = re.match(r"\s+(0x[0-9a-f]+) .*\s(\d+)x(\d+)\+(-?\d+)\+(-?\d+)\s+\+(-?\d+)\+(-?\d+)$",
                         line)
        if not match or int(match.group(2)) < 2 or int(match.group(3)) < 2:
            continue
        info = subprocess.run(["xwininfo", "-id", match.group(1)], capture_output=True, text=True).stdout
        if "IsViewable" not in info:
            continue
        try:
            w, h, rgb = image("-id", match.group(1))
        except subprocess.CalledProcessError:
            continue
        layers.append((int(match.group(6)), int(match.group(7)), w, h, rgb))

    def seen(x, y):
        for left, top, w, h, rgb in layers:
            if left <= x < left + w and top <= y < top + h:
                return rgb(x - left, y - top)
        return root(x, y)

    return width, height, seen


def main():
    width, height, rgb = grab()
    if sys.argv[1] == "pixel":
        r, g, b = rgb(int(sys.argv[2]), int(sys.argv[3]))
        print("#%02X%02X%02X" % (r, g, b))
    elif sys.argv[1] == "shot":
        raw = b"".join(b"\0" + bytes(v for x in range(width) for v in rgb(x, y))
                       for y in range(height))

        def chunk(kind, body):
            return (struct.pack(">I", len(body)) + kind + body +
                    struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

        with open(sys.argv[2], "wb") as out:
            out.write(b"\x89PNG\r\n\x1a\n" +
                      chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
                      chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))


if __name__ == "__main__":
    main()
