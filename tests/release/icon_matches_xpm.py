#!/usr/bin/env python3
"""Checks that a PNG shows exactly the pixels of an XPM: same size, same colour at every
pixel, and transparent wherever the XPM says "None".

Usage: icon_matches_xpm.py icon.xpm icon.png
Reads both formats itself (the XPM subset of one character per pixel and #RRGGBB or None
colours, and 8-bit RGB/RGBA/palette PNGs), so it needs nothing but Python.
"""
import re
import struct
import sys
import zlib


def read_xpm(path):
    strings = re.findall(r'"((?:[^"\\]|\\.)*)"', open(path, encoding="ascii").read())
    width, height, ncolors, cpp = map(int, strings[0].split()[:4])
    colours = {}
    for entry in strings[1:1 + ncolors]:
        key, rest = entry[:cpp], entry[cpp:].split()
        value = rest[rest.index("c") + 1]
        colours[key] = None if value.lower() == "none" else tuple(
            int(value[i:i + 2], 16) for i in (1, 3, 5))
    rows = strings[1 + ncolors:1 + ncolors + height]
    pixels = [[colours[row[x * cpp:(x + 1) * cpp]] for x in range(width)] for row in rows]
    return width, height, pixels


def read_png(path):
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        sys.exit(f"{path}: not a PNG file")
    pos, chunks = 8, []
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if zlib.crc32(kind + body) != struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])[0]:
            sys.exit(f"{path}: bad CRC in {kind!r}")
        chunks.append((kind, body))
        pos += 12 + length
    width, height, depth, colour_type, _, _, interlace = struct.unpack(">IIBBBBB", chunks[0][1])
    if depth != 8 or interlace != 0 or colour_type not in (2, 3, 6):
        sys.exit(f"{path}: unsupported PNG (depth {depth}, colour type {colour_type})")
    palette = next((b for k, b in chunks if k == b"PLTE"), b"")
    alpha = next((b for k, b in chunks if k == b"tRNS"), b"")
    raw = zlib.decompress(b"".join(b for k, b in chunks if k == b"IDAT"))
    channels = {2: 3, 3: 1, 6: 4}[colour_type]
    stride = width * channels
    rows, prev, pos = [], bytearray(stride), 0
    for _ in range(height):
        kind, line = raw[pos], bytearray(raw[pos + 1:pos + 1 + stride])
        pos += 1 + stride
        for i in range(stride):
            a = line[i - channels] if i >= channels else 0
            b = prev[i]
            c = prev[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(line)
        prev = line
    pixels = []
    for line in rows:
        row = []
        for x in range(width):
            if colour_type == 3:
                index = line[x]
                rgba = tuple(palette[3 * index:3 * index + 3]) + (
                    alpha[index] if index < len(alpha) else 255,)
            elif colour_type == 2:
                rgba = tuple(line[3 * x:3 * x + 3]) + (255,)
            else:
                rgba = tuple(line[4 * x:4 * x + 4])
            row.append(rgba)
        pixels.append(row)
    return width, height, pixels


def main():
    xpm_path, png_path = sys.argv[1:3]
    xw, xh, xpm = read_xpm(xpm_path)
    pw, ph, png = read_png(png_path)
    if (xw, xh) != (pw, ph):
        sys.exit(f"size {pw}x{ph}, expected {xw}x{xh}")
    wrong = []
    for y in range(xh):
        for x in range(xw):
            want, got = xpm[y][x], png[y][x]
            ok = got[3] == 0 if want is None else got == want + (255,)
            if not ok:
                wrong.append(f"({x},{y}): {got}, expected {want or 'transparent'}")
    if wrong:
        sys.exit(f"{len(wrong)} pixels differ, first: " + "; ".join(wrong[:5]))
    print(f"{png_path}: {pw}x{ph}, every pixel as in {xpm_path}")


if __name__ == "__main__":
    main()
