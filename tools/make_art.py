#!/usr/bin/python3
"""Regenerate the installer's bitmap and icon resources in ui/res/.

Standard library only and fully deterministic, so the committed binaries can
be rebuilt and compared byte for byte.  Usage: python3 tools/make_art.py [outdir]
"""
import math
import os
import struct
import sys

# 5x7 pixel font, only the glyphs the logo needs.
FONT = {
    "Q": [".###.", "#...#", "#...#", "#...#", "#.#.#", "#..#.", ".##.#"],
    "U": ["#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."],
    "O": [".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."],
    "R": ["####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"],
    "V": ["#...#", "#...#", "#...#", "#...#", "#...#", ".#.#.", "..#.."],
    "E": ["#####", "#....", "#....", "####.", "#....", "#....", "#####"],
    "X": ["#...#", "#...#", ".#.#.", "..#..", ".#.#.", "#...#", "#...#"],
    "I": [".###.", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."],
    "N": ["#...#", "#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#"],
    "S": [".####", "#....", "#....", ".###.", "....#", "....#", "####."],
    "T": ["#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."],
    "A": [".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"],
    "L": ["#....", "#....", "#....", "#....", "#....", "#....", "#####"],
}

LIGHT = (-0.5, -0.6, 0.62)  # top-left and in front: the usual Windows bevel convention
_n = math.sqrt(sum(c * c for c in LIGHT))
LIGHT = tuple(c / _n for c in LIGHT)
HALF = (LIGHT[0], LIGHT[1], LIGHT[2] + 1.0)  # Blinn half vector for a viewer at +z
_n = math.sqrt(sum(c * c for c in HALF))
HALF = tuple(c / _n for c in HALF)


class Canvas:
    """Supersampled height field plus emissive light; shaded once at the end."""

    def __init__(self, w, h, ss):
        self.w, self.h, self.ss = w * ss, h * ss, ss
        self.height = [0.0] * (self.w * self.h)
        self.base = [(0.0, 0.0, 0.0)] * (self.w * self.h)  # metal colour before lighting
        self.glow = [(0.0, 0.0, 0.0)] * (self.w * self.h)

    def word(self, text, x0, y0, sx, sy, bevel, bold=2):
        """Raise a word of pixel-font letters; the bevel comes from a distance map."""
        ss = self.ss
        cols = len(text) * 6 - 1
        # each font cell is grown by `bold` to the right and down: thicker strokes
        # leave room for a flat face, and diagonal cells overlap instead of
        # touching only at a corner (which would bevel into separate pyramids)
        cell_w, cell_h = (sx + bold) * ss, (sy + bold) * ss
        mw, mh = (cols * sx + bold) * ss, (7 * sy + bold) * ss
        inside = [False] * (mw * mh)
        for i, ch in enumerate(text):
            for gy, row in enumerate(FONT[ch]):
                for gx, bit in enumerate(row):
                    if bit != "#":
                        continue
                    for y in range(gy * sy * ss, gy * sy * ss + cell_h):
                        base = y * mw + (i * 6 + gx) * sx * ss
                        inside[base:base + cell_w] = [True] * cell_w
        dist = chamfer(inside, mw, mh)
        ox, oy = x0 * ss, y0 * ss
        for y in range(mh):
            for x in range(mw):
                d = dist[y * mw + x]
                if d:
                    k = (oy + y) * self.w + ox + x
                    self.height[k] = min(d / (bevel * ss), 1.0) * bevel * ss
                    self.base[k] = chrome(y / mh)

    def emblem(self, cx, cy, r, core=0.33, glow_scale=1.0):
        """Round badge: raised rim, domed plate and a lit swirl in the middle."""
        ss = self.ss
        cx, cy, r = cx * ss, cy * ss, r * ss
        rim, edge = 0.22 * r, 0.06 * r   # rim width; width of each bevel slope
        relief = max(edge, ss)            # keeps bevels ~45 degrees at any size
        core *= r
        for y in range(int(cy - r) - 1, int(cy + r) + 2):
            for x in range(int(cx - r) - 1, int(cx + r) + 2):
                if not (0 <= x < self.w and 0 <= y < self.h):
                    continue
                dx, dy = x + 0.5 - cx, y + 0.5 - cy
                d = math.hypot(dx, dy)
                if d >= r:
                    continue
                outer = min((r - d) / edge, 1.0)
                inner = min(max((d - (r - rim)) / edge + 1.0, 0.0), 1.0)
                plate = 0.45 + 0.2 * (1.0 - (d / (r - rim)) ** 2)
                # shallow groove framing the swirl, so it reads as set into the plate
                groove = 0.25 * math.exp(-((d - core * 1.15) / (0.04 * r)) ** 2)
                h = outer * max(inner, plate - groove)
                k = y * self.w + x
                self.height[k] = h * relief
                a = math.atan2(dy, dx)
                # spun-metal look: two bright wedges plus fine concentric ripples
                spun = 1.0 + 0.22 * math.cos(2.0 * (a + 0.8)) + 0.05 * math.sin(d * 9.0 / ss)
                fade = 0.9 - 0.35 * (dy / r)  # a touch lighter towards the top
                self.base[k] = tuple(c * spun * fade for c in (0.42, 0.49, 0.62))
                if d < core:
                    # three arms winding outward, brightest at the centre
                    t = d / core
                    arm = max(0.0, math.cos(3 * a + 7.0 * t)) ** 2 * (1.0 - t) ** 1.3
                    hub = math.exp(-(t / 0.22) ** 2)
                    s = glow_scale * (0.9 * arm + 1.1 * hub)
                    self.glow[k] = (0.55 * s, 0.8 * s, 1.0 * s)

    def shade(self, dim):
        """Light the height field as brushed blue-grey metal; return 8-bit RGB rows."""
        w, h, ss, hf = self.w, self.h, self.ss, self.height
        out = []
        for y in range(0, h, ss):
            row = []
            for x in range(0, w, ss):
                acc = [0.0, 0.0, 0.0]
                for sy in range(y, y + ss):
                    for sx in range(x, x + ss):
                        c = self._pixel(sx, sy, w, h, hf, dim)
                        for i in range(3):
                            acc[i] += c[i]
                row.append(tuple(min(255, int(v / (ss * ss) * 255 + 0.5)) for v in acc))
            out.append(row)
        return out

    def _pixel(self, x, y, w, h, hf, dim):
        k = y * w + x
        g = self.glow[k]
        if hf[k] <= 0.0:
            return g
        def at(xx, yy):
            return hf[yy * w + xx] if 0 <= xx < w and 0 <= yy < h else 0.0
        gx = (at(x + 1, y) - at(x - 1, y)) / 2.0
        gy = (at(x, y + 1) - at(x, y - 1)) / 2.0
        n = math.sqrt(gx * gx + gy * gy + 1.0)
        nx, ny, nz = -gx / n, -gy / n, 1.0 / n
        diff = max(0.0, nx * LIGHT[0] + ny * LIGHT[1] + nz * LIGHT[2])
        shine = max(0.0, nx * HALF[0] + ny * HALF[1] + nz * HALF[2]) ** 30
        # metal reflects a bright "sky" above and a dark floor below: faces tilted
        # up read light, faces tilted down read dark, which sells the chrome look
        sky = 0.5 - 0.5 * ny
        base = self.base[k]
        lit = 0.12 + 0.6 * diff + 0.35 * sky
        return tuple(dim * (base[i] * lit + 0.55 * shine) + g[i] for i in range(3))


def chrome(t):
    """Letter colour from top (t=0) to bottom (t=1): a sky-to-horizon gradient that
    breaks at mid height into a dark band, the classic polished-chrome cue."""
    def mix(a, b, f):
        return tuple(a[i] + (b[i] - a[i]) * f for i in range(3))
    if t < 0.5:
        return mix((0.78, 0.85, 0.97), (0.44, 0.51, 0.66), t * 2.0)
    return mix((0.2, 0.25, 0.36), (0.5, 0.58, 0.73), t * 2.0 - 1.0)


def chamfer(inside, w, h):
    """3-4 chamfer distance (in pixels) from each inside pixel to the outside."""
    big = 10 ** 9
    d = [big if v else 0 for v in inside]
    for y in range(h):  # forward pass: up and left neighbours
        for x in range(w):
            k = y * w + x
            if d[k]:
                up = d[k - w] if y else 0
                left = d[k - 1] if x else 0
                ul = d[k - w - 1] if x and y else 0
                ur = d[k - w + 1] if y and x < w - 1 else 0
                d[k] = min(d[k], up + 3, left + 3, ul + 4, ur + 4)
    for y in range(h - 1, -1, -1):  # backward pass: down and right neighbours
        for x in range(w - 1, -1, -1):
            k = y * w + x
            if d[k]:
                dn = d[k + w] if y < h - 1 else 0
                rt = d[k + 1] if x < w - 1 else 0
                dr = d[k + w + 1] if x < w - 1 and y < h - 1 else 0
                dl = d[k + w - 1] if x and y < h - 1 else 0
                d[k] = min(d[k], dn + 3, rt + 3, dr + 4, dl + 4)
    return [v / 3.0 for v in d]


def dib_rows(rows):
    """Bottom-up BGR rows, each padded to a 4-byte boundary, as a DIB wants."""
    out = bytearray()
    for row in reversed(rows):
        line = bytearray()
        for r, g, b in row:
            line += bytes((b, g, r))
        line += b"\0" * (-len(line) % 4)
        out += line
    return bytes(out)


def info_header(w, h, size_image):
    return struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, size_image, 2835, 2835, 0, 0)


