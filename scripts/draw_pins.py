#!/usr/bin/env python3
"""Draws the start and end pins and their shadow into share/plotr.

Run from anywhere: python3 scripts/draw_pins.py. The output is deterministic, so
rerunning it leaves the committed PNGs byte-identical.

The program pastes a w x h pin with its left edge at px - w/2 and its top edge at
py - h + 5, so the track point is row h-5, column w/2: the tip is drawn there. The
shadow goes on at the same offsets after the pin, so it must be clear wherever a
pin has any opacity.

For -scale N (2 to 4) the same pictures are drawn N times as large, from the
same geometry, as pin-icon-start@Nx.png and so on: w and h are N times as
large and the tip lies at row h-5N, column w/2.
"""

import math
import os
import sys

import pngfile

PIN_W, PIN_H = 25, 41
TIP_COL, TIP_ROW = PIN_W // 2, PIN_H - 5
SHADOW_W = 45

# Geometry in pixel units; pixel (c, r) covers [c, c+1) x [r, r+1).
CX = TIP_COL + 0.5
HEAD_CY = 12.5
HEAD_R = 11.0
APEX_Y = TIP_ROW + 1.0  # bottom edge of the tip pixel, so nothing spills below it
OUTLINE = 1.25
DOT_R = 4.0

START_FILL = (0x2E, 0x9E, 0x3E)
END_FILL = (0xD7, 0x26, 0x3D)
DOT = (0xFF, 0xFF, 0xFF)

# The shadow is the pin laid down on the ground: heights shrink by SQUASH and
# lean right by LEAN per unit of height.
SQUASH = 0.45
LEAN = 0.6
SHADOW_MAX_ALPHA = 0.35

SAMPLES = 4  # per axis, per pixel


def teardrop(x, y, r, apex_y):
    """True if (x, y) lies in the convex hull of the head circle and the apex."""
    dx, dy = x - CX, y - HEAD_CY
    if dx * dx + dy * dy <= r * r:
        return True
    d = apex_y - HEAD_CY
    h = apex_y - y  # height above the apex
    if h < 0:
        return False
    sin_a = r / d
    cos_a = math.sqrt(1 - sin_a * sin_a)
    tangent_h = math.sqrt(d * d - r * r) * cos_a
    return h <= tangent_h and abs(dx) <= h * sin_a / cos_a


def inner_apex_y():
    # Shrinking the hull by OUTLINE keeps the cone's angle and lifts its apex.
    sin_a = HEAD_R / (APEX_Y - HEAD_CY)
    return APEX_Y - OUTLINE / sin_a


def mix(a, b, t):
    return tuple(ca + (cb - ca) * t for ca, cb in zip(a, b))


def pin_sample(x, y, fill, inner_apex):
    """Colour of one sample as (r, g, b), or None outside the pin."""
    if not teardrop(x, y, HEAD_R, APEX_Y):
        return None
    if not teardrop(x, y, HEAD_R - OUTLINE, inner_apex):
        return mix(fill, (0, 0, 0), 0.45)
    dx, dy = x - CX, y - HEAD_CY
    if dx * dx + dy * dy <= DOT_R * DOT_R:
        return DOT
    # A soft light from the upper left gives the head some roundness.
    lx, ly = x - (CX - 4.0), y - (HEAD_CY - 4.0)
    light = max(0.0, 1.0 - math.sqrt(lx * lx + ly * ly) / 14.0)
    shade = max(0.0, (y - HEAD_CY) / (APEX_Y - HEAD_CY))
    return mix(mix(fill, (255, 255, 255), 0.28 * light), (0, 0, 0), 0.15 * shade)


class Scale:
    """Pixels of a picture drawn `n` times as large, mapped to the geometry's
    units so that the tip lands on the tip pixel (column w/2, row h-5n)."""

    def __init__(self, n):
        self.n = n
        self.pin_w, self.pin_h, self.shadow_w = PIN_W * n, PIN_H * n, SHADOW_W * n
        self.tip_col, self.tip_row = self.pin_w // 2, self.pin_h - 5 * n
        # At 1 both offsets are 0 and every coordinate is the pixel's own.
        self.dx = self.tip_col + 0.5 - CX * n
        self.dy = self.tip_row + 1.0 - APEX_Y * n

    def unit(self, x, y):
        return (x - self.dx) / self.n, (y - self.dy) / self.n

    def suffix(self):
        return "" if self.n == 1 else f"@{self.n}x"


def draw_pin(fill, scale):
    """Returns rows of (r, g, b, a) tuples; alpha is the covered share of the samples and the
    colour their mean, so edges blend without darkening."""
    inner_apex = inner_apex_y()
    n = SAMPLES * SAMPLES
    rows = []
    for row in range(scale.pin_h):
        out = []
        for col in range(scale.pin_w):
            acc = [0.0, 0.0, 0.0]
            hits = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x, y = scale.unit(col + (sx + 0.5) / SAMPLES, row + (sy + 0.5) / SAMPLES)
                    c = pin_sample(x, y, fill, inner_apex)
                    if c is not None:
                        hits += 1
                        for i in range(3):
                            acc[i] += c[i]
            if hits == 0:
                out.append((0, 0, 0, 0))
            else:
                out.append(tuple(round(v / hits) for v in acc) + (round(255 * hits / n),))
        rows.append(out)
    return rows


