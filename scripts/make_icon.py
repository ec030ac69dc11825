#!/usr/bin/env python3
"""Draws the application icon "VWICON": a keyboard with an arrow going into it.

Every image is drawn procedurally at its own size (small sizes get fewer, wider keys so
they stay legible) and written into one .ico file: BMP images for 16, 32, 48 and 128
pixels, a PNG image for 256 pixels. Only the Python standard library is used.

    make_icon.py                   write resources/vwicon.ico
    make_icon.py --check           exit 1 when resources/vwicon.ico differs from a fresh drawing
    make_icon.py --preview x.png   also write the 256-pixel image as a PNG file
"""

import argparse
import math
import os
import struct
import sys
import zlib

SIZES = (16, 32, 48, 128, 256)
PNG_SIZES = (256,)

DEFAULT_OUTPUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources",
                              "vwicon.ico")

# Colours, straight (not premultiplied) RGB in 0..1.
TILE_TOP = (0.09, 0.45, 0.60)
TILE_BOTTOM = (0.00, 0.21, 0.32)
TILE_EDGE = (0.00, 0.13, 0.20)
FRAME = (0.07, 0.09, 0.12)
WHITE_KEY_TOP = (0.99, 0.99, 0.97)
WHITE_KEY_BOTTOM = (0.84, 0.87, 0.90)
BLACK_KEY = (0.10, 0.10, 0.13)
KEY_SEPARATOR = (0.45, 0.48, 0.52)
BLACK_KEY_SHINE = (0.30, 0.32, 0.38)
ARROW_TOP = (1.00, 0.78, 0.30)
ARROW_BOTTOM = (1.00, 0.55, 0.10)
ARROW_EDGE = (0.35, 0.16, 0.00)


# Signed distance functions in unit coordinates (0..1 across the image, y downwards).
# Negative inside; anti-aliasing comes from the distance measured in pixels.

def sd_round_box(px, py, x0, y0, x1, y1, r):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    qx = abs(px - cx) - (x1 - x0) / 2 + r
    qy = abs(py - cy) - (y1 - y0) / 2 + r
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - r


def sd_convex(px, py, points):
    """Distance to a convex polygon given clockwise on screen (y downwards)."""
    d = -1e9
    n = len(points)
    for i in range(n):
        ax, ay = points[i]
        bx, by = points[(i + 1) % n]
        ex, ey = bx - ax, by - ay
        length = math.hypot(ex, ey)
        # Outward normal of a clockwise (screen) polygon.
        nx, ny = ey / length, -ex / length
        d = max(d, (px - ax) * nx + (py - ay) * ny)
    return d


class Canvas:
    def __init__(self, size):
        self.size = size
        self.rgba = [[0.0, 0.0, 0.0, 0.0] for _ in range(size * size)]

    def fill(self, sdf, colour, bbox, grow=0.0):
        """Paints where sdf < grow; colour is a function of (x, y) in unit coordinates."""
        size = self.size
        x0 = max(0, int(math.floor((bbox[0] - grow) * size)) - 1)
        y0 = max(0, int(math.floor((bbox[1] - grow) * size)) - 1)
        x1 = min(size, int(math.ceil((bbox[2] + grow) * size)) + 1)
        y1 = min(size, int(math.ceil((bbox[3] + grow) * size)) + 1)
        for y in range(y0, y1):
            py = (y + 0.5) / size
            for x in range(x0, x1):
                px = (x + 0.5) / size
                coverage = 0.5 - (sdf(px, py) - grow) * size
                if coverage <= 0.0:
                    continue
                if coverage > 1.0:
                    coverage = 1.0
                self.blend(y * size + x, colour(px, py), coverage)

    def blend(self, index, rgb, alpha):
        dst = self.rgba[index]
        out_a = alpha + dst[3] * (1.0 - alpha)
        if out_a <= 0.0:
            return
        keep = dst[3] * (1.0 - alpha)
        for c in range(3):
            dst[c] = (rgb[c] * alpha + dst[c] * keep) / out_a
        dst[3] = out_a

    def bytes_rgba(self):
        out = bytearray()
        for r, g, b, a in self.rgba:
            out += bytes(to_byte(v) for v in (r, g, b, a))
        return bytes(out)


def to_byte(v):
    return max(0, min(255, int(round(v * 255.0))))


def mix(a, b, t):
    t = max(0.0, min(1.0, t))
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def vertical(top, bottom, y0, y1):
    return lambda px, py: mix(top, bottom, (py - y0) / (y1 - y0))


