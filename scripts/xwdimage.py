#!/usr/bin/env python3
"""Reads depth-24 ZPixmap XWD dumps (as `xwd` writes them) and writes PNG, with the standard
library only. Used for screenshots and by the end-to-end tests.

    xwdimage.py IN.xwd OUT.png [X Y W H]    # optional crop
"""
import struct
import sys
import zlib


def read_xwd(path):
    """Returns (width, height, rows) with rows a list of bytes objects of RGB triples."""
    with open(path, "rb") as f:
        data = f.read()
    header_size = struct.unpack(">I", data[0:4])[0]
    fields = struct.unpack(">25I", data[0:100])
    (_, version, pixmap_format, depth, width, height, _xoff, byte_order, _unit, _bit_order, _pad,
     bits_per_pixel, bytes_per_line, _visual_class, red_mask, green_mask, blue_mask, _bits_rgb,
     _map_entries, ncolors, *_rest) = fields
    pixel_bytes = bits_per_pixel // 8
    if version != 7 or pixmap_format != 2 or depth != 24 or pixel_bytes not in (3, 4):
        raise ValueError("only depth-24 ZPixmap XWD files are supported")
    offset = header_size + ncolors * 12
    endian = "<" if byte_order == 0 else ">"

    def shift(mask):
        s = 0
        while mask and not mask & 1:
            mask >>= 1
            s += 1
        return s

    rs, gs, bs = shift(red_mask), shift(green_mask), shift(blue_mask)
    rows = []
    for y in range(height):
        line = data[offset + y * bytes_per_line: offset + y * bytes_per_line + width * pixel_bytes]
        if pixel_bytes == 3:
            # Packed 24-bit pixels: widen each to a 32-bit word in the file's byte order.
            pad = b"\x00"
            words = b"".join((line[i:i + 3] + pad) if endian == "<" else (pad + line[i:i + 3])
                             for i in range(0, len(line), 3))
        else:
            words = line
        pixels = struct.unpack(endian + "%dI" % width, words)
        row = bytearray(width * 3)
        for x, p in enumerate(pixels):
            row[3 * x] = (p & red_mask) >> rs
            row[3 * x + 1] = (p & green_mask) >> gs
            row[3 * x + 2] = (p & blue_mask) >> bs
        rows.append(bytes(row))
    return width, height, rows


def write_png(path, width, height, rows):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)

    raw = b"".join(b"\x00" + r for r in rows)
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def main(argv):
    width, height, rows = read_xwd(argv[1])
    if len(argv) == 7:
        x, y, w, h = map(int, argv[3:7])
        rows = [r[3 * x: 3 * (x + w)] for r in rows[y: y + h]]
        width, height = w, h
    write_png(argv[2], width, height, rows)


if __name__ == "__main__":
    main(sys.argv)
