#!/usr/bin/env python3
"""Draw the program's own images (arrows, About artwork, application icon)
and the double-size variants of the button and menu images.

Uses only the Python standard library. The output is deterministic: running
the script twice produces byte-identical files. Run it from anywhere:

    python3 images/make_images.py

Files are written relative to the directory that holds this script.
"""

import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


# ---------------------------------------------------------------------------
# Canvas
# ---------------------------------------------------------------------------

class Canvas:
    """RGBA canvas with optional supersampling.

    Coordinates given to the drawing helpers are output pixels (floats);
    internally every output pixel holds ss x ss samples, stored as
    premultiplied floats in 0..1. A paint is either an (r, g, b, a) tuple
    with 0..255 components or a function y -> (r, g, b, a) for vertical
    gradients (y in output pixels).
    """

    def __init__(self, width, height, ss=1):
        self.width, self.height, self.ss = width, height, ss
        self.sw, self.sh = width * ss, height * ss
        self.px = [0.0] * (self.sw * self.sh * 4)

    # -- core -------------------------------------------------------------

    def fill_where(self, bbox, inside, paint):
        """Paint every sample whose centre lies in bbox and satisfies inside(x, y)."""
        ss = self.ss
        x0, y0, x1, y1 = bbox
        sx0 = max(0, int(math.floor(x0 * ss)))
        sy0 = max(0, int(math.floor(y0 * ss)))
        sx1 = min(self.sw, int(math.ceil(x1 * ss)))
        sy1 = min(self.sh, int(math.ceil(y1 * ss)))
        px = self.px
        for sy in range(sy0, sy1):
            y = (sy + 0.5) / ss
            r, g, b, a = paint(y) if callable(paint) else paint
            a /= 255.0
            pr, pg, pb, keep = r / 255.0 * a, g / 255.0 * a, b / 255.0 * a, 1.0 - a
            row = sy * self.sw
            for sx in range(sx0, sx1):
                if inside((sx + 0.5) / ss, y):
                    i = (row + sx) * 4
                    px[i] = pr + px[i] * keep
                    px[i + 1] = pg + px[i + 1] * keep
                    px[i + 2] = pb + px[i + 2] * keep
                    px[i + 3] = a + px[i + 3] * keep

    def rgba_rows(self):
        """Return a list of rows, each a bytes object of straight RGBA."""
        ss, n = self.ss, float(self.ss * self.ss)
        rows = []
        for y in range(self.height):
            row = bytearray()
            for x in range(self.width):
                acc = [0.0, 0.0, 0.0, 0.0]
                for sy in range(y * ss, y * ss + ss):
                    base = (sy * self.sw + x * ss) * 4
                    for k in range(ss * 4):
                        acc[k % 4] += self.px[base + k]
                a = acc[3] / n
                if a <= 0.0:
                    row += b"\0\0\0\0"
                    continue
                row += bytes(_byte(acc[c] / n / a) for c in range(3)) + bytes([_byte(a)])
            rows.append(bytes(row))
        return rows

    # -- shapes -----------------------------------------------------------

    def rect(self, x0, y0, x1, y1, paint):
        self.fill_where((x0, y0, x1, y1), lambda x, y: True, paint)

    def rounded_rect(self, x0, y0, x1, y1, radius, paint):
        def inside(x, y):
            dx = max(x0 + radius - x, 0.0, x - (x1 - radius))
            dy = max(y0 + radius - y, 0.0, y - (y1 - radius))
            return dx * dx + dy * dy <= radius * radius
        self.fill_where((x0, y0, x1, y1), inside, paint)

    def circle(self, cx, cy, radius, paint):
        self.ellipse(cx, cy, radius, radius, paint)

    def ellipse(self, cx, cy, rx, ry, paint):
        def inside(x, y):
            return ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 <= 1.0
        self.fill_where((cx - rx, cy - ry, cx + rx, cy + ry), inside, paint)

    def polygon(self, points, paint):
        """Fill a polygon (even-odd rule)."""
        edges = list(zip(points, points[1:] + points[:1]))

        def inside(x, y):
            hit = False
            for (ax, ay), (bx, by) in edges:
                if (ay > y) != (by > y) and x < ax + (y - ay) * (bx - ax) / (by - ay):
                    hit = not hit
            return hit
        xs = [p[0] for p in points]
        ys = [p[1] for p in points]
        self.fill_where((min(xs), min(ys), max(xs), max(ys)), inside, paint)

    def arc(self, cx, cy, radius, width, a0, a1, paint, caps=True):
        """A thick circular arc from angle a0 to a1 (degrees, counter-clockwise,
        0 = pointing right), with round caps by default. Arc and caps form a
        single shape, so translucent paints do not double up where they meet."""
        half = width / 2.0
        r_in, r_out = radius - half, radius + half
        lo, hi = math.radians(a0), math.radians(a1)
        ends = [(cx + radius * math.cos(t), cy - radius * math.sin(t)) for t in (lo, hi)]

        def inside(x, y):
            dx, dy = x - cx, cy - y
            if r_in * r_in <= dx * dx + dy * dy <= r_out * r_out \
                    and lo <= math.atan2(dy, dx) <= hi:
                return True
            return caps and any((x - ex) ** 2 + (y - ey) ** 2 <= half * half
                                for ex, ey in ends)
        self.fill_where((cx - r_out, cy - r_out, cx + r_out, cy + r_out), inside, paint)


