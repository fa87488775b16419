#!/usr/bin/env python3
"""Draws every image the program carries: the compiled-in PNGs, the hicolor app icons for
Linux and the two Windows icon files. Python 3 standard library only, deterministic output,
so the committed images can be redrawn and compared at any time.

    python3 resources/tools/draw_icons.py          # writes next to this script's parent
"""

import math
import os
import random
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
RESOURCES = os.path.dirname(HERE)


# ---------------------------------------------------------------------------------------------
# A tiny anti-aliased rasteriser. Shapes are inside-tests in design units; the canvas maps
# each pixel's sub-samples into design space (scale = pixels per design unit).

def hexcolor(text, alpha=1.0):
    text = text.lstrip('#')
    return (int(text[0:2], 16) / 255.0, int(text[2:4], 16) / 255.0,
            int(text[4:6], 16) / 255.0, alpha)


class Canvas:
    def __init__(self, width, height, scale=1.0, samples=4):
        self.width = width
        self.height = height
        self.scale = scale
        self.samples = samples
        # premultiplied RGBA floats
        self.pixels = [[0.0, 0.0, 0.0, 0.0] for _ in range(width * height)]

    def fill(self, shape, paint):
        inside, (bx0, by0, bx1, by1) = shape
        s = self.scale
        px0 = max(0, int(math.floor(bx0 * s)))
        py0 = max(0, int(math.floor(by0 * s)))
        px1 = min(self.width, int(math.ceil(bx1 * s)) + 1)
        py1 = min(self.height, int(math.ceil(by1 * s)) + 1)
        n = self.samples
        offsets = [(i + 0.5) / n for i in range(n)]
        total = float(n * n)
        for py in range(py0, py1):
            for px in range(px0, px1):
                hits = 0
                for oy in offsets:
                    y = (py + oy) / s
                    for ox in offsets:
                        if inside((px + ox) / s, y):
                            hits += 1
                if hits == 0:
                    continue
                cx, cy = (px + 0.5) / s, (py + 0.5) / s
                r, g, b, a = paint(cx, cy) if callable(paint) else paint
                a *= hits / total
                p = self.pixels[py * self.width + px]
                k = 1.0 - a
                p[0] = r * a + p[0] * k
                p[1] = g * a + p[1] * k
                p[2] = b * a + p[2] * k
                p[3] = a + p[3] * k

    def fill_all(self, paint):
        """Paints every pixel once at its centre, without sub-samples (backgrounds)."""
        s = self.scale
        for py in range(self.height):
            for px in range(self.width):
                r, g, b, a = paint((px + 0.5) / s, (py + 0.5) / s)
                p = self.pixels[py * self.width + px]
                k = 1.0 - a
                p[0] = r * a + p[0] * k
                p[1] = g * a + p[1] * k
                p[2] = b * a + p[2] * k
                p[3] = a + p[3] * k

    def rgba(self):
        """Straight (not premultiplied) 8-bit RGBA rows."""
        rows = []
        for y in range(self.height):
            row = []
            for x in range(self.width):
                r, g, b, a = self.pixels[y * self.width + x]
                if a <= 0.0:
                    row.append((0, 0, 0, 0))
                    continue
                row.append(tuple(min(255, max(0, int(round(c * 255))))
                                 for c in (r / a, g / a, b / a, a)))
            rows.append(row)
        return rows


# Shapes: (inside(x, y), bounding box).

def rect(x0, y0, x1, y1):
    return (lambda x, y: x0 <= x < x1 and y0 <= y < y1), (x0, y0, x1, y1)


def rrect(x0, y0, x1, y1, radius):
    def inside(x, y):
        if not (x0 <= x < x1 and y0 <= y < y1):
            return False
        dx = max(x0 + radius - x, 0.0, x - (x1 - radius))
        dy = max(y0 + radius - y, 0.0, y - (y1 - radius))
        return dx * dx + dy * dy <= radius * radius
    return inside, (x0, y0, x1, y1)


def ellipse(cx, cy, rx, ry):
    return ((lambda x, y: ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 <= 1.0),
            (cx - rx, cy - ry, cx + rx, cy + ry))


def circle(cx, cy, r):
    return ellipse(cx, cy, r, r)


