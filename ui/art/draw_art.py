#!/usr/bin/env python3
"""Draws Vantrel's pictures: the splash bitmap, the indicator icons, the
cable and Reset decorations and the program icon.

Standard library only, so it runs on a bare python3 on Linux or Windows.
The output is byte-for-byte the same on every run and every platform: the
drawing uses only +, -, *, / and sqrt, which IEEE 754 rounds the same
everywhere (no sin/cos/pow, whose last bits differ between C libraries), and
the files are written without compression or time stamps.

    python3 ui/art/draw_art.py [output folder]   (default: this folder)
"""

import math
import os
import struct
import sys

# --------------------------------------------------------------------------
# Pixel font: 7 rows, each glyph as wide as its strings. Only the characters
# the pictures use.

GLYPHS = {
    "V": ["#...#", "#...#", "#...#", "#...#", "#...#", ".#.#.", "..#.."],
    "a": [".....", ".....", ".###.", "....#", ".####", "#...#", ".####"],
    "n": [".....", ".....", "#.##.", "##..#", "#...#", "#...#", "#...#"],
    "t": [".#...", ".#...", "####.", ".#...", ".#...", ".#..#", "..##."],
    "r": [".....", ".....", "#.##.", "##..#", "#....", "#....", "#...."],
    "e": [".....", ".....", ".###.", "#...#", "#####", "#....", ".###."],
    "l": ["##.", ".#.", ".#.", ".#.", ".#.", ".#.", "###"],
    "2": [".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"],
    "4": ["...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."],
    ".": ["..", "..", "..", "..", "..", "##", "##"],
    "C": [".###.", "#...#", "#....", "#....", "#....", "#...#", ".###."],
    "D": ["####.", "#...#", "#...#", "#...#", "#...#", "#...#", "####."],
    "E": ["#####", "#....", "#....", "####.", "#....", "#....", "#####"],
    "M": ["#...#", "##.##", "#.#.#", "#.#.#", "#...#", "#...#", "#...#"],
    "R": ["####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"],
    "S": [".####", "#....", "#....", ".###.", "....#", "....#", "####."],
    "T": ["#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."],
    "X": ["#...#", "#...#", ".#.#.", "..#..", ".#.#.", "#...#", "#...#"],
}
GLYPH_ROWS = 7


def text_width(text, sx):
    """Width in pixels of text drawn with font pixels sx wide, one font pixel
    between characters."""
    units = sum(len(GLYPHS[c][0]) for c in text) + (len(text) - 1)
    return units * sx


# --------------------------------------------------------------------------
# Canvas: premultiplied RGBA in floats 0..1, composited with "over". Shapes
# are given as signed distance functions (negative inside, in pixels); a
# pixel's coverage is taken from the distance at its centre, which gives
# smooth edges without supersampling.


def clamp01(v):
    return 0.0 if v < 0.0 else (1.0 if v > 1.0 else v)


