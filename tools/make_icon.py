#!/usr/bin/env python3
"""Draws the program icon "KVXICON" (res/kvx.ico): a teal rounded square
with a white K and an amber band, in flat colours, 32-bit with alpha.

The images are the sizes a dialog's caption (small) and task-switcher
(big) icons take from 100 % to 200 %: 16, 20, 24, 32, 40, 48 and 64 pixels.
Each is stored PNG-compressed (32-bit RGBA, the form Windows reads in
icons since Vista); with flat colours whose edges are mixed in a few steps
the seven of them take less room than the three gradient images before.
The smaller images place the K's strokes on whole pixels, so that they stay
sharp rather than blurred.
Run it after changing the drawing; the .ico is committed."""
import struct, sys, zlib

TEAL = (34, 108, 135)
WHITE = (255, 255, 255)
AMBER = (245, 176, 40)
SIZES = [16, 20, 24, 32, 40, 48, 64]


def inside_polygon(x, y, pts):
    c = False
    j = len(pts) - 1
    for i in range(len(pts)):
        xi, yi = pts[i]; xj, yj = pts[j]
        if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
            c = not c
        j = i
    return c


def inside_rounded(x, y, r):
    # unit square [0.06, 0.94] with corner radius r
    lo, hi = 0.06, 0.94
    if x < lo or x > hi or y < lo or y > hi:
        return False
    cx = min(max(x, lo + r), hi - r); cy = min(max(y, lo + r), hi - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def shapes(size):
    """The K and the band in unit coordinates (y downwards), their edges
    moved to whole pixels of the image."""
    snap = lambda v: round(v * size) / size
    top, bottom = snap(0.20), snap(0.78)
    left, stem = snap(0.27), snap(0.40)
    band_top, band_bottom = snap(0.83), snap(0.89)
    if band_bottom - band_top < 1 / size:
        band_bottom = band_top + 1 / size
    k = [
        [(left, top), (stem, top), (stem, bottom), (left, bottom)],
        [(stem, 0.50), (0.60, top), (0.76, top), (0.50, 0.56), (stem, 0.62)],
        [(0.47, 0.50), (0.57, 0.44), (0.78, bottom), (0.62, bottom)],
    ]
    return k, band_top, band_bottom


def render(size, ss=8, mix=6, levels=8):
    """RGBA rows, top row first. Each pixel is sampled ss * ss times; its
    alpha is the covered share in `levels` steps, its colour the teal mixed
    with the shares of white and amber in `mix` steps: the flat colours stay
    exact, and the few mixtures along the edges compress well (at 64 pixels
    the steps cannot be told apart)."""
    k, band_top, band_bottom = shapes(size)

    def kind(x, y):
        if not inside_rounded(x, y, 0.16):
            return 3
        if any(inside_polygon(x, y, p) for p in k):
            return 0
        return 1 if band_top <= y < band_bottom else 2

    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            n = [0, 0, 0, 0]  # white, amber, teal, outside
            for sy in range(ss):
                for sx in range(ss):
                    n[kind((px + (sx + 0.5) / ss) / size, (py + (sy + 0.5) / ss) / size)] += 1
            covered = ss * ss - n[3]
            alpha = min(255, round(covered * levels / (ss * ss)) * (256 // levels))
            if not alpha:
                row.append((0, 0, 0, 0))
                continue
            white = round(n[0] * mix / covered) / mix
            amber = min(round(n[1] * mix / covered) / mix, 1 - white)
            row.append(tuple(round(TEAL[i] * (1 - white - amber) + WHITE[i] * white + AMBER[i] * amber)
                             for i in range(3)) + (alpha,))
        rows.append(row)
    return rows


def chunk(kind, data):
    return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data) & 0xffffffff)


def deflate(raw):
    best = None
    for strategy in (zlib.Z_DEFAULT_STRATEGY, zlib.Z_FILTERED):
        c = zlib.compressobj(9, zlib.DEFLATED, 15, 9, strategy)
        out = c.compress(raw) + c.flush()
        if best is None or len(out) < len(best):
            best = out
    return best


def png_entry(size):
    # Windows reads a PNG image of an icon as 32-bit RGBA only. Rows are
    # stored unfiltered: with flat colours repeated along a row, that
    # compresses best.
    rows = render(size)
    raw = b''.join(b'\0' + b''.join(bytes(c) for c in row) for row in rows)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)) +
            chunk(b'IDAT', deflate(raw)) + chunk(b'IEND', b''))


def main(out):
    images = [png_entry(s) for s in SIZES]
    data = struct.pack('<HHH', 0, 1, len(SIZES))
    offset = 6 + 16 * len(SIZES)
    for s, img in zip(SIZES, images):
        data += struct.pack('<BBBBHHII', s, s, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    data += b''.join(images)
    open(out, 'wb').write(data)
    for s, img in zip(SIZES, images):
        print('%2d px: %4d bytes' % (s, len(img)))
    print('icon:  %4d bytes' % len(data))


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'res/kvx.ico')