def ring(cx, cy, r0, r1):
    def inside(x, y):
        d = (x - cx) ** 2 + (y - cy) ** 2
        return r0 * r0 <= d <= r1 * r1
    return inside, (cx - r1, cy - r1, cx + r1, cy + r1)


def polygon(points):
    xs = [p[0] for p in points]
    ys = [p[1] for p in points]

    def inside(x, y):
        result = False
        j = len(points) - 1
        for i in range(len(points)):
            xi, yi = points[i]
            xj, yj = points[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                result = not result
            j = i
        return result
    return inside, (min(xs), min(ys), max(xs), max(ys))


def segment(x0, y0, x1, y1, width):
    """A stroke with round caps."""
    half = width / 2.0
    dx, dy = x1 - x0, y1 - y0
    length2 = dx * dx + dy * dy or 1e-9

    def inside(x, y):
        t = max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / length2))
        ex, ey = x0 + t * dx - x, y0 + t * dy - y
        return ex * ex + ey * ey <= half * half
    return inside, (min(x0, x1) - half, min(y0, y1) - half,
                    max(x0, x1) + half, max(y0, y1) + half)


def minus(a, b):
    return (lambda x, y: a[0](x, y) and not b[0](x, y)), a[1]


def flame(cx, base, height, half_width, sway=0.0, steps=48):
    """A teardrop standing on its round end, its tip bent sideways by sway."""
    left, right = [], []
    widest = 0.28 ** 0.5 * 0.72 ** 1.3  # t ** 0.5 * (1 - t) ** 1.3 peaks at t = 0.28
    for i in range(steps + 1):
        t = i / steps
        w = half_width * (t ** 0.5) * ((1 - t) ** 1.3) / widest
        shift = sway * math.sin(math.pi * t) * t
        y = base - height * t
        left.append((cx - w + shift, y))
        right.append((cx + w + shift, y))
    return polygon(left + right[::-1])


def star(cx, cy, outer, inner, points=4, turn=0.0):
    pts = []
    for i in range(points * 2):
        angle = turn + math.pi * i / points
        r = outer if i % 2 == 0 else inner
        pts.append((cx + r * math.sin(angle), cy - r * math.cos(angle)))
    return polygon(pts)


def vertical(top, bottom, y0, y1):
    def paint(x, y):
        t = max(0.0, min(1.0, (y - y0) / (y1 - y0)))
        return tuple(a + (b - a) * t for a, b in zip(top, bottom))
    return paint


# ---------------------------------------------------------------------------------------------
# Palette

INK = hexcolor('3a3f4b')
PAPER = hexcolor('fbfbf8')
FOLD = hexcolor('c9ccd3')
LIVE_INK = hexcolor('2f6e3c')
LIVE_PAPER = hexcolor('e3f4e6')
LIVE_FOLD = hexcolor('9fcfa9')
ACCENT = {'video': hexcolor('2a6fd6'), 'audio': hexcolor('8a3fc7'),
          'picture': hexcolor('e07b1a'), None: hexcolor('7a808c')}
FOLDER_BACK = hexcolor('c98f1c')
FOLDER_BODY = hexcolor('f2c14e')
FOLDER_LIGHT = hexcolor('f8d77e')
LIVE_BACK = hexcolor('2f7a3f')
LIVE_BODY = hexcolor('5fba6f')
LIVE_LIGHT = hexcolor('8bd597')
WHITE = hexcolor('ffffff')
NAVY_TOP = hexcolor('22356b')
NAVY_BOTTOM = hexcolor('141d3d')
FLAME_OUTER_TOP = hexcolor('f0502a')
FLAME_OUTER_BOTTOM = hexcolor('ff9a1f')
FLAME_INNER_TOP = hexcolor('ffd23f')
FLAME_INNER_BOTTOM = hexcolor('fff3b0')


# ---------------------------------------------------------------------------------------------
# Drawings, all in a 16 x 16 design space