def solid(rgb):
    return lambda px, py: rgb


def keyboard_layout(size):
    """White key count and which gaps hold a black key, thinned out for small images."""
    if size >= 48:
        return 7, (0, 1, 3, 4, 5)
    if size >= 32:
        return 5, (0, 1, 3)
    return 4, (0, 1)


def draw_16():
    """At 16 pixels the general drawing blurs into grey, so this one is laid out on the pixel
    grid: a white strip with a row of black keys reads as a keyboard even at this size."""
    size = 16
    canvas = Canvas(size)
    u = 1.0 / size

    def box(x0, y0, x1, y1):
        return (x0 * u, y0 * u, x1 * u, y1 * u)

    def fill_box(b, colour, radius=0.0):
        canvas.fill(lambda x, y: sd_round_box(x, y, *b, radius * u), colour, b)

    fill_box(box(0, 0, 16, 16), solid(TILE_EDGE), 3.5)
    inner = box(1, 1, 15, 15)
    fill_box(inner, vertical(TILE_TOP, TILE_BOTTOM, inner[1], inner[3]), 2.5)
    fill_box(box(1, 9, 15, 15), solid(FRAME), 1.0)
    fill_box(box(2, 10, 14, 14), vertical(WHITE_KEY_TOP, WHITE_KEY_BOTTOM, 10 * u, 14 * u))
    for x in (5, 8, 11):
        fill_box(box(x, 12, x + 1, 14), solid(KEY_SEPARATOR))
        fill_box(box(x - 1, 10, x + 1, 12), solid(BLACK_KEY))

    shaft = box(6, 1, 10, 5.5)
    head = [(13.5 * u, 5 * u), (8 * u, 10 * u), (2.5 * u, 5 * u)]
    arrow_box = box(2.5, 1, 13.5, 10)

    def arrow(x, y):
        return min(sd_round_box(x, y, *shaft, 0.0), sd_convex(x, y, head))

    canvas.fill(arrow, solid(ARROW_EDGE), arrow_box, grow=0.7 * u)
    canvas.fill(arrow, vertical(ARROW_TOP, ARROW_BOTTOM, u, 10 * u), arrow_box)
    return canvas.bytes_rgba()


def draw(size):
    if size == 16:
        return draw_16()
    canvas = Canvas(size)
    px1 = 1.0 / size  # one pixel in unit coordinates

    # Tile: a rounded square with a dark rim, lighter at the top.
    m = 0.02 if size >= 48 else 0.0
    tile = (m, m, 1.0 - m, 1.0 - m)
    radius = 0.19
    canvas.fill(lambda x, y: sd_round_box(x, y, *tile, radius), solid(TILE_EDGE), tile)
    rim = max(px1, 0.018)
    inner = (m + rim, m + rim, 1.0 - m - rim, 1.0 - m - rim)
    canvas.fill(lambda x, y: sd_round_box(x, y, *inner, radius - rim),
                vertical(TILE_TOP, TILE_BOTTOM, inner[1], inner[3]), inner)

    # Keyboard: a dark frame whose gaps separate the white keys.
    white_count, black_after = keyboard_layout(size)
    kb = (0.12, 0.53, 0.88, 0.88)
    canvas.fill(lambda x, y: sd_round_box(x, y, *kb, 0.05), solid(FRAME), kb)
    border = max(px1, 0.022)
    gap = max(px1, 0.012)
    keys_x0, keys_x1 = kb[0] + border, kb[2] - border
    keys_y0, keys_y1 = kb[1] + border, kb[3] - border
    pitch = (keys_x1 - keys_x0 + gap) / white_count
    key_round = min(0.03, pitch / 4)
    for i in range(white_count):
        box = (keys_x0 + i * pitch, keys_y0, keys_x0 + i * pitch + pitch - gap, keys_y1)
        canvas.fill(lambda x, y, b=box: sd_round_box(x, y, *b, key_round),
                    vertical(WHITE_KEY_TOP, WHITE_KEY_BOTTOM, keys_y0, keys_y1), box)
    black_w = pitch * 0.58
    black_y1 = keys_y0 + (keys_y1 - keys_y0) * 0.60
    for i in black_after:
        centre = keys_x0 + (i + 1) * pitch - gap / 2
        box = (centre - black_w / 2, kb[1], centre + black_w / 2, black_y1)
        canvas.fill(lambda x, y, b=box: sd_round_box(x, y, *b, key_round * 0.8),
                    vertical(BLACK_KEY, BLACK_KEY_SHINE, box[1] + (box[3] - box[1]) * 0.55,
                             box[3]), box)

    # Arrow pointing down into the keyboard: the new software going into the instrument.
    shaft = (0.5 - 0.085, 0.09, 0.5 + 0.085, 0.33)
    head = [(0.5 + 0.215, 0.29), (0.5, 0.50), (0.5 - 0.215, 0.29)]
    head_box = (0.5 - 0.215, 0.29, 0.5 + 0.215, 0.50)
    arrow_box = (head_box[0], shaft[1], head_box[2], head_box[3])

    def arrow(x, y):
        return min(sd_round_box(x, y, *shaft, 0.02), sd_convex(x, y, head))

    outline = max(px1 * 0.9, 0.016)
    canvas.fill(arrow, solid(ARROW_EDGE), arrow_box, grow=outline)
    canvas.fill(arrow, vertical(ARROW_TOP, ARROW_BOTTOM, shaft[1], head_box[3]), arrow_box)
    return canvas.bytes_rgba()