class Canvas:
    def __init__(self, width, height, background=None):
        self.width = width
        self.height = height
        if background is None:
            pixel = (0.0, 0.0, 0.0, 0.0)
        else:
            pixel = (background[0] / 255, background[1] / 255, background[2] / 255, 1.0)
        self.px = [list(pixel) for _ in range(width * height)]

    def blend(self, x, y, rgb, alpha):
        if alpha <= 0.0:
            return
        p = self.px[y * self.width + x]
        keep = 1.0 - alpha
        p[0] = rgb[0] / 255 * alpha + p[0] * keep
        p[1] = rgb[1] / 255 * alpha + p[1] * keep
        p[2] = rgb[2] / 255 * alpha + p[2] * keep
        p[3] = alpha + p[3] * keep

    def fill(self, sdf, box, colour, opacity=1.0):
        """Paints the shape sdf inside box (x0, y0, x1, y1). colour is an RGB
        tuple or a function of (x, y) giving one."""
        x0, y0, x1, y1 = box
        x0 = max(0, int(math.floor(x0)) - 1)
        y0 = max(0, int(math.floor(y0)) - 1)
        x1 = min(self.width, int(math.ceil(x1)) + 1)
        y1 = min(self.height, int(math.ceil(y1)) + 1)
        for y in range(y0, y1):
            cy = y + 0.5
            for x in range(x0, x1):
                cx = x + 0.5
                cover = clamp01(0.5 - sdf(cx, cy))
                if cover > 0.0:
                    rgb = colour(cx, cy) if callable(colour) else colour
                    self.blend(x, y, rgb, cover * opacity)

    def rect(self, x0, y0, x1, y1, colour, opacity=1.0):
        """Axis-aligned rectangle with exact area coverage at its edges."""
        for y in range(max(0, int(math.floor(y0))), min(self.height, int(math.ceil(y1)))):
            cy = min(y + 1.0, y1) - max(float(y), y0)
            for x in range(max(0, int(math.floor(x0))), min(self.width, int(math.ceil(x1)))):
                cx = min(x + 1.0, x1) - max(float(x), x0)
                self.blend(x, y, colour, cx * cy * opacity)

    def text(self, text, x, y, sx, sy, colour):
        """Pixel-font text with its top-left corner at (x, y), snapped to
        whole pixels so the strokes stay sharp. The font pixels are gathered
        into one coverage mask first: blending neighbouring squares one by
        one would leave seams wherever an edge falls inside a pixel."""
        x = math.floor(x + 0.5)
        y = math.floor(y + 0.5)
        cover = {}
        for ch in text:
            glyph = GLYPHS[ch]
            for row, line in enumerate(glyph):
                for col, bit in enumerate(line):
                    if bit == "#":
                        gx = x + col * sx
                        gy = y + row * sy
                        for py in range(int(math.floor(gy)), int(math.ceil(gy + sy))):
                            for px in range(int(math.floor(gx)), int(math.ceil(gx + sx))):
                                part = (min(px + 1.0, gx + sx) - max(float(px), gx)) * \
                                       (min(py + 1.0, gy + sy) - max(float(py), gy))
                                cover[(px, py)] = cover.get((px, py), 0.0) + part
            x += (len(glyph[0]) + 1) * sx
        for (px, py), part in sorted(cover.items()):
            if 0 <= px < self.width and 0 <= py < self.height:
                self.blend(px, py, colour, clamp01(part))

    def centred_text(self, text, cx, cy, sx, sy, colour):
        self.text(text, cx - text_width(text, sx) / 2, cy - GLYPH_ROWS * sy / 2, sx, sy, colour)

    def rgba_bytes(self):
        """Rows top to bottom of straight (not premultiplied) 8-bit RGBA."""
        out = []
        for p in self.px:
            a = p[3]
            if a <= 0.0:
                out.append((0, 0, 0, 0))
                continue
            out.append((to8(p[0] / a), to8(p[1] / a), to8(p[2] / a), to8(a)))
        return out


def to8(v):
    return int(clamp01(v) * 255.0 + 0.5)


# --------------------------------------------------------------------------
# Signed distance functions.


def circle(cx, cy, r):
    return lambda x, y: math.sqrt((x - cx) * (x - cx) + (y - cy) * (y - cy)) - r


def ring(cx, cy, r, half_width):
    return lambda x, y: abs(math.sqrt((x - cx) * (x - cx) + (y - cy) * (y - cy)) - r) - half_width


def rounded_rect(x0, y0, x1, y1, radius):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2 - radius, (y1 - y0) / 2 - radius

    def sdf(x, y):
        dx = abs(x - cx) - hx
        dy = abs(y - cy) - hy
        ox, oy = max(dx, 0.0), max(dy, 0.0)
        return math.sqrt(ox * ox + oy * oy) + min(max(dx, dy), 0.0) - radius

    return sdf


def convex_polygon(points):
    """Points in clockwise order on screen (y down). Exact inside and along
    the edges, which is all the anti-aliasing needs."""
    edges = []
    n = len(points)
    for i in range(n):
        ax, ay = points[i]
        bx, by = points[(i + 1) % n]
        ex, ey = bx - ax, by - ay
        length = math.sqrt(ex * ex + ey * ey)
        # Outward normal of a clockwise (screen) polygon.
        edges.append((ax, ay, ey / length, -ex / length))

    def sdf(x, y):
        return max((x - ax) * nx + (y - ay) * ny for ax, ay, nx, ny in edges)

    return sdf