def draw_page(c, live, media):
    ink, paper, fold = (LIVE_INK, LIVE_PAPER, LIVE_FOLD) if live else (INK, PAPER, FOLD)
    c.fill(polygon([(2.5, 0.5), (9.8, 0.5), (13.5, 4.2), (13.5, 15.5), (2.5, 15.5)]), ink)
    c.fill(polygon([(3.5, 1.5), (9.4, 1.5), (12.5, 4.6), (12.5, 14.5), (3.5, 14.5)]), paper)
    c.fill(polygon([(9.4, 1.0), (9.4, 4.6), (13.0, 4.6)]), fold)
    accent = ACCENT[media]
    if media == 'video':
        c.fill(polygon([(5.6, 6.6), (5.6, 12.6), (10.8, 9.6)]), accent)
    elif media == 'audio':
        c.fill(segment(9.3, 6.2, 9.3, 11.4, 1.1), accent)
        c.fill(segment(9.3, 6.2, 11.0, 7.6, 1.1), accent)
        c.fill(ellipse(7.6, 11.7, 1.8, 1.3), accent)
    elif media == 'picture':
        c.fill(circle(9.8, 7.4, 1.3), accent)
        c.fill(polygon([(4.5, 13.2), (7.3, 8.6), (9.4, 11.6), (10.3, 10.4), (11.7, 13.2)]),
               hexcolor('3f8f6b'))
    else:
        for y in (7.0, 9.2, 11.4):
            c.fill(segment(5.4, y, 10.6, y, 1.0), accent)
    if live:
        # the mark that tells a disk-backed entry from one the user placed: a small disc
        c.fill(circle(4.6, 3.6, 2.4), LIVE_INK)
        c.fill(circle(4.6, 3.6, 1.2), LIVE_LIGHT)


def draw_folder(c, live, opened):
    back, body, light = (LIVE_BACK, LIVE_BODY, LIVE_LIGHT) if live else (
        FOLDER_BACK, FOLDER_BODY, FOLDER_LIGHT)
    c.fill(polygon([(0.5, 2.5), (6.0, 2.5), (7.6, 4.1), (15.0, 4.1), (15.0, 14.5), (0.5, 14.5)]),
           back)
    if opened:
        c.fill(rect(2.0, 5.2, 13.6, 9.0), PAPER)
        c.fill(polygon([(3.2, 7.4), (15.9, 7.4), (13.6, 14.5), (0.5, 14.5)]), body)
        c.fill(polygon([(3.6, 8.2), (14.8, 8.2), (14.5, 9.2), (3.3, 9.2)]), light)
    else:
        c.fill(rrect(0.5, 5.4, 15.5, 14.5, 0.8), body)
        c.fill(rect(1.3, 6.2, 14.7, 7.2), light)
    if live:
        c.fill(ring(8.2 if opened else 8.0, 11.2, 1.1, 2.1), WHITE)


def draw_tab(c, media):
    if media == 'video':
        c.fill(rrect(0.5, 2.0, 15.5, 12.5, 1.6), INK)
        c.fill(rect(1.8, 3.3, 14.2, 11.2), vertical(hexcolor('5d9bf0'), ACCENT['video'], 3, 11))
        c.fill(polygon([(6.3, 4.8), (6.3, 9.8), (10.6, 7.3)]), WHITE)
        c.fill(segment(5.0, 14.6, 11.0, 14.6, 1.4), INK)
        c.fill(segment(8.0, 12.5, 8.0, 14.2, 1.4), INK)
    elif media == 'audio':
        accent = ACCENT['audio']
        c.fill(polygon([(5.2, 2.8), (14.3, 0.6), (14.3, 3.4), (5.2, 5.6)]), accent)
        c.fill(segment(5.9, 3.5, 5.9, 12.2, 1.4), accent)
        c.fill(segment(13.6, 1.5, 13.6, 10.4, 1.4), accent)
        c.fill(ellipse(4.0, 12.6, 2.6, 2.0), accent)
        c.fill(ellipse(11.7, 10.8, 2.6, 2.0), accent)
    else:
        c.fill(rrect(0.5, 1.5, 15.5, 14.5, 1.0), INK)
        c.fill(rect(1.7, 2.7, 14.3, 13.3), vertical(hexcolor('9fd3ff'), hexcolor('e6f4ff'), 3, 13))
        c.fill(circle(11.0, 5.6, 1.7), ACCENT['picture'])
        c.fill(polygon([(1.7, 13.3), (6.2, 6.6), (9.6, 11.0), (11.0, 9.4), (14.3, 13.3)]),
               hexcolor('3f8f6b'))