def png_chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def encode_png(size, rgba):
    rows = bytearray()
    stride = size * 4
    for y in range(size):
        rows.append(0)  # filter type None
        rows += rgba[y * stride:(y + 1) * stride]
    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", ihdr) +
            png_chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + png_chunk(b"IEND", b""))


def encode_bmp(size, rgba):
    """The DIB of an icon image: double height, bottom-up BGRA, then the 1-bit AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, size * size * 4, 0, 0, 0,
                         0)
    pixels = bytearray()
    mask = bytearray()
    mask_stride = ((size + 31) // 32) * 4
    for y in range(size - 1, -1, -1):
        row_mask = bytearray(mask_stride)
        for x in range(size):
            i = (y * size + x) * 4
            r, g, b, a = rgba[i:i + 4]
            pixels += bytes((b, g, r, a))
            if a < 128:  # transparent for painters that ignore the alpha channel
                row_mask[x // 8] |= 0x80 >> (x % 8)
        mask += row_mask
    return header + bytes(pixels) + bytes(mask)


def build_ico(images):
    """images: list of (size, encoded image bytes)."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for size, data in images:
        dim = 0 if size >= 256 else size
        entries += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + entries + b"".join(data for _, data in images)


def render_all():
    images = []
    pixels = {}
    for size in SIZES:
        rgba = draw(size)
        pixels[size] = rgba
        data = encode_png(size, rgba) if size in PNG_SIZES else encode_bmp(size, rgba)
        images.append((size, data))
    return build_ico(images), pixels


def decode_ico(data):
    """Returns {size: comparable image bytes}; PNG images by their pixels, so a different
    zlib build that compresses differently does not count as a change."""
    _, kind, count = struct.unpack_from("<HHH", data, 0)
    if kind != 1:
        raise ValueError("not an icon file")
    result = {}
    for i in range(count):
        w, _, _, _, _, _, length, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        image = data[offset:offset + length]
        if image.startswith(b"\x89PNG"):
            pos, idat = 8, b""
            while pos < len(image):
                n, = struct.unpack_from(">I", image, pos)
                if image[pos + 4:pos + 8] == b"IDAT":
                    idat += image[pos + 8:pos + 8 + n]
                pos += 12 + n
            image = b"PNG" + zlib.decompress(idat)
        result[w or 256] = image
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", default=DEFAULT_OUTPUT)
    parser.add_argument("--check", action="store_true",
                        help="compare the existing file with a fresh drawing")
    parser.add_argument("--preview", help="write the 256-pixel image to this PNG file")
    args = parser.parse_args()

    ico, pixels = render_all()
    if args.preview:
        with open(args.preview, "wb") as f:
            f.write(encode_png(256, pixels[256]))
    if args.check:
        try:
            with open(args.output, "rb") as f:
                existing = f.read()
        except OSError as err:
            print("cannot read %s: %s" % (args.output, err), file=sys.stderr)
            return 1
        if decode_ico(existing) != decode_ico(ico):
            print("%s is out of date; run scripts/make_icon.py" % args.output, file=sys.stderr)
            return 1
        return 0
    with open(args.output, "wb") as f:
        f.write(ico)
    return 0


if __name__ == "__main__":
    sys.exit(main())
