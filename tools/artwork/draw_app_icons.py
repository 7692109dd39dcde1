#!/usr/bin/env python3
"""Draws the desktop's icons of Rilvet-48 from the program's own 32 x 32 icon.

Reads src/ui/resources/app_icon.bmp and writes one PNG per size into
data/icons/ (16.png ... 256.png), which the build installs as the hicolor
theme's application icons, and the Windows icon data/icons/rilvet48.ico (the
program file's icon, its Start-menu entry's and its installer's): 16, 24, 32
and 48 as 32-bit bitmaps, which every reader of icons knows, 256 as PNG. The icon's ground (the colour of its lower-left
pixel, which the program shows as transparent) becomes transparent here too.
Each output pixel is the area-weighted average of the source pixels it
covers: whole multiples of 32 stay sharp pixel art, other sizes get soft
edges instead of uneven pixels.

Usage: draw_app_icons.py [--check]   (--check: fail if a committed file differs)
"""

import os
import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 64, 128, 256)
TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SOURCE = os.path.join(TOP, "src", "ui", "resources", "app_icon.bmp")
OUT = os.path.join(TOP, "data", "icons")


def read_bmp(path):
    """Rows of (r, g, b) tuples, top row first; 4, 8 or 24 bits, uncompressed."""
    data = open(path, "rb").read()
    if data[:2] != b"BM":
        raise SystemExit("%s: not a BMP file" % path)
    offset = struct.unpack_from("<I", data, 10)[0]
    header, width, height, _, bits, compression = struct.unpack_from("<IiiHHI", data, 14)
    if compression != 0 or bits not in (4, 8, 24):
        raise SystemExit("%s: %d-bit or compressed BMP is not read here" % (path, bits))
    colours = struct.unpack_from("<I", data, 46)[0] or (1 << bits if bits <= 8 else 0)
    palette = [(data[p + 2], data[p + 1], data[p])
               for p in range(14 + header, 14 + header + 4 * colours, 4)]
    stride = (width * bits + 31) // 32 * 4
    rows = []
    for y in range(abs(height)):
        row_at = offset + stride * (abs(height) - 1 - y if height > 0 else y)
        row = []
        for x in range(width):
            if bits == 24:
                b, g, r = data[row_at + 3 * x: row_at + 3 * x + 3]
                row.append((r, g, b))
            elif bits == 8:
                row.append(palette[data[row_at + x]])
            else:
                byte = data[row_at + x // 2]
                row.append(palette[byte >> 4 if x % 2 == 0 else byte & 0x0F])
        rows.append(row)
    return rows


def scale(rows, size):
    """RGBA rows of size x size, area-averaged, the ground colour transparent."""
    n = len(rows)
    ground = rows[n - 1][0]
    # Premultiplied: a transparent neighbour must not darken an edge.
    src = [[(0, 0, 0, 0) if c == ground else (c[0], c[1], c[2], 255) for c in row] for row in rows]
    out = []
    for oy in range(size):
        y0, y1 = oy * n / size, (oy + 1) * n / size
        row = []
        for ox in range(size):
            x0, x1 = ox * n / size, (ox + 1) * n / size
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(int(y0), min(n, int(-(-y1 // 1)))):
                wy = min(y1, sy + 1) - max(y0, sy)
                for sx in range(int(x0), min(n, int(-(-x1 // 1)))):
                    w = wy * (min(x1, sx + 1) - max(x0, sx))
                    if w <= 0:
                        continue
                    r, g, b, a = src[sy][sx]
                    acc[0] += w * r * a
                    acc[1] += w * g * a
                    acc[2] += w * b * a
                    acc[3] += w * a
            area = (x1 - x0) * (y1 - y0)
            alpha = acc[3] / area
            if alpha < 0.5:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(int(round(acc[i] / acc[3])) for i in range(3)) +
                           (int(round(alpha)),))
        out.append(row)
    return out


def png(rows):
    size = len(rows)
    raw = b"".join(b"\0" + bytes(v for px in row for v in px) for row in rows)

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def ico(images):
    """An .ico of (size, rows) pairs: bitmaps below 256, PNG at 256."""
    bodies = []
    for size, rows in images:
        if size >= 256:
            bodies.append(png(rows))
            continue
        # BITMAPINFOHEADER with the height doubled (colour + AND mask), BGRA
        # rows bottom-up, then the 1-bit mask (all shown: alpha decides).
        header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, 0, 0, 0, 0, 0)
        pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for r, g, b, a in row)
        mask = bytes(((size + 31) // 32 * 4) * size)
        bodies.append(header + pixels + mask)
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for (size, _), body in zip(images, bodies):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(body), offset)
        offset += len(body)
    return out + b"".join(bodies)


def main():
    check = sys.argv[1:] == ["--check"]
    rows = read_bmp(SOURCE)
    stale = []
    outputs = [("%d.png" % size, png(scale(rows, size))) for size in SIZES]
    outputs.append(("rilvet48.ico", ico([(size, scale(rows, size)) for size in (16, 24, 32, 48, 256)])))
    for name, data in outputs:
        path = os.path.join(OUT, name)
        if check:
            if not os.path.exists(path) or open(path, "rb").read() != data:
                stale.append(path)
        else:
            os.makedirs(OUT, exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
    if stale:
        print("not drawn from the current app_icon.bmp (run tools/artwork/draw_app_icons.py):")
        for path in stale:
            print("  " + os.path.relpath(path, TOP))
        return 1
    print("icons %s: %s and rilvet48.ico" % ("checked" if check else "written",
                                              ", ".join(map(str, SIZES))))
    return 0


if __name__ == "__main__":
    sys.exit(main())