def blur(grid, passes):
    """Binomial [1 2 1] blur in both directions; edges read as zero."""
    h, w = len(grid), len(grid[0])
    for _ in range(passes):
        grid = [[(grid[r][c - 1] if c > 0 else 0) + 2 * grid[r][c] +
                 (grid[r][c + 1] if c + 1 < w else 0) for c in range(w)] for r in range(h)]
        grid = [[((grid[r - 1][c] if r > 0 else 0) + 2 * grid[r][c] +
                  (grid[r + 1][c] if r + 1 < h else 0)) / 16 for c in range(w)] for r in range(h)]
    return grid


def draw_shadow(pins, scale):
    n = SAMPLES * SAMPLES
    cover = []
    for row in range(scale.pin_h):
        line = []
        for col in range(scale.shadow_w):
            hits = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x, y = scale.unit(col + (sx + 0.5) / SAMPLES, row + (sy + 0.5) / SAMPLES)
                    h = (APEX_Y - y) / SQUASH  # height on the standing pin
                    if teardrop(x - LEAN * h, APEX_Y - h, HEAD_R, APEX_Y):
                        hits += 1
            # Fainter further from the tip, as a real shadow blurs with distance.
            middle = scale.unit(0, row + 0.5)[1]
            fade = 1.0 - 0.3 * min(1.0, max(0.0, (APEX_Y - middle) / (APEX_Y - 1.0)))
            line.append(fade * hits / n)
        cover.append(line)
    # The blur spreads as far in the geometry's units: its variance grows
    # with the square of the scale.
    cover = blur(cover, 3 * scale.n * scale.n)
    rows = []
    for row in range(scale.pin_h):
        out = []
        for col in range(scale.shadow_w):
            under_pin = col < scale.pin_w and any(p[row][col][3] > 0 for p in pins)
            a = 0 if under_pin else round(255 * SHADOW_MAX_ALPHA * min(1.0, cover[row][col]))
            out.append((0, 0, 0, a))
        rows.append(out)
    return rows


def encode_png(rows):
    h, w = len(rows), len(rows[0])
    return pngfile.encode(w, h, 4, bytes(v for line in rows for px in line for v in px))


def decode_png(data):
    """Reads back what encode_png writes, as 8-bit RGBA with only the three
    chunks MagickCore needs; the decoder checks the signature and CRCs."""
    png = pngfile.Png(data)
    if png.chunks != ["IHDR", "IDAT", "IEND"] or (png.depth, png.color_type) != (8, 6):
        raise ValueError("unexpected chunks or format")
    return [[png.pixel(c, r) for c in range(png.width)] for r in range(png.height)]


def check(images, scale):
    s = scale.suffix()
    start, end, shadow = (images[f"pin-{name}{s}.png"]
                          for name in ("icon-start", "icon-end", "shadow"))
    tip_col, tip_row = scale.tip_col, scale.tip_row
    failures = []
    for name, pin in (("start", start), ("end", end)):
        if pin[tip_row][tip_col][3] == 0:
            failures.append(f"{name}{s} pin: tip pixel ({tip_col}, {tip_row}) is transparent")
        if any(px[3] for line in pin[tip_row + 1:] for px in line):
            failures.append(f"{name}{s} pin: rows below the tip are not transparent")
    for row in range(scale.pin_h):
        for col in range(scale.pin_w):
            if (start[row][col][3] or end[row][col][3]) and shadow[row][col][3]:
                failures.append(f"shadow covers a pin at ({col}, {row})")
    if any(px[3] for px in shadow[0]) or any(line[-1][3] for line in shadow):
        failures.append("shadow is clipped by its top or right edge")
    if max(px[3] for line in shadow for px in line) > round(255 * 0.4):
        failures.append("shadow is darker than 40 %")
    return failures


def main():
    out_dir = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "share", "plotr")
    for scale in map(Scale, range(1, 5)):
        start = draw_pin(START_FILL, scale)
        end = draw_pin(END_FILL, scale)
        s = scale.suffix()
        images = {
            f"pin-icon-start{s}.png": start,
            f"pin-icon-end{s}.png": end,
            f"pin-shadow{s}.png": draw_shadow([start, end], scale),
        }
        # Check what the files hold, not just what was meant to go in them.
        read_back = {}
        for name, rows in images.items():
            path = os.path.join(out_dir, name)
            with open(path, "wb") as f:
                f.write(encode_png(rows))
            with open(path, "rb") as f:
                read_back[name] = decode_png(f.read())
            if read_back[name] != rows:
                sys.exit(f"draw_pins: {name} does not read back as drawn")
        failures = check(read_back, scale)
        if failures:
            sys.exit("draw_pins: " + "\ndraw_pins: ".join(failures))


if __name__ == "__main__":
    main()