def _byte(v):
    return max(0, min(255, int(round(v * 255.0))))


def gradient(y0, y1, top, bottom):
    """Vertical linear gradient paint from colour top (at y0) to bottom (at y1)."""
    def paint(y):
        t = min(1.0, max(0.0, (y - y0) / float(y1 - y0)))
        return tuple(top[i] + (bottom[i] - top[i]) * t for i in range(4))
    return paint


def with_alpha(colour, alpha):
    return colour[:3] + (alpha,)


# ---------------------------------------------------------------------------
# File formats
# ---------------------------------------------------------------------------

def png_bytes(canvas):
    """Encode a canvas as an 8-bit RGBA PNG (no timestamps, fixed zlib level)."""
    rows = canvas.rgba_rows()
    raw = b"".join(b"\0" + row for row in rows)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    ihdr = struct.pack(">IIBBBBB", canvas.width, canvas.height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr)
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def ico_dib_bytes(canvas):
    """Encode a canvas as a 32-bit BGRA DIB with AND mask, as stored in .ico files."""
    w, h = canvas.width, canvas.height
    rows = canvas.rgba_rows()
    header = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = bytearray()
    mask = bytearray()
    mask_stride = ((w + 31) // 32) * 4
    for row in reversed(rows):  # DIBs are stored bottom-up
        bits = bytearray(mask_stride)
        for x in range(w):
            r, g, b, a = row[x * 4:x * 4 + 4]
            xor += bytes((b, g, r, a))
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + bytes(xor) + bytes(mask)


def ico_bytes(canvases):
    """Build a .ico: entries up to 128 px as DIB, 256 px as embedded PNG."""
    images = []
    for c in canvases:
        data = png_bytes(c) if c.width >= 256 else ico_dib_bytes(c)
        images.append((c.width, c.height, data))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for w, h, data in images:
        out += struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, _, data in images)


class Bitmap:
    """Straight RGBA rows, written by png_bytes as a Canvas is."""

    def __init__(self, width, height, rows):
        self.width, self.height, self.rows = width, height, rows

    def rgba_rows(self):
        return self.rows