def inset(sdf, amount):
    return lambda x, y: sdf(x, y) + amount


def polyline(points, half_width):
    segments = []
    for (ax, ay), (bx, by) in zip(points, points[1:]):
        dx, dy = bx - ax, by - ay
        segments.append((ax, ay, dx, dy, dx * dx + dy * dy))

    def sdf(x, y):
        best = None
        for ax, ay, dx, dy, dd in segments:
            t = clamp01(((x - ax) * dx + (y - ay) * dy) / dd)
            px, py = x - ax - t * dx, y - ay - t * dy
            d = px * px + py * py
            if best is None or d < best:
                best = d
        return math.sqrt(best) - half_width

    return sdf


def bezier(p0, p1, p2, p3, steps):
    pts = []
    for i in range(steps + 1):
        t = i / steps
        u = 1.0 - t
        a, b, c, d = u * u * u, 3 * u * u * t, 3 * u * t * t, t * t * t
        pts.append((a * p0[0] + b * p1[0] + c * p2[0] + d * p3[0],
                    a * p0[1] + b * p1[1] + c * p2[1] + d * p3[1]))
    return pts


def bounds(points, margin):
    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    return (min(xs) - margin, min(ys) - margin, max(xs) + margin, max(ys) + margin)


def vertical_gradient(top, bottom, y0, y1):
    def colour(x, y):
        t = clamp01((y - y0) / (y1 - y0))
        return tuple(top[i] + (bottom[i] - top[i]) * t for i in range(3))

    return colour


# --------------------------------------------------------------------------
# Shared pieces.

METAL = (196, 202, 210)
METAL_EDGE = (70, 78, 90)
SOCKET = (58, 66, 78)
PIN = (232, 190, 70)


def draw_d_plug(c, cx, cy, width, height, pins=True):
    """Face of a 9-pin D connector: a trapezoid shell with two rows of pins."""
    top, bottom = width / 2, width * 0.4
    shell = convex_polygon([(cx - top, cy - height / 2), (cx + top, cy - height / 2),
                            (cx + bottom, cy + height / 2), (cx - bottom, cy + height / 2)])
    box = (cx - top, cy - height / 2, cx + top, cy + height / 2)
    edge = max(1.0, width / 40)
    c.fill(shell, box, METAL_EDGE)
    c.fill(inset(shell, edge), box, METAL)
    if width < 12:
        return  # Too small for a socket to read as anything but a smudge.
    c.fill(inset(shell, width * 0.09), box, SOCKET)
    if not pins:
        return
    pitch = width * 0.14
    r = width * 0.04
    for i in range(5):
        x = cx + (i - 2) * pitch
        c.fill(circle(x, cy - height * 0.16, r), (x - r, cy - height * 0.16 - r, x + r, cy - height * 0.16 + r), PIN)
    for i in range(4):
        x = cx + (i - 1.5) * pitch
        c.fill(circle(x, cy + height * 0.17, r), (x - r, cy + height * 0.17 - r, x + r, cy + height * 0.17 + r), PIN)


def draw_vm_box(c, x0, y0, x1, y1, label_scale):
    """A monitor-like box standing for the virtual machine, with VM on its screen."""
    w = x1 - x0
    frame = w * 0.07
    c.fill(rounded_rect(x0, y0, x1, y1, w * 0.08), (x0, y0, x1, y1), (52, 60, 72))
    c.fill(rounded_rect(x0 + 1.5, y0 + 1.5, x1 - 1.5, y1 - 1.5, w * 0.07), (x0, y0, x1, y1), (226, 230, 236))
    sx0, sy0, sx1, sy1 = x0 + frame, y0 + frame, x1 - frame, y1 - frame * 1.6
    c.fill(rounded_rect(sx0, sy0, sx1, sy1, w * 0.03), (sx0, sy0, sx1, sy1),
           vertical_gradient((46, 132, 178), (24, 86, 132), sy0, sy1))
    if label_scale:
        c.centred_text("VM", (sx0 + sx1) / 2, (sy0 + sy1) / 2, label_scale, label_scale, (255, 255, 255))


# --------------------------------------------------------------------------
# Pictures.