def draw_app_icon(c):
    c.fill(rrect(0.3, 0.3, 15.7, 15.7, 3.2), vertical(NAVY_TOP, NAVY_BOTTOM, 0.3, 15.7))
    c.fill(star(12.2, 3.6, 1.9, 0.45), hexcolor('dfe8ff'))
    c.fill(flame(7.6, 13.6, 11.2, 4.3, sway=1.2),
           vertical(FLAME_OUTER_TOP, FLAME_OUTER_BOTTOM, 2.4, 13.6))
    c.fill(flame(7.8, 13.6, 6.3, 2.2, sway=0.5),
           vertical(FLAME_INNER_TOP, FLAME_INNER_BOTTOM, 7.3, 13.6))
    c.fill(rrect(3.2, 13.1, 12.8, 14.7, 0.8), hexcolor('8a5a34'))


def draw_about_logo(c):
    # 480 x 256 design units. The picture's left 170 pixels carry the art; the text column
    # laid over the rest stays on a quiet dark sky so white text reads well.
    glow_x, glow_y = 86.0, 168.0

    def sky(x, y):
        t = y / 256.0
        r, g, b, _ = tuple(a + (bb - a) * t for a, bb in zip(hexcolor('16214a'),
                                                             hexcolor('2a1a40')))
        d = math.hypot(x - glow_x, (y - glow_y) * 1.25)
        warm = max(0.0, 1.0 - d / 190.0) ** 2 * 0.55
        wr, wg, wb, _ = hexcolor('ff7a2a')
        return (r + (wr - r) * warm, g + (wg - g) * warm, b + (wb - b) * warm, 1.0)

    c.fill_all(sky)

    rng = random.Random(1979)
    for _ in range(70):
        x, y = rng.uniform(4, 476), rng.uniform(4, 150)
        r = rng.choice((0.6, 0.7, 0.9, 1.1))
        c.fill(circle(x, y, r), hexcolor('ffffff', rng.uniform(0.35, 0.8)))

    # A sail of stars across the top right, joined by faint lines.
    sail = [(250, 34), (322, 22), (402, 48), (448, 98), (356, 86), (286, 70)]
    for (x0, y0), (x1, y1) in zip(sail, sail[1:] + sail[:1]):
        c.fill(segment(x0, y0, x1, y1, 1.2), hexcolor('c9d6ff', 0.28))
    for x, y in sail:
        c.fill(star(x, y, 6.5, 1.4), hexcolor('eef3ff'))
        c.fill(circle(x, y, 2.2), hexcolor('ffffff'))

    # The hearth: stones, logs and the fire.
    c.fill(rrect(14, 214, 158, 246, 6), hexcolor('4a3b3a'))
    for i, x in enumerate(range(16, 150, 24)):
        c.fill(rrect(x, 216 + (i % 2) * 2, x + 21, 230 + (i % 2) * 2, 4), hexcolor('6d5a54'))
    c.fill(rrect(30, 198, 142, 214, 8), hexcolor('7a4a2a'))
    c.fill(rrect(46, 190, 126, 204, 7), hexcolor('93603a'))
    c.fill(flame(84, 202, 168, 58, sway=14),
           vertical(FLAME_OUTER_TOP, FLAME_OUTER_BOTTOM, 40, 202))
    c.fill(flame(80, 202, 112, 36, sway=-10),
           vertical(hexcolor('ff8c1a'), hexcolor('ffc23d'), 90, 202))
    c.fill(flame(86, 202, 70, 20, sway=6),
           vertical(FLAME_INNER_TOP, FLAME_INNER_BOTTOM, 132, 202))
    for x, y, r in ((120, 92, 2.2), (52, 110, 1.8), (134, 130, 1.5), (40, 70, 1.3)):
        c.fill(circle(x, y, r), hexcolor('ffcf5a', 0.85))


# ---------------------------------------------------------------------------------------------
# Writers

def png_bytes(rows):
    height, width = len(rows), len(rows[0])
    raw = b''.join(b'\x00' + bytes(v for px in row for v in px) for row in rows)

    def chunk(kind, data):
        return (struct.pack('>I', len(data)) + kind + data
                + struct.pack('>I', zlib.crc32(kind + data) & 0xffffffff))
    return (b'\x89PNG\r\n\x1a\n'
            + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 6, 0, 0, 0))
            + chunk(b'IDAT', zlib.compress(raw, 9))
            + chunk(b'IEND', b''))


