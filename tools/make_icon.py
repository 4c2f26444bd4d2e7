#!/usr/bin/env python3
"""Draws the program icon "KVXICON" (res/kvx.ico): a teal rounded square
with a white K and an amber band, at 16, 32 and 48 pixels, 32-bit with alpha.
The 32 and 48 pixel images are stored PNG-compressed, which Windows reads
in icons since Vista (the 16 pixel one stays a bitmap, the form every
reader of icons knows).
Run it after changing the drawing; the .ico is committed."""
import struct, sys, zlib

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

# The K, in unit coordinates (y downwards).
STEM = [(0.27, 0.20), (0.40, 0.20), (0.40, 0.80), (0.27, 0.80)]
ARM_UP = [(0.40, 0.50), (0.60, 0.20), (0.76, 0.20), (0.50, 0.56), (0.40, 0.62)]
ARM_DOWN = [(0.47, 0.50), (0.57, 0.44), (0.78, 0.80), (0.62, 0.80)]

def pixel(x, y):
    if not inside_rounded(x, y, 0.16):
        return None
    if any(inside_polygon(x, y, p) for p in (STEM, ARM_UP, ARM_DOWN)):
        return (255, 255, 255)
    if 0.84 <= y <= 0.90:
        return (245, 176, 40)
    t = y
    return (int(24 + 20 * t), int(128 - 40 * t), int(150 - 30 * t))

def render(size, ss=6):
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(ss):
                for sx in range(ss):
                    c = pixel((px + (sx + 0.5) / ss) / size, (py + (sy + 0.5) / ss) / size)
                    if c:
                        acc[0] += c[0]; acc[1] += c[1]; acc[2] += c[2]; acc[3] += 1
            n = ss * ss
            a = acc[3]
            if a:
                row.append((acc[2] // a, acc[1] // a, acc[0] // a, 255 * a // n))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows

def bmp_entry(size):
    rows = render(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b''.join(bytes(c) for row in reversed(rows) for c_ in [row] for c in c_)
    mask_row = ((size + 31) // 32) * 4
    mask = bytes(mask_row * size)
    return header + pixels + mask

def png_entry(size):
    rows = render(size)
    # Filter byte 0 and RGBA per row (render gives BGRA).
    raw = b''.join(b'\0' + b''.join(bytes((c[2], c[1], c[0], c[3])) for c in row) for row in rows)
    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data) & 0xffffffff)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)) +
            chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))

def main(out):
    sizes = [16, 32, 48]
    images = [bmp_entry(s) if s == 16 else png_entry(s) for s in sizes]
    data = struct.pack('<HHH', 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, img in zip(sizes, images):
        data += struct.pack('<BBBBHHII', s, s, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    data += b''.join(images)
    open(out, 'wb').write(data)

if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'res/kvx.ico')
