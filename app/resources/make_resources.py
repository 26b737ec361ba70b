#!/usr/bin/env python3
"""Writes the program's icon and band-button bitmaps beside this script.

The files are committed; run this again only to change them. Every image uses the standard
16-colour palette, 4 bits per pixel:
  icon128.ico      the application icon at 32, 24 and 16 pixels
  bitmap<N>.bmp    the 70 x 29 colour swatches of the six band buttons
The desktop icons are drawn anew for each size in full colour with transparency, smoothed by
sampling every pixel on a fine grid, and written as PNG:
  icons/<N>.png    the application's tile at N x N pixels for the desktop's icon theme
"""

import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]

BAND_BITMAPS = {
    131: (255, 0, 0),
    12324: (255, 255, 0),
    135: (0, 255, 0),
    136: (0, 0, 255),
    137: (0, 255, 255),
    138: (255, 0, 255),
}

SWATCH_WIDTH, SWATCH_HEIGHT = 70, 29

# The sizes of the icon theme's fixed-size folders; the install puts each icons/<N>.png there.
DESKTOP_ICON_SIZES = [16, 22, 24, 32, 48, 64, 128, 256]


def index_of(rgb):
    return PALETTE.index(rgb)


def palette_bytes():
    return b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)


def pack_4bit_rows(pixels, width, height):
    """Bottom-up rows of 4-bit indices, each padded to a multiple of 4 bytes."""
    stride = (width * 4 + 31) // 32 * 4
    out = bytearray()
    for y in range(height - 1, -1, -1):
        row = bytearray(stride)
        for x in range(width):
            value = pixels[y][x]
            if x % 2 == 0:
                row[x // 2] |= value << 4
            else:
                row[x // 2] |= value
        out += row
    return bytes(out)


def info_header(width, height, image_bytes):
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, 4, 0, image_bytes, 0, 0, 16, 16)


def swatch(rgb):
    """A solid swatch inside a one-pixel sunken frame."""
    grey, white, light = index_of((128, 128, 128)), index_of((255, 255, 255)), index_of((192, 192, 192))
    fill = index_of(rgb)
    w, h = SWATCH_WIDTH, SWATCH_HEIGHT
    pixels = [[fill] * w for _ in range(h)]
    for x in range(w):
        pixels[0][x] = grey
        pixels[h - 1][x] = white
    for y in range(h):
        pixels[y][0] = grey
        pixels[y][w - 1] = white
    pixels[0][w - 1] = light
    pixels[h - 1][0] = light
    return pixels


def write_bmp(path, pixels, width, height):
    bits = pack_4bit_rows(pixels, width, height)
    offset = 14 + 40 + 64
    with open(path, "wb") as f:
        f.write(struct.pack("<2sIHHI", b"BM", offset + len(bits), 0, 0, offset))
        f.write(info_header(width, height, len(bits)))
        f.write(palette_bytes())
        f.write(bits)


def icon_pixels(size):
    """A small landscape photo: sky, sun, hills and a dark border, drawn for one size."""
    black, navy = index_of((0, 0, 0)), index_of((0, 0, 128))
    sky, sun = index_of((0, 255, 255)), index_of((255, 255, 0))
    hill, dark_hill = index_of((0, 255, 0)), index_of((0, 128, 0))
    scale = size / 32.0
    pixels = [[sky] * size for _ in range(size)]
    for y in range(size):
        for x in range(size):
            fx, fy = (x + 0.5) / scale, (y + 0.5) / scale
            if (fx - 22) ** 2 + (fy - 10) ** 2 <= 5.0 ** 2:
                pixels[y][x] = sun
            if fy >= 20 + 0.004 * (fx - 10) ** 2 * 3:
                pixels[y][x] = hill
            if fy >= 25 - 0.2 * (fx - 20):
                pixels[y][x] = dark_hill
    for i in range(size):
        pixels[0][i] = pixels[size - 1][i] = navy
        pixels[i][0] = pixels[i][size - 1] = navy
    pixels[0][0] = pixels[0][size - 1] = black
    pixels[size - 1][0] = pixels[size - 1][size - 1] = black
    return pixels


# The desktop icon in units of a 32-unit square: a rounded tile, inset as icon themes expect, on
# which three additive colour discs overlap, the red, green and blue a correction balances.
TILE_INSET, TILE_RADIUS = 1.5, 6.5
DISCS = [((16.0, 12.5), (235, 55, 55)), ((12.2, 19.0), (50, 205, 80)), ((19.8, 19.0), (55, 115, 245))]
DISC_RADIUS = 6.4


def inside_tile(fx, fy):
    lo, hi = TILE_INSET + TILE_RADIUS, 32.0 - TILE_INSET - TILE_RADIUS
    dx = max(lo - fx, 0.0, fx - hi)
    dy = max(lo - fy, 0.0, fy - hi)
    return dx * dx + dy * dy <= TILE_RADIUS ** 2 and TILE_INSET <= fx <= 32 - TILE_INSET \
        and TILE_INSET <= fy <= 32 - TILE_INSET


def tile_colour(fx, fy):
    """The icon's colour at a point of its 32-unit square that lies on the tile."""
    t = (fy - TILE_INSET) / (32.0 - 2 * TILE_INSET)
    colour = [34 - 14 * t, 40 - 16 * t, 92 - 36 * t]  # indigo, darker towards the foot
    lit = [rgb for (cx, cy), rgb in DISCS if (fx - cx) ** 2 + (fy - cy) ** 2 <= DISC_RADIUS ** 2]
    if lit:
        colour = [min(255.0, 0.25 * colour[c] + sum(rgb[c] for rgb in lit)) for c in range(3)]
    return colour


def desktop_icon_pixels(size):
    """The icon at size x size as (r, g, b, a): each pixel the mean of an 8 x 8 grid of samples,
    transparent off the tile so that the edges are smooth on any panel."""
    samples = 8
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            total, covered = [0.0, 0.0, 0.0], 0
            for sy in range(samples):
                for sx in range(samples):
                    fx = (x + (sx + 0.5) / samples) * 32.0 / size
                    fy = (y + (sy + 0.5) / samples) * 32.0 / size
                    if inside_tile(fx, fy):
                        covered += 1
                        for c, v in enumerate(tile_colour(fx, fy)):
                            total[c] += v
            if covered == 0:
                row.append((0, 0, 0, 0))
            else:
                rgb = tuple(int(v / covered + 0.5) for v in total)
                row.append(rgb + ((covered * 255 + samples * samples // 2) // (samples * samples),))
        rows.append(row)
    return rows


def write_png(path, rows):
    """An 8-bit RGBA PNG of the given rows of (r, g, b, a)."""
    height, width = len(rows), len(rows[0])
    raw = b"".join(b"\0" + bytes(v for pixel in row for v in pixel) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 9)))
        f.write(chunk(b"IEND", b""))


def write_ico(path, sizes):
    images = []
    for size in sizes:
        xor_bits = pack_4bit_rows(icon_pixels(size), size, size)
        and_stride = (size + 31) // 32 * 4
        and_bits = bytes(and_stride * size)  # every pixel opaque
        data = info_header(size, size * 2, len(xor_bits) + len(and_bits)) + palette_bytes()
        images.append((size, data + xor_bits + and_bits))
    with open(path, "wb") as f:
        f.write(struct.pack("<HHH", 0, 1, len(images)))
        offset = 6 + 16 * len(images)
        for size, data in images:
            f.write(struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset))
            offset += len(data)
        for _, data in images:
            f.write(data)


def main():
    write_ico(os.path.join(HERE, "icon128.ico"), [32, 24, 16])
    os.makedirs(os.path.join(HERE, "icons"), exist_ok=True)
    for size in DESKTOP_ICON_SIZES:
        write_png(os.path.join(HERE, "icons", "%d.png" % size), desktop_icon_pixels(size))
    for number, rgb in BAND_BITMAPS.items():
        write_bmp(os.path.join(HERE, "bitmap%d.bmp" % number), swatch(rgb), SWATCH_WIDTH, SWATCH_HEIGHT)


if __name__ == "__main__":
    main()