def draw_splash():
    w, h = 400, 200
    c = Canvas(w, h, background=(0, 0, 0))
    c.fill(lambda x, y: -1.0, (0, 0, w, h), vertical_gradient((30, 62, 92), (52, 104, 128), 0, h))
    c.text("Vantrel", 28, 26, 6, 6, (244, 247, 250))
    c.text("V2.4", 30, 84, 3, 3, (168, 210, 226))
    # Cable from the plug, under the title, over to the virtual machine.
    cable = bezier((96, 158), (170, 196), (214, 104), (286, 114), 48)
    box = bounds(cable, 8)
    c.fill(polyline(cable, 5.5), box, (18, 26, 36))
    c.fill(polyline(cable, 3.5), box, (92, 104, 120))
    draw_d_plug(c, 66, 150, 78, 38)
    # Virtual machine box with its stand.
    c.fill(convex_polygon([(322, 156), (342, 156), (348, 170), (316, 170)]), (314, 154, 350, 172), (52, 60, 72))
    c.fill(rounded_rect(300, 168, 364, 176, 3), (300, 168, 364, 176), (52, 60, 72))
    draw_vm_box(c, 276, 74, 388, 160, 4)
    return c


LAMP_GREEN = (40, 200, 60)
LAMP_GREEN_RIM = (18, 104, 32)
LAMP_YELLOW = (240, 210, 40)
LAMP_YELLOW_RIM = (150, 120, 10)
GREY = (140, 140, 140)
GREY_RIM = (88, 88, 88)
LABEL_ON_LIT = (20, 52, 24)
LABEL_ON_YELLOW = (84, 64, 0)
LABEL_ON_GREY = (72, 72, 72)


def label_scale(label):
    # Two letters fit at full scale; three would crowd the rim, so they are
    # drawn narrower.
    return (3, 3) if len(label) <= 2 else (2, 3)


def draw_lamp(body, rim, label=None, label_colour=None):
    c = Canvas(64, 64)
    c.fill(circle(32, 32, 30.5), (0, 0, 64, 64), rim)
    c.fill(circle(32, 32, 27), (0, 0, 64, 64), body)
    # A small glint; kept small so the body colour dominates the picture.
    c.fill(circle(22, 20, 5), (14, 12, 30, 28), (255, 255, 255), 0.45)
    if label:
        sx, sy = label_scale(label)
        c.centred_text(label, 32, 36, sx, sy, label_colour)
    return c


def draw_square(label):
    c = Canvas(64, 64)
    c.fill(rounded_rect(3, 3, 61, 61, 9), (0, 0, 64, 64), GREY_RIM)
    c.fill(rounded_rect(6, 6, 58, 58, 6.5), (0, 0, 64, 64), GREY)
    sx, sy = label_scale(label)
    c.centred_text(label, 32, 32, sx, sy, LABEL_ON_GREY)
    return c


def draw_cable_icon():
    c = Canvas(64, 64)
    cable = bezier((18, 26), (18, 52), (46, 12), (46, 38), 32)
    box = bounds(cable, 5)
    c.fill(polyline(cable, 3.6), box, (24, 32, 44))
    c.fill(polyline(cable, 2.0), box, (88, 104, 128))
    draw_d_plug(c, 18, 16, 30, 18, pins=False)
    draw_d_plug(c, 46, 48, 30, 18, pins=False)
    for plug_x, plug_y in ((18, 16), (46, 48)):
        for i in range(3):
            x = plug_x + (i - 1) * 6
            c.fill(circle(x, plug_y - 1, 1.4), (x - 2, plug_y - 3, x + 2, plug_y + 1), PIN)
    return c


def draw_reset_icon():
    c = Canvas(48, 48)
    c.fill(circle(24, 24, 21.5), (0, 0, 48, 48), (112, 24, 20))
    c.fill(circle(24, 24, 19), (0, 0, 48, 48), (214, 58, 44))
    c.fill(ring(24, 24, 16.5, 0.8), (0, 0, 48, 48), (255, 255, 255), 0.25)
    c.fill(circle(17, 15, 4), (12, 10, 22, 20), (255, 255, 255), 0.4)
    c.centred_text("RESET", 24, 25, 1, 2, (255, 255, 255))
    return c