def and_mask(rows):
    """The 1-bit transparency mask of an icon image, bottom-up, rows padded to 32 bits."""
    width = len(rows[0])
    stride = ((width + 31) // 32) * 4
    out = b''
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, px in enumerate(row):
            if px[3] < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        out += bytes(bits)
    return out


def dib_32(rows):
    size = len(rows)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b''.join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    return header + pixels + and_mask(rows)


def dib_8(rows):
    """A 256-colour image; a 16 x 16 picture never holds more colours than that."""
    size = len(rows)
    palette = []
    index = {}
    for row in rows:
        for r, g, b, a in row:
            key = (r, g, b) if a >= 128 else (0, 0, 0)
            if key not in index:
                index[key] = len(palette)
                palette.append(key)
    if len(palette) > 256:
        raise ValueError('too many colours for an 8-bit icon')
    palette += [(0, 0, 0)] * (256 - len(palette))
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 8, 0, 0, 0, 0, 256, 0)
    table = b''.join(bytes((b, g, r, 0)) for r, g, b in palette)
    stride = (size + 3) // 4 * 4
    pixels = b''
    for row in reversed(rows):
        line = bytes(index[(r, g, b) if a >= 128 else (0, 0, 0)] for r, g, b, a in row)
        pixels += line + b'\x00' * (stride - size)
    return header + table + pixels + and_mask(rows)


def ico_bytes(images):
    """images: list of (rows, bits per pixel)."""
    entries, blobs = b'', b''
    offset = 6 + 16 * len(images)
    for rows, bpp in images:
        size = len(rows)
        blob = dib_32(rows) if bpp == 32 else dib_8(rows)
        entries += struct.pack('<BBBBHHII', size % 256, size % 256, 0, 0, 1, bpp,
                               len(blob), offset)
        blobs += blob
        offset += len(blob)
    return struct.pack('<HHH', 0, 1, len(images)) + entries + blobs


def render(draw, size, design=16.0, samples=4, *args):
    c = Canvas(size, size, size / design, samples)
    draw(c, *args)
    return c.rgba()


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(data)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else RESOURCES
    images = os.path.join(out, 'images')

    small = {
        'icon_media_file.png': (draw_page, False, None),
        'icon_media_file_video.png': (draw_page, False, 'video'),
        'icon_media_file_audio.png': (draw_page, False, 'audio'),
        'icon_media_file_picture.png': (draw_page, False, 'picture'),
        'icon_media_livefile.png': (draw_page, True, None),
        'icon_media_livefile_video.png': (draw_page, True, 'video'),
        'icon_media_livefile_audio.png': (draw_page, True, 'audio'),
        'icon_media_livefile_picture.png': (draw_page, True, 'picture'),
        'icon_media_folder.png': (draw_folder, False, False),
        'icon_media_folder_open.png': (draw_folder, False, True),
        'icon_media_livefolder.png': (draw_folder, True, False),
        'icon_media_livefolder_open.png': (draw_folder, True, True),
    }
    for name, (draw, *args) in small.items():
        write(os.path.join(images, name), png_bytes(render(draw, 16, 16.0, 4, *args)))
    for media in ('video', 'audio', 'picture'):
        write(os.path.join(images, 'icon_tab_%s.png' % media),
              png_bytes(render(draw_tab, 16, 16.0, 4, media)))

    app = {size: render(draw_app_icon, size, 16.0, 4 if size <= 64 else 2)
           for size in (16, 22, 24, 32, 48, 64, 128, 256)}
    write(os.path.join(images, 'app_icon_16x16.png'), png_bytes(app[16]))
    for size, rows in app.items():
        write(os.path.join(out, 'linux', 'icons', '%dx%d' % (size, size), 'vela-hearth.png'),
              png_bytes(rows))

    logo = Canvas(480, 256, 1.0, 3)
    draw_about_logo(logo)
    write(os.path.join(images, 'about_logo.png'), png_bytes(logo.rgba()))

    write(os.path.join(out, 'windows', 'hearth.ico'),
          ico_bytes([(app[48], 32), (app[32], 32), (app[16], 32)]))
    write(os.path.join(out, 'windows', 'hearth_tray.ico'), ico_bytes([(app[16], 8)]))


if __name__ == '__main__':
    main()
