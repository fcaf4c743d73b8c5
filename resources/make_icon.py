#!/usr/bin/env python3
"""Draws the application icon (a white speech bubble on a blue rounded tile)
and writes favicon.png beside this script. Standard library only, so it runs
anywhere; the PNG it writes is committed, the build does not run it."""
import math
import os
import struct
import zlib

SIZE = 128
SS = 4  # supersampling per axis


def inside_round_rect(x, y, x0, y0, x1, y1, r):
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def inside_bubble(x, y):
    # body: rounded rectangle; tail: triangle at the lower left
    if inside_round_rect(x, y, 28, 34, 100, 84, 16):
        return True
    # tail triangle (40,80) (40,100) (60,82)
    ax, ay, bx, by, cx, cy = 40, 78, 40, 102, 62, 82
    d1 = (x - bx) * (ay - by) - (ax - bx) * (y - by)
    d2 = (x - cx) * (by - cy) - (bx - cx) * (y - cy)
    d3 = (x - ax) * (cy - ay) - (cx - ax) * (y - ay)
    neg = d1 < 0 or d2 < 0 or d3 < 0
    pos = d1 > 0 or d2 > 0 or d3 > 0
    return not (neg and pos)


def inside_dot(x, y):
    return any((x - cx) ** 2 + (y - 59) ** 2 <= 6.5 ** 2 for cx in (46, 64, 82))


def pixel(px, py):
    acc = [0.0, 0.0, 0.0, 0.0]
    for sy in range(SS):
        for sx in range(SS):
            x = px + (sx + 0.5) / SS
            y = py + (sy + 0.5) / SS
            if not inside_round_rect(x, y, 4, 4, SIZE - 4, SIZE - 4, 28):
                continue
            t = (x + y) / (2 * SIZE)
            r = 126 + (61 - 126) * t
            g = 166 + (109 - 166) * t
            b = 255 + (242 - 255) * t
            if inside_bubble(x, y):
                r, g, b = 255, 255, 255
                if inside_dot(x, y):
                    r, g, b = 91, 124, 242
            acc[0] += r
            acc[1] += g
            acc[2] += b
            acc[3] += 255
    n = SS * SS
    a = acc[3] / n
    if a == 0:
        return (0, 0, 0, 0)
    cover = acc[3] / 255
    return tuple(int(round(c / cover)) for c in acc[:3]) + (int(round(a)),)


def write_png(path, rows):
    raw = b"".join(b"\x00" + bytes(v for p in row for v in p) for row in rows)

    def chunk(tag, data):
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data) & 0xFFFFFFFF)

    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(raw, 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


if __name__ == "__main__":
    rows = [[pixel(x, y) for x in range(SIZE)] for y in range(SIZE)]
    write_png(os.path.join(os.path.dirname(os.path.abspath(__file__)), "favicon.png"), rows)