def make_background():
    c = Canvas(312, 358, 2)
    c.word("QUORVEX", 12, 12, 7, 6, 3.0)
    c.emblem(156, 178, 96)
    c.word("INSTALL", 12, 302, 7, 6, 3.0)
    pixels = dib_rows(c.shade(dim=0.62))
    header = info_header(312, 358, len(pixels))
    filehdr = struct.pack("<2sIHHI", b"BM", 14 + 40 + len(pixels), 0, 0, 14 + 40)
    return filehdr + header + pixels


def make_icon_image():
    c = Canvas(32, 32, 4)
    c.emblem(16, 16, 15.5, core=0.55, glow_scale=1.5)
    xor = dib_rows(c.shade(dim=1.1))
    mask = bytes(32 * 4)  # 1 bpp rows of 32 bits: every pixel opaque
    return info_header(32, 64, len(xor) + len(mask)) + xor + mask


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    outdir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "ui", "res")
    os.makedirs(outdir, exist_ok=True)
    image = make_icon_image()
    files = {
        "background.bmp": make_background(),
        "icon_image.bin": image,
        # GRPICONDIR + one GRPICONDIRENTRY pointing at RT_ICON id 30001
        "icon_group.bin": struct.pack("<HHH", 0, 1, 1)
        + struct.pack("<BBBBHHIH", 32, 32, 0, 0, 1, 24, len(image), 30001),
        # the same image as a plain .ico (ICONDIR + ICONDIRENTRY with file offset)
        "app.ico": struct.pack("<HHH", 0, 1, 1)
        + struct.pack("<BBBBHHII", 32, 32, 0, 0, 1, 24, len(image), 22) + image,
    }
    for name, data in files.items():
        with open(os.path.join(outdir, name), "wb") as f:
            f.write(data)
        print(f"{name}: {len(data)} bytes")


if __name__ == "__main__":
    main()