def draw_program_icon(size):
    """Drawn on a 256 grid and scaled, so every size has the same shapes; the
    smallest sizes leave out the details that would turn to mush."""
    c = Canvas(size, size)
    k = size / 256

    def s(v):
        return v * k

    c.fill(rounded_rect(s(8), s(8), s(248), s(248), s(44)), (0, 0, size, size),
           vertical_gradient((48, 122, 184), (22, 62, 112), s(8), s(248)))
    cable = bezier((s(84), s(124)), (s(84), s(196)), (s(130), s(196)), (s(146), s(178)), 24)
    box = bounds(cable, s(16))
    c.fill(polyline(cable, max(s(12), 0.9)), box, (16, 26, 40))
    c.fill(polyline(cable, max(s(7), 0.5)), box, (206, 214, 224))
    draw_d_plug(c, s(84), s(86), s(132), s(72), pins=size >= 32)
    draw_vm_box(c, s(132), s(116), s(238), s(204), 0 if size < 48 else int(s(6)) or 1)
    return c


# --------------------------------------------------------------------------
# File formats.


def bmp24(canvas):
    """A Windows bitmap file, 24 bits per pixel, rows bottom-up."""
    w, h = canvas.width, canvas.height
    pixels = canvas.rgba_bytes()
    stride = (w * 3 + 3) & ~3
    rows = []
    for y in range(h - 1, -1, -1):
        row = bytearray()
        for r, g, b, _ in pixels[y * w:(y + 1) * w]:
            row += bytes((b, g, r))
        row += b"\0" * (stride - w * 3)
        rows.append(bytes(row))
    data = b"".join(rows)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(data), 0, 0, 14 + len(info))
    return header + info + data


def icon_image(canvas):
    """One icon image: header, 32-bit BGRA colour rows and the 1-bit mask,
    both bottom-up; the mask marks fully transparent pixels."""
    w, h = canvas.width, canvas.height
    pixels = canvas.rgba_bytes()
    colour = bytearray()
    mask = bytearray()
    mask_stride = ((w + 31) // 32) * 4
    for y in range(h - 1, -1, -1):
        bits = bytearray(mask_stride)
        for x in range(w):
            r, g, b, a = pixels[y * w + x]
            colour += bytes((b, g, r, a))
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    info = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0, len(colour) + len(mask), 0, 0, 0, 0)
    return info + bytes(colour) + bytes(mask)


def ico(canvases):
    images = [icon_image(c) for c in canvases]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for c, image in zip(canvases, images):
        out += struct.pack("<BBBBHHII", c.width % 256, c.height % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    return out + b"".join(images)


# --------------------------------------------------------------------------

def pictures():
    """File name -> bytes of every picture."""
    return {
        "splash.bmp": bmp24(draw_splash()),
        "rx_lit.ico": ico([draw_lamp(LAMP_GREEN, LAMP_GREEN_RIM, "RX", LABEL_ON_LIT)]),
        "rx_dark.ico": ico([draw_square("RX")]),
        "tx_lit.ico": ico([draw_lamp(LAMP_GREEN, LAMP_GREEN_RIM, "TX", LABEL_ON_LIT)]),
        "tx_dark.ico": ico([draw_square("TX")]),
        "dcd_dark.ico": ico([draw_lamp(GREY, GREY_RIM)]),
        "dcd_lit.ico": ico([draw_lamp(LAMP_YELLOW, LAMP_YELLOW_RIM, "DCD", LABEL_ON_YELLOW)]),
        "dsr_dark.ico": ico([draw_lamp(GREY, GREY_RIM)]),
        "dsr_lit.ico": ico([draw_lamp(LAMP_YELLOW, LAMP_YELLOW_RIM, "DSR", LABEL_ON_YELLOW)]),
        "cable.ico": ico([draw_cable_icon()]),
        "reset.ico": ico([draw_reset_icon()]),
        "program.ico": ico([draw_program_icon(n) for n in (16, 32, 48, 256)]),
    }


def generate(folder):
    os.makedirs(folder, exist_ok=True)
    written = []
    for name, data in sorted(pictures().items()):
        path = os.path.join(folder, name)
        with open(path, "wb") as f:
            f.write(data)
        written.append(path)
    return written


if __name__ == "__main__":
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for path in generate(target):
        print(path)
