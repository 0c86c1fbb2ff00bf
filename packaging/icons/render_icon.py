#!/usr/bin/env python3
"""The ZEM Tools icon: a memory card with gold contacts and a "Z" label.

One list of filled polygons (on a 256-unit square) makes both the SVG and
the PNG sizes, so the two never disagree. The PNGs are rasterised here with
4 sub-scanlines per pixel and exact horizontal coverage, and written with
zlib alone. Run from this folder to regenerate the committed files:

    python3 render_icon.py
"""
import math
import struct
import zlib

SIZES = (48, 64, 128, 256)


def rounded(points, steps=8):
    """The polygon with each corner (x, y, r) rounded by its own radius."""
    out = []
    n = len(points)
    for i, (x, y, r) in enumerate(points):
        if r <= 0:
            out.append((x, y))
            continue
        px, py = points[i - 1][:2]
        nx, ny = points[(i + 1) % n][:2]
        # The arc's ends lie r along each edge; its centre closes the square.
        ax, ay = x + (px - x) / math.dist((x, y), (px, py)) * r, y + (py - y) / math.dist((x, y), (px, py)) * r
        bx, by = x + (nx - x) / math.dist((x, y), (nx, ny)) * r, y + (ny - y) / math.dist((x, y), (nx, ny)) * r
        cx, cy = ax + bx - x, ay + by - y
        a0 = math.atan2(ay - cy, ax - cx)
        a1 = math.atan2(by - cy, bx - cx)
        while a1 - a0 > math.pi:
            a1 -= 2 * math.pi
        while a0 - a1 > math.pi:
            a1 += 2 * math.pi
        for s in range(steps + 1):
            a = a0 + (a1 - a0) * s / steps
            out.append((cx + r * math.cos(a), cy + r * math.sin(a)))
    return out


def body(inset):
    """The card's outline moved inwards by inset: three rounded corners and
    the cut corner at the top right."""
    d = inset
    k = d * math.sqrt(2) - d
    return rounded([(44 + d, 20 + d, 16 - d / 2), (172 - k, 20 + d, 0), (212 - d, 60 + k, 0),
                    (212 - d, 236 - d, 16 - d / 2), (44 + d, 236 - d, 16 - d / 2)])


def rect(x0, y0, x1, y1, r=0):
    return rounded([(x0, y0, r), (x1, y0, r), (x1, y1, r), (x0, y1, r)])


SHAPES = [
    ("#1b3356", body(0)),
    ("#2f5d9a", body(7)),
    *[("#e2b43c", rect(x, 34, x + 14, 78, 3)) for x in (62, 86, 110, 134, 158)],
    ("#f4f1e8", rect(62, 108, 194, 218, 10)),
    ("#1b3356", [(84, 128), (172, 128), (172, 144), (112, 182), (172, 182), (172, 198),
                 (84, 198), (84, 182), (144, 144), (84, 144)]),
]


def svg():
    paths = []
    for colour, poly in SHAPES:
        d = "M" + " L".join(f"{x:.2f},{y:.2f}" for x, y in poly) + " Z"
        paths.append(f'  <path fill="{colour}" d="{d}"/>')
    return ('<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" viewBox="0 0 256 256">\n'
            '  <title>ZEM Tools</title>\n' + "\n".join(paths) + "\n</svg>\n")


def coverage(poly, size, ss=4):
    """Per-pixel covered fraction of an even-odd polygon."""
    scale = size / 256
    pts = [(x * scale, y * scale) for x, y in poly]
    cov = [[0.0] * size for _ in range(size)]
    edges = list(zip(pts, pts[1:] + pts[:1]))
    for sy in range(size * ss):
        y = (sy + 0.5) / ss
        xs = sorted(x0 + (y - y0) * (x1 - x0) / (y1 - y0)
                    for (x0, y0), (x1, y1) in edges if (y0 <= y < y1) or (y1 <= y < y0))
        row = cov[sy // ss]
        for a, b in zip(xs[0::2], xs[1::2]):
            a, b = max(a, 0.0), min(b, float(size))
            if b <= a:
                continue
            ia, ib = int(a), int(b)
            if ia == ib:
                row[ia] += (b - a) / ss
                continue
            row[ia] += (ia + 1 - a) / ss
            for i in range(ia + 1, min(ib, size)):
                row[i] += 1 / ss
            if ib < size:
                row[ib] += (b - ib) / ss
    return cov


def png(size):
    # Premultiplied colour over a transparent background.
    px = [[[0.0, 0.0, 0.0, 0.0] for _ in range(size)] for _ in range(size)]
    for colour, poly in SHAPES:
        c = [int(colour[i:i + 2], 16) / 255 for i in (1, 3, 5)]
        cov = coverage(poly, size)
        for y in range(size):
            for x in range(size):
                a = min(cov[y][x], 1.0)
                if a <= 0:
                    continue
                p = px[y][x]
                for i in range(3):
                    p[i] = c[i] * a + p[i] * (1 - a)
                p[3] = a + p[3] * (1 - a)
    raw = bytearray()
    for row in px:
        raw.append(0)
        for r, g, b, a in row:
            if a > 0:
                raw += bytes(round(min(v / a, 1.0) * 255) for v in (r, g, b))
            else:
                raw += b"\0\0\0"
            raw.append(round(a * 255))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


if __name__ == "__main__":
    with open("zemtools.svg", "w") as f:
        f.write(svg())
    for s in SIZES:
        with open(f"zemtools-{s}.png", "wb") as f:
            f.write(png(s))
