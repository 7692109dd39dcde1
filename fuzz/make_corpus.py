#!/usr/bin/env python3
"""Writes the fuzzers' seed files into fuzz/corpus/: a few small table files
and settings files, each a typical or an edge case of its format."""

import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent
CHANNELS = 48
SPEED = "Скорость ".encode("cp1251")


def prefix(k):
    return ("%02dй канал " % k).encode("cp1251")


def table(columns, interval, end=b"\r\n", extra=()):
    """columns: one byte string per channel; interval: bytes after the prefix."""
    lines = [prefix(k) + columns[k - 1] for k in range(1, CHANNELS + 1)]
    lines.append(SPEED + interval)
    lines.extend(extra)
    return b"".join(line + end for line in lines)


def example_columns():
    # Channel 1 on in step 1, channel 2 in step 3, step 2 all off.
    columns = [b"000"] * CHANNELS
    columns[0] = b"100"
    columns[1] = b"001"
    return columns


def table_files():
    example = example_columns()
    short30 = list(example)
    short30[29] = b"00"
    with_nul = table(example, b"250")
    with_nul = with_nul[:200] + b"\0" + with_nul[200:]
    forty_eight = b"".join(prefix(k) + example[k - 1] + b"\r\n" for k in range(1, CHANNELS + 1))
    return {
        "default.txt": table([b""] * CHANNELS, b""),
        "example_250.txt": table(example, b"250"),
        "lf_only.txt": table(example, b"250", end=b"\n"),
        "cr_only.txt": table(example, b"250", end=b"\r"),
        "lines_52.txt": table(example, b"100", extra=[b"line 50", b"", b"\xc7\xe0\xec\xe5\xf2\xea\xe0"]),
        "short_line_30.txt": table(short30, b"250"),
        "nul.txt": with_nul,
        "lines_48.txt": forty_eight,
    }


def settings(values):
    return struct.pack("<16i", *values)


def settings_files():
    return {
        "zeros.dat": settings([0] * 16),
        "each_index.dat": settings([(i % 5) - 1 for i in range(16)]),
        "seven_and_minus_one.dat": settings([7, -1, 2, 3] * 4),
        "short.dat": settings([2, 3] + [0] * 14)[:10],
    }


def write(folder, files):
    folder.mkdir(parents=True, exist_ok=True)
    for name, data in files.items():
        assert len(data) < 2048, name
        (folder / name).write_bytes(data)


def main():
    write(HERE / "corpus" / "table", table_files())
    write(HERE / "corpus" / "settings", settings_files())


if __name__ == "__main__":
    main()