def read_png(path):
    """Decode an 8-bit RGBA, non-interlaced PNG (the only kind in ressources/)."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError(path + ": not a PNG")
    pos, idat = 8, b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    if (depth, colour, interlace) != (8, 6, 0):
        raise ValueError(path + ": not 8-bit RGBA without interlacing")
    raw, stride = zlib.decompress(idat), width * 4
    rows, above = [], bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind, row = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        for x in range(stride):
            left = row[x - 4] if x >= 4 else 0
            up, up_left = above[x], (above[x - 4] if x >= 4 else 0)
            if kind == 1:
                row[x] = (row[x] + left) & 255
            elif kind == 2:
                row[x] = (row[x] + up) & 255
            elif kind == 3:
                row[x] = (row[x] + (left + up) // 2) & 255
            elif kind == 4:
                p = left + up - up_left
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - up_left)
                predictor = left if pa <= pb and pa <= pc else up if pb <= pc else up_left
                row[x] = (row[x] + predictor) & 255
        rows.append(bytes(row))
        above = row
    return Bitmap(width, height, rows)


# ---------------------------------------------------------------------------
# Artwork
# ---------------------------------------------------------------------------

ARROW_GREY = (48, 48, 48, 255)


def value_arrow(up):
    """8x8 solid triangle, 6 px wide at its base, pointing up or down."""
    c = Canvas(8, 8)
    spans = [(3, 5), (2, 6), (1, 7)]  # x ranges, from tip to base
    rows = (3, 4, 5) if up else (4, 3, 2)
    for y, (x0, x1) in zip(rows, spans):
        c.rect(x0, y, x1, y + 1, ARROW_GREY)
    return c


def speaker(c, x, y, size, paint):
    """Loudspeaker facing right; (x, y) is the left edge centre, size its height."""
    s = size / 2.0
    c.rounded_rect(x, y - 0.42 * s, x + 0.55 * s, y + 0.42 * s, 0.08 * s, paint)
    c.polygon([(x + 0.5 * s, y - 0.42 * s), (x + 1.25 * s, y - s),
               (x + 1.25 * s, y + s), (x + 0.5 * s, y + 0.42 * s)], paint)


def waves(c, cx, cy, radii, width, paints, spread=45):
    for r, p in zip(radii, paints):
        c.arc(cx, cy, r, width, -spread, spread, p)


def app_icon(size, ss=4):
    """The application icon: blue rounded square with a loudspeaker and waves."""
    c = Canvas(size, size, ss)
    u = size / 32.0  # draw on a 32-unit grid
    c.rounded_rect(1 * u, 1 * u, 31 * u, 31 * u, 7 * u, (16, 52, 96, 255))
    c.rounded_rect(1.8 * u, 1.8 * u, 30.2 * u, 30.2 * u, 6.2 * u,
                   gradient(1.8 * u, 30.2 * u, (82, 160, 230, 255), (28, 88, 160, 255)))
    c.ellipse(16 * u, 6 * u, 13 * u, 6 * u, (255, 255, 255, 28))  # soft top sheen
    white = (255, 255, 255, 255)
    speaker(c, 5 * u, 16 * u, 15 * u, white)
    waves(c, 14.5 * u, 16 * u, (6.5 * u, 11.5 * u), 2.4 * u,
          (white, (255, 255, 255, 200)))
    return c


def serial_plug(c, cx, cy, scale):
    """A 9-pin D-sub connector seen from the front, centred on (cx, cy)."""
    k = scale

    def d_shape(w_top, w_bot, h, r):
        return [(cx - w_top / 2 + r, cy - h / 2), (cx + w_top / 2 - r, cy - h / 2),
                (cx + w_top / 2, cy - h / 2 + r), (cx + w_bot / 2, cy + h / 2 - r),
                (cx + w_bot / 2 - r, cy + h / 2), (cx - w_bot / 2 + r, cy + h / 2),
                (cx - w_bot / 2, cy + h / 2 - r), (cx - w_top / 2, cy - h / 2 + r)]
    # mounting flange with two screw posts
    c.rounded_rect(cx - 36 * k, cy - 11 * k, cx + 36 * k, cy + 11 * k, 3 * k, (150, 162, 176, 255))
    for sx in (-29, 29):
        c.circle(cx + sx * k, cy, 4 * k, (92, 102, 116, 255))
        c.circle(cx + sx * k, cy, 2 * k, (40, 46, 56, 255))
    # metal shell and dark insulator
    c.polygon(d_shape(46 * k, 36 * k, 18 * k, 3 * k), (205, 213, 222, 255))
    c.polygon(d_shape(41 * k, 31.5 * k, 14 * k, 2.5 * k), (34, 40, 52, 255))
    # 5 + 4 pins
    gold = (236, 196, 92, 255)
    for i in range(5):
        c.circle(cx + (i - 2) * 7.5 * k, cy - 3.2 * k, 1.7 * k, gold)
    for i in range(4):
        c.circle(cx + (i - 1.5) * 7.5 * k, cy + 3.2 * k, 1.7 * k, gold)


def about_art():
    """128x192 panel for the About box."""
    w, h = 128, 192
    c = Canvas(w, h, 3)
    c.rounded_rect(0, 0, w, h, 10, gradient(0, h, (18, 30, 58, 255), (36, 96, 150, 255)))
    # faint halo behind the speaker
    for r, a in ((54, 18), (40, 22), (26, 26)):
        c.circle(60, 74, r, (120, 190, 255, a))
    light = (236, 242, 250, 255)
    speaker(c, 20, 74, 46, light)
    waves(c, 49, 74, (14, 25, 36), 4.5,
          [with_alpha(light, a) for a in (255, 190, 120)])
    # data bits travelling from the plug up to the speaker
    for i, y in enumerate(range(112, 136, 6)):
        c.circle(64, y, 1.6, (236, 196, 92, 90 + 40 * i))
    serial_plug(c, 64, 152, 1.0)
    return c


# ---------------------------------------------------------------------------
# Double-size variants
# ---------------------------------------------------------------------------

# The button and menu images. Qt loads "name@2x.png" beside "name.png" by
# itself on a screen scaled above 100 %.
SMALL_IMAGES = [
    "connect", "disconnect", "control_start_blue", "control_play_blue", "control_stop_blue",
    "control_pause_blue", "control_end_blue", "sound_none", "sound", "door", "information",
    "house", "email_edit", "UpValue6", "DownValue6",
]


def scale2x(image):
    """Double an image with the Scale2x rule: each pixel becomes four, and a
    corner takes its neighbours' colour where two of them meet along an edge.
    Pixel art stays crisp, with its own colours, and diagonals are smoothed
    rather than turned into steps twice as big."""
    w, h = image.width, image.height
    # Fully transparent pixels count as one colour whatever their RGB.
    px = [[image.rows[y][x * 4:x * 4 + 4] if image.rows[y][x * 4 + 3] else b"\0\0\0\0"
           for x in range(w)] for y in range(h)]

    def at(x, y):
        return px[min(max(y, 0), h - 1)][min(max(x, 0), w - 1)]
    rows = []
    for y in range(h):
        top, bottom = bytearray(), bytearray()
        for x in range(w):
            e, b, d, f, hh = at(x, y), at(x, y - 1), at(x - 1, y), at(x + 1, y), at(x, y + 1)
            if b != hh and d != f:
                top += (d if d == b else e) + (f if b == f else e)
                bottom += (d if d == hh else e) + (f if hh == f else e)
            else:
                top += e + e
                bottom += e + e
        rows += [bytes(top), bytes(bottom)]
    return Bitmap(w * 2, h * 2, rows)


# ---------------------------------------------------------------------------
# Main
# ---------------------------------------------------------------------------

def write(rel_path, data):
    path = os.path.join(HERE, rel_path)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    print("wrote %-36s %7d bytes" % (os.path.join("images", rel_path), len(data)))


def main():
    write("ressources/UpValue6.png", png_bytes(value_arrow(up=True)))
    write("ressources/DownValue6.png", png_bytes(value_arrow(up=False)))
    write("ressources/About.png", png_bytes(about_art()))
    small_icons = {size: app_icon(size) for size in (16, 32, 48)}
    icon256 = app_icon(256)
    write("ico256x256Win.ico", ico_bytes(list(small_icons.values()) + [icon256]))
    write("tunaris-256.png", png_bytes(icon256))
    # The window's compiled-in icon: one file a size, so that each is read
    # only when drawn.
    for size, icon in small_icons.items():
        write("ressources/tunaris-%d.png" % size, png_bytes(icon))
    for name in SMALL_IMAGES:
        image = read_png(os.path.join(HERE, "ressources", name + ".png"))
        write("ressources/%s@2x.png" % name, png_bytes(scale2x(image)))


if __name__ == "__main__":
    main()
