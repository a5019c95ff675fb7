#!/usr/bin/env python3
"""The whole run against a local HTTP tile server whose tiles are each one
solid colour: the worked example's messages and requests, and in the
picture every tile, the line and the pins where the layout puts them; the
same without markers, compressed, with a canvas that reaches past the edge
of the world, and with another line colour and width; the credit line."""

import glob
import itertools
import math
import os
import re
import shutil
import signal
import tempfile
import time

import gpx_oracle
from gpx_oracle import pixel_x, pixel_y
from plotr_e2e import (EXAMPLE_GPX, EXAMPLE_LAYOUT, EXAMPLE_POINTS, EXAMPLE_TILES, EXAMPLE_TRACKS,
                       FIRST_TILE, HELP, PARSING, Suite, Tile_server, distance_to, gpx, numeric,
                       provider_file, requests_problem, tile_paths, track)
import pngfile
from pngfile import read_png
from tile_server import encoded_tile, tile_color, write_mbtiles

suite = Suite(__doc__)
PINS = os.path.join(os.path.dirname(os.path.dirname(suite.plotr)), "share", "plotr")
WHITE = (255, 255, 255)
LINE = (0x44, 0x00, 0xFF)
LINE_ALPHA = 0.7


def png_texts(path):
    """{key: text} of the tEXt and iTXt chunks of a PNG file."""
    with open(path, "rb") as f:
        data = f.read()
    texts, at = {}, 8
    while at + 8 <= len(data):
        length, kind = int.from_bytes(data[at:at + 4], "big"), data[at + 4:at + 8]
        body = data[at + 8:at + 8 + length]
        key, _, rest = body.partition(b"\0")
        if kind == b"tEXt":
            texts[key.decode("latin-1")] = rest.decode("latin-1")
        elif kind == b"iTXt":
            texts[key.decode("latin-1")] = rest[2:].split(b"\0", 2)[2].decode("utf-8")
        at += 12 + length
    return texts


def near(actual, expected, tolerance):
    return all(abs(a - e) <= tolerance for a, e in zip(actual[:3], expected))


class Expected:
    """What the canvas must show for `tracks` over the checker tiles
    `downloaded`, computed from the layout alone. At `scale` the scale-1
    layout is drawn that many times as large, over tiles `side` pixels wide
    on the canvas, with the line that many times as wide and that scale's pins."""

    def __init__(self, tracks, downloaded, markers=True, size=(800, 600), line=(LINE, LINE_ALPHA),
                 width=4, scale=1, side=256, pin_units=None):
        self.size = (size[0] * scale, size[1] * scale)
        self.line, self.width = line, width * scale
        self.side = side
        # Off the line beyond this distance from its middle.
        self.reach = self.width / 2 + 2
        z, top, _, left, _ = gpx_oracle.canvas(tracks, *size)
        self.origin = (math.floor(left * scale), math.floor(top * scale))
        self.downloaded = set(downloaded)
        point = lambda lat, lon: (int(pixel_x(z, lon) * scale - left * scale),
                                  int(pixel_y(z, lat) * scale - top * scale))
        self.segments = [[point(*p) for p in seg] for trk in tracks for seg in trk if seg]
        suffix = f"@{scale}x" if scale > 1 else ""
        start, end, shadow = (read_png(os.path.join(PINS, f"pin-{n}{suffix}.png"))
                              for n in ("icon-start", "icon-end", "shadow"))
        # In paste order; each pin's shadow lands at the pin's own offsets. A pin unit
        # (-pins) is a list of tracks: pins at its first and last point.
        units = self.segments
        if pin_units is not None:
            units = [[point(*p) for trk in unit for seg in trk for p in seg] for unit in pin_units]
        self.pins = []
        for seg in filter(None, units):
            for pin, (px, py) in ((start, seg[0]), (end, seg[-1])):
                self.pins.append((pin, px - int(pin.width / 2), py - pin.height + 5 * scale))
        self.shadow = shadow
        self.markers = markers

    def background(self, x, y):
        tx, ty = (x + self.origin[0]) // self.side, (y + self.origin[1]) // self.side
        return tile_color(tx, ty) if (tx, ty) in self.downloaded else WHITE

    def on_line(self, x, y, reach):
        return any(distance_to((x, y), a, b) <= reach
                   for seg in self.segments for a, b in zip(seg, seg[1:] or seg))

    def under_pin(self, x, y, pins=None):
        for pin, left, top in self.pins if pins is None else pins:
            w, h = max(pin.width, self.shadow.width), max(pin.height, self.shadow.height)
            if left - 1 <= x <= left + w and top - 1 <= y <= top + h:
                return True
        return False

    def tiles_problems(self, png):
        """Samples across the canvas, off the line and the pins: each shows
        the tile the layout puts there, or white outside the world."""
        # A coarse grid, and both sides of every tile edge, where a paste one
        # pixel off shows.
        xs, ys = set(range(3, self.size[0], 8)), set(range(3, self.size[1], 8))
        for edges, origin, extent in ((xs, self.origin[0], self.size[0]),
                                      (ys, self.origin[1], self.size[1])):
            edges.update(e + d for e in range(-origin % self.side, extent + 1, self.side)
                         for d in (-1, 0)
                         if 0 <= e + d < extent)
        bad, seen = [], set()
        for y in sorted(ys):
            for x in sorted(xs):
                if self.on_line(x, y, self.reach) or (self.markers and self.under_pin(x, y)):
                    continue
                want = self.background(x, y)
                seen.add(want)
                if not near(png.pixel(x, y), want, 1):
                    bad.append(f"({x}, {y}) is {png.pixel(x, y)[:3]}, expected {want}")
        missing = [t for t in self.downloaded if tile_color(*t) not in seen]
        return _summary(bad) + [f"no sample fell on tile {t}" for t in missing]

    def line_problems(self, png):
        """Along the line, off the pins: the line colour over the tile, in
        the middle and, for a wide line, a pixel inside either edge, and all
        round every point (round caps and joins)."""
        bad = []
        color, alpha = self.line
        side = self.width / 2 - 1.5 if self.width > 4 else 0
        samples = []
        for seg in self.segments:
            for (ax, ay), (bx, by) in zip(seg, seg[1:]):
                steps = max(abs(bx - ax), abs(by - ay))
                if steps == 0:
                    continue
                length = math.hypot(bx - ax, by - ay)
                for i, d in itertools.product(range(0, steps + 1, 3), sorted({0, side, -side})):
                    samples.append((round(ax + (bx - ax) * i / steps - d * (by - ay) / length),
                                    round(ay + (by - ay) * i / steps + d * (bx - ax) / length)))
            for (px, py), k in itertools.product(seg if side else [], range(16)):
                samples.append((round(px + side * math.cos(k * math.pi / 8)),
                                round(py + side * math.sin(k * math.pi / 8))))
        for x, y in samples:
            if not (0 <= x < self.size[0] and 0 <= y < self.size[1]):
                continue
            if self.markers and self.under_pin(x, y):
                continue
            bg = self.background(x, y)
            want = tuple(alpha * c + (1 - alpha) * b for c, b in zip(color, bg))
            if not near(png.pixel(x, y), want, 3):
                bad.append(f"({x}, {y}) is {png.pixel(x, y)[:3]}, expected about "
                           f"{tuple(round(c) for c in want)}")
        return _summary(bad)

    def pin_problems(self, png):
        """Where a pin is opaque the canvas shows the pin, unless a later pin
        or shadow is pasted there; without markers, the map shows instead."""
        bad = []
        for i, (pin, left, top) in enumerate(self.pins):
            later = self.pins[i + 1:]
            for py in range(pin.height):
                for px in range(pin.width):
                    x, y = left + px, top + py
                    if (pin.pixel(px, py)[3] != 255 or not (0 <= x < self.size[0])
                            or not (0 <= y < self.size[1]) or self.under_pin(x, y, later)):
                        continue
                    if self.markers:
                        want = pin.pixel(px, py)[:3]
                    elif self.on_line(x, y, self.reach):
                        continue
                    else:
                        want = self.background(x, y)
                    if not near(png.pixel(x, y), want, 2):
                        bad.append(f"({x}, {y}) is {png.pixel(x, y)[:3]}, expected {want}")
        return _summary(bad)

    def problems(self, png):
        if (png.width, png.height) != self.size:
            return [f"picture is {png.width} x {png.height}, expected {self.size}"]
        return self.tiles_problems(png) + self.line_problems(png) + self.pin_problems(png)


def _summary(bad):
    return [f"{len(bad)} wrong pixels, first: " + "; ".join(bad[:3])] if bad else []


def picture_problems(expected, metadata=True):
    """The run's out.png against `expected`; without `metadata`, it must hold
    no text, profile or Exif chunk."""
    try:
        png = read_png(suite.path("out.png"))
    except (OSError, ValueError) as e:
        return [f"no readable picture: {e}"]
    kept = set() if metadata else {"tEXt", "zTXt", "iTXt", "iCCP", "eXIf"} & set(png.chunks)
    return expected.problems(png) + ([f"chunks {sorted(kept)} are still there"] if kept else [])


suite.section("drawing")

with Tile_server(suite.workdir) as server:
    # The worked example, byte for byte.
    name = "worked example"
    if suite.wanted(name):
        r = suite.run(["-url", server.template], EXAMPLE_GPX)
        temp_dir = suite.expect(name, r, 0, stderr="", tracks=EXAMPLE_TRACKS)
        lines = r.stdout.splitlines(keepends=True)
        wanted = EXAMPLE_LAYOUT + "".join(
            f"downloading tile {server.base}/13/{x}/{y}.png\n" for x, y in EXAMPLE_TILES)
        suite.check(name + ": the 24 lines", [
            None if len(lines) == 24 and "".join(lines[:22]) == wanted else
            f"stdout {r.stdout!r}\n expected {wanted!r} and two more lines",
            None if lines[-2:] == [f"removing temporary directory {temp_dir}\n",
                                   "writing to out.png\n"] else f"last lines {lines[-2:]!r}",
            requests_problem(server, tile_paths(13, EXAMPLE_TILES))])
        suite.check(name + ": picture", picture_problems(Expected(EXAMPLE_TRACKS, EXAMPLE_TILES)))

    # Sharp pictures: the scale-1 layout lines, then the tiles fetched for the
    # scale, and the picture drawn N times as large. Rows: name, arguments,
    # {r} in the template, scale, the tiles' zoom and their side on the canvas.
    _, TOP, BOTTOM, LEFT, RIGHT = gpx_oracle.canvas(EXAMPLE_TRACKS)
    SHARP = [
        ("{r} at scale 1", [], True, 1, 13, 256),
        ("{r} at scale 2", ["-scale", "2"], True, 2, 13, 512),
        # Providers serve @2x at most: resized.
        ("{r} at scale 3: @2x", ["-scale", "3"], True, 3, 13, 768),
        # Many tiles: fetched 8 at once, their lines first as ever.
        ("scale 2 without {r}: one zoom deeper", ["-scale", "2", "-parallel", "8"], False, 2, 14,
         256),
        ("scale 3 without {r}: two deeper, shrunk", ["-scale", "3", "-parallel", "8"], False, 3,
         15, 192),
    ]
    for name, args, retina, scale, zoom, side in SHARP:
        if not suite.wanted(name):
            continue
        template = server.template.replace(".png", "{r}.png") if retina else server.template
        r = suite.run(["-url", template] + args, EXAMPLE_GPX)
        tiles = [(x, y) for x in range(int(LEFT * scale / side), int(RIGHT * scale / side) + 1)
                 for y in range(int(TOP * scale / side), int(BOTTOM * scale / side) + 1)]
        paths = [f"/{zoom}/{x}/{y}" + (f"@{min(scale, 2)}x" if retina and scale > 1 else "") + ".png"
                 for x, y in tiles]
        suite.expect(name, r, 0, stderr="", stdout_start=EXAMPLE_LAYOUT + "".join(
            f"downloading tile {server.base}{p}\n" for p in paths) + "removing temporary")
        suite.check(name + ": requests", [
            None if sorted(server.requests()) == sorted(paths) else
            f"requests are not {len(paths)} {paths[:2]}"])
        suite.check(name + ": picture", picture_problems(
            Expected(EXAMPLE_TRACKS, tiles, scale=scale, side=side)))

    # Switches and places: (name, arguments, tracks, tiles downloaded, line style).
    CASES = [
        ("without markers", ["-nomarkers"], EXAMPLE_TRACKS, EXAMPLE_TILES, {}),
        ("compressed", ["-compress"], EXAMPLE_TRACKS, EXAMPLE_TILES, {}),
        # Zoom 1: the world is 512 pixels wide in an 800 pixel canvas.
        ("canvas past the edge of the world", [], numeric([(10, -179.5), (10.5, 0), (11, 179.5)]),
         [(0, 0), (0, 1), (1, 0), (1, 1)], {}),
        # A colour without alpha is opaque; the pins stay as they are.
        ("red, wider line", ["-color", "red", "-line-width", "10"], EXAMPLE_TRACKS, EXAMPLE_TILES,
         {"line": ((255, 0, 0), 1.0), "width": 10}),
        # Round caps and joins: past both ends, and around a corner of about
        # 4 degrees, which a miter would cut off.
        ("round caps and joins", ["-nomarkers", "-color", "red", "-line-width", "24"],
         numeric(EXAMPLE_POINTS + [(52.50, 13.36)]), EXAMPLE_TILES,
         {"line": ((255, 0, 0), 1.0), "width": 24}),
    ]
    for name, args, tracks, tiles, style in CASES:
        if not suite.wanted(name):
            continue
        points = [p for trk in tracks for seg in trk for p in seg]
        r = suite.run(["-url", server.template] + args, gpx(track(points)))
        suite.expect(name, r, 0, stderr="", tracks=tracks)
        suite.check(name + ": requests",
                    [requests_problem(server, tile_paths(gpx_oracle.canvas(tracks)[0], tiles))])
        expected = Expected(tracks, tiles, markers="-nomarkers" not in args, **style)
        suite.check(name + ": picture",
                    picture_problems(expected, metadata="-compress" not in args))

    suite.section("framing")

    # Fixed framings, and a ride across the antimeridian: the zoom and layout
    # lines as printed, and the tiles asked for. Rides framed alike by -bbox, or
    # by -center with -zoom, print alike and ask for the same tiles.
    OTHER_RIDE = [(52.51, 13.37), (52.52, 13.40), (52.515, 13.38)]
    FIJI = [(10, -179.5), (11, 179.5)]
    columns = lambda z, xs, ys: [f"/{z}/{x}/{y}.png" for x in xs for y in ys]
    FRAMINGS = [
        ("-zoom", ["-zoom", "12"], [EXAMPLE_POINTS],
         "zoom set to 12\ngpx height: 143.588539\ngpx width:  203.889778\n"
         "canvas top:    343609.831229\ncanvas bottom: 344209.831229\n"
         "canvas left:   562874.638222\ncanvas right:  563674.638222\n",
         columns(12, range(2198, 2202), range(1342, 1345))),
        ("-zoom above the limit", ["-zoom", "19"], [EXAMPLE_POINTS],
         "zoom set to 19\nzoom is too high, choose 18\ngpx height: 9189.666474\n",
         columns(18, range(140817, 140821), range(85976, 85979))),
        ("-center", ["-center", "52.52,13.40"], [EXAMPLE_POINTS],
         "calculated maximum zoom to fit width:  13\ncalculated maximum zoom to fit height: 13\n"
         "calculated minimum zoom: 13\ngpx height: 0.000000\ngpx width:  0.000000\n"
         "canvas top:    687471.821399\ncanvas bottom: 688071.821399\n"
         "canvas left:   1126236.657778\ncanvas right:  1127036.657778\n",
         columns(13, range(4399, 4403), range(2685, 2688))),
        ("-bbox, two rides", ["-bbox", "52.4,13.2,52.6,13.6"], [EXAMPLE_POINTS, OTHER_RIDE],
         "calculated maximum zoom to fit width:  11\ncalculated maximum zoom to fit height: 11\n"
         "calculated minimum zoom: 11\ngpx height: 478.466190\ngpx width:  582.542222\n"
         "canvas top:    171690.540674\ncanvas bottom: 172290.540674\n"
         "canvas left:   281259.164444\ncanvas right:  282059.164444\n",
         columns(11, range(1098, 1102), range(670, 674))),
        ("-center and -zoom, two rides", ["-center", "52.52,13.40", "-zoom", "11"],
         [EXAMPLE_POINTS, OTHER_RIDE],
         "zoom set to 11\ngpx height: 0.000000\ngpx width:  0.000000\n"
         "canvas top:    171642.955350\ncanvas bottom: 172242.955350\n"
         "canvas left:   281259.164444\ncanvas right:  282059.164444\n",
         columns(11, range(1098, 1102), range(670, 673))),
        ("-bbox, -center and -zoom", ["-bbox", "52.4,13.2,52.6,13.6", "-center", "52.5,13.5",
                                      "-zoom", "10"], [EXAMPLE_POINTS],
         "zoom set to 10\ngpx height: 0.000000\ngpx width:  0.000000\n"
         "canvas top:    85695.406375\ncanvas bottom: 86295.406375\n"
         "canvas left:   140502.400000\ncanvas right:  141302.400000\n",
         columns(10, range(548, 552), range(334, 338))),
        ("-bbox across the antimeridian", ["-bbox", "-17,179,-16.5,-179.5"], [EXAMPLE_POINTS],
         "calculated maximum zoom to fit width:  9\ncalculated maximum zoom to fit height: 10\n"
         "calculated minimum zoom: 9\ngpx height: 190.111290\ngpx width:  546.133333\n"
         "canvas top:    71423.321769\ncanvas bottom: 72023.321769\n"
         "canvas left:   130580.977778\ncanvas right:  131380.977778\n",
         columns(9, [510, 511, 0, 1], range(278, 282))),
        ("a ride across the antimeridian", [], [FIJI],
         "calculated maximum zoom to fit width:  10\ncalculated maximum zoom to fit height: 9\n"
         "calculated minimum zoom: 9\ngpx height: 370.294442\ngpx width:  364.088889\n"
         "canvas top:    61391.337227\ncanvas bottom: 61991.337227\n"
         "canvas left:   -400.000000\ncanvas right:  400.000000\n",
         columns(9, [510, 511, 0, 1], range(239, 243))),
    ]
    for name, args, rides, lines, tiles in FRAMINGS:
        if not suite.wanted(name):
            continue
        for ride in rides:
            r = suite.run(["-url", server.template] + args, gpx(track(ride)))
            suite.expect(name, r, 0, stderr="", stdout_start=PARSING + lines)
            suite.check(name + ": requests", [requests_problem(server, tiles)])

    # Pins per track and per file: on two tracks of two segments each, far enough
    # apart to tell every pin's place, and on a file of 13 tracks and 236 segments;
    # each pin where its unit starts or ends, and nothing but the pins differs from
    # the picture without markers.
    name = "pins per track and per file"
    ride = os.path.join(suite.args.corpus, "ntsgpx-garmin-connect-multi-actIds-sample.gpx")
    spread = lambda *points: [(52.5 + a / 1000, 13.35 + b / 1000) for a, b in points]
    PIN_CASES = [("two tracks", track(spread((0, 0), (5, 10)), spread((10, 20), (15, 30)))
                  + track(spread((20, 40), (25, 50)), spread((28, 60), (30, 70))), 4)]
    if os.path.isfile(ride):
        with open(ride, "rb") as f:
            PIN_CASES.append(("236 segments", f.read(), 26))
    for label, doc, per_track in PIN_CASES if suite.wanted(name) else []:
        doc = gpx(doc) if isinstance(doc, str) else doc
        tracks = gpx_oracle.tracks_of_document(doc)
        r = suite.run(["-url", server.template, "-nomarkers", "-pins", "track", "-o", "none.png"],
                      doc)
        suite.expect(f"{name}, {label}: -nomarkers", r, 0, stderr="", tracks=tracks)
        bare = read_png(suite.path("none.png"))
        for unit, units, count in (("track", [[t] for t in tracks], per_track),
                                   ("file", [tracks], 2)):
            r = suite.run(["-url", server.template, "-pins", unit], doc)
            suite.expect(f"{name}, {label}: {unit}", r, 0, stderr="", tracks=tracks)
            expected = Expected(tracks, [], pin_units=units)
            png = read_png(suite.path("out.png"))
            stray = [(x, y) for y in range(600) for x in range(800)
                     if png.pixel(x, y) != bare.pixel(x, y) and not expected.under_pin(x, y)]
            suite.check(f"{name}, {label}: {unit} pins", [
                None if len(expected.pins) == count else f"{len(expected.pins)} pins expected",
                None if not stray else f"{len(stray)} pixels changed off the pins, first {stray[0]}",
                *expected.pin_problems(png)])

    # A heat map: a stretch that three rides take glows brighter than one ridden once, which
    # still shows; the tiles stay as they were off the lines. -map-tone grey leaves no colour
    # in the tiles, with or without the heat map.
    name = "heat map and grey tiles"
    if suite.wanted(name):
        busy, once = [(52.50, 13.35), (52.50, 13.42)], [(52.53, 13.35), (52.53, 13.42)]
        for i, ride in enumerate([busy, busy, busy + [(52.50, 13.38)], once]):
            with open(suite.path(f"ride-{i}.gpx"), "w") as f:
                f.write(gpx(track(ride)))
        rides = [a for i in range(4) for a in ("-gpx", suite.path(f"ride-{i}.gpx"))]
        z, top, _, left, _ = gpx_oracle.canvas(numeric(busy + once))
        at = lambda lat, lon: (int(pixel_x(z, lon) - left), int(pixel_y(z, lat) - top))
        bright = lambda p: 0.3 * p[0] + 0.59 * p[1] + 0.11 * p[2]
        off = Expected(numeric(busy, once), [])
        for label, args in (("map", ["-nomarkers", "-color", "#00000000"]), ("heat", ["-heatmap"]), ("grey", ["-map-tone", "grey", "-nomarkers"]),
                            ("grey heat", ["-heatmap", "-map-tone", "grey"])):
            r = suite.run(["-url", server.template, "-o", label + ".png"] + args + rides)
            suite.check(f"{name}: {label} run", [r.crash(), None if r.status == 0 else r.stderr])
            png = read_png(suite.path(label + ".png"))
            bare = png if label == "map" else bare
            many, one = png.pixel(*at(52.50, 13.40)), png.pixel(*at(52.53, 13.40))
            field = [(x, y) for y in range(30, 600, 7) for x in range(0, 800, 7)
                     if not off.on_line(x, y, 8)]
            coloured = [(x, y) for x, y in field if len(set(png.pixel(x, y)[:3])) > 1]
            changed = [(x, y) for x, y in field if png.pixel(x, y) != bare.pixel(x, y)]
            suite.check(f"{name}: {label}", [
                None if "-heatmap" not in args or bright(many) > bright(one) + 40 else
                f"three rides {many} are not brighter than one {one}",
                None if "-heatmap" not in args or one != bare.pixel(*at(52.53, 13.40)) else
                "a road ridden once does not show",
                None if "grey" in label or not changed else f"tiles changed at {changed[0]}",
                None if "grey" not in label or not coloured else f"colour left at {coloured[0]}"])

    # -compress must pay off: 8-bit true colour, clearly smaller, the same picture
    # within one step of 255; without it the file stays 16-bit RGBA.
    name = "compressed against plain"
    if suite.wanted(name):
        files = {}
        for label, args in (("plain", []), ("compressed", ["-compress"])):
            r = suite.run(["-url", server.template, "-o", label + ".png"] + args, EXAMPLE_GPX)
            suite.expect(f"{name}: {label} run", r, 0, stderr="", tracks=EXAMPLE_TRACKS)
            files[label] = (os.path.getsize(suite.path(label + ".png")),
                            read_png(suite.path(label + ".png")))
        (plain_size, plain), (small_size, small) = files["plain"], files["compressed"]
        worst = max(abs(a - b) for y in range(0, 600, 3) for x in range(800)
                    for a, b in zip(plain.pixel(x, y), small.pixel(x, y)))
        suite.check(name, [
            None if (plain.depth, plain.color_type) == (16, 6) else
            f"plain file is depth {plain.depth}, colour type {plain.color_type}",
            None if (small.depth, small.color_type) == (8, 2) else
            f"compressed file is depth {small.depth}, colour type {small.color_type}",
            None if small_size <= 0.6 * plain_size else
            f"compressed {small_size} bytes against {plain_size} plain",
            None if worst <= 1 else f"pixels differ by up to {worst} of 255"])

    # The credit line: against the same run without it, only a box in the
    # bottom-right corner, within the bottom strip, changes. Rows: name,
    # picture width, text, narrowest and widest box. Low pictures: they are
    # quicker to compare.
    STRIP, HEIGHT = 18, 100
    CREDITS = [
        ("attribution in the corner", 800, "\u00a9 OpenStreetMap contributors", 150, 250),
        # Shrunk, then cut with an ellipsis: the box spans about the whole width.
        ("long attribution stays in the strip", 300, "Maps \u00a9 Thunderforest, Data \u00a9 "
         "OpenStreetMap contributors, and a great many other people besides", 280, 300),
        ("Japanese credit line", 800, "\u00a9 \u56fd\u571f\u5730\u7406\u9662", 60, 120),
    ]
    for name, width, text, narrowest, widest in CREDITS:
        if not suite.wanted(name):
            continue
        pictures = {}
        for label, args in (("plain", []), ("credited", ["-attribution", text])):
            r = suite.run(["-url", server.template, "-width", str(width), "-height", str(HEIGHT),
                           "-o", label + ".png"] + args, EXAMPLE_GPX)
            suite.expect(f"{name}: {label} run", r, 0, stderr="", tracks=EXAMPLE_TRACKS,
                         size=(width, HEIGHT))
            pictures[label] = read_png(suite.path(label + ".png"))
        plain, credited = pictures["plain"], pictures["credited"]
        changed = [(x, y) for y in range(HEIGHT) for x in range(width)
                   if plain.pixel(x, y) != credited.pixel(x, y)]
        if not changed:
            suite.check(name, ["the picture did not change"])
            continue
        left, top = min(x for x, _ in changed), min(y for _, y in changed)
        right, bottom = max(x for x, _ in changed), max(y for _, y in changed)
        # The box's corner pixel: 80 % white over the map.
        want = tuple(0.8 * 255 + 0.2 * c for c in plain.pixel(left, top)[:3])
        suite.check(name, [
            None if (right, bottom) == (width - 1, HEIGHT - 1) and top >= HEIGHT - STRIP else
            f"changes reach ({left}, {top}) to ({right}, {bottom}), not the bottom-right "
            f"{STRIP} rows",
            None if narrowest <= right + 1 - left <= widest else
            f"box {right + 1 - left} pixels wide, expected {narrowest} to {widest}",
            None if near(credited.pixel(left, top), want, 2) else
            f"box corner is {credited.pixel(left, top)[:3]}, expected about {want}",
            None if any(max(credited.pixel(x, y)[:3]) < 0x60 for x, y in changed) else
            "no dark grey text"])

    # A provider's credit line is drawn as -attribution would draw it, unless
    # -attribution says otherwise; its zoom limit holds; its tiles go to the
    # default cache under XDG_CACHE_HOME.
    name = "provider: default credit line and zoom limit"
    if suite.wanted(name):
        provider = provider_file(suite.workdir, "local", server.template, max_zoom=10)
        xdg = suite.path("xdg-cache")
        pictures = {}
        for label, args in (("provider", []), ("same", ["-attribution", "\u00a9 Local Tiles"]),
                            ("none", ["-attribution", ""])):
            r = suite.start(["-provider", provider, "-width", "300", "-height", str(HEIGHT),
                             "-o", label + ".png", *args], EXAMPLE_GPX, local_tiles=False,
                            env={"XDG_CACHE_HOME": xdg}).finish()
            suite.check(f"{name}: {label} run", [
                r.crash(), None if r.status == 0 and r.stderr == "" else
                f"status {r.status}, stderr {r.stderr!r}",
                None if "zoom is too high, choose 10\n" in r.stdout else f"stdout {r.stdout!r}"])
            pictures[label] = read_png(suite.path(label + ".png"))
        size = [(x, y) for y in range(HEIGHT) for x in range(300)]
        changed = [(x, y) for x, y in size
                   if pictures["provider"].pixel(x, y) != pictures["none"].pixel(x, y)]
        suite.check(name, [
            None if all(pictures["provider"].pixel(x, y) == pictures["same"].pixel(x, y)
                        for x, y in size) else "not the picture -attribution draws",
            None if changed and min(y for _, y in changed) >= HEIGHT - STRIP else
            f"{len(changed)} pixels changed by the credit line",
            None if glob.glob(os.path.join(xdg, "plotr/tiles/127.0.0.1*/10/*/*.png"))
            else "nothing in $XDG_CACHE_HOME/plotr/tiles"])
        shutil.rmtree(xdg, ignore_errors=True)

    # The credit is kept in the file as text chunks, compressed or not; the
    # provider's key, a user name and a password never are.
    name = "credit kept as text chunks"
    if suite.wanted(name):
        keyed = provider_file(suite.workdir, "keyed", server.template + "?apikey=SECRET")
        base = server.template.replace("http://", "http://joe:SECRET@")
        for label, args in (("provider", ["-provider", keyed]),
                            ("template", ["-url", base, "-attribution", "\u00a9 \u6771\u4eac"]),
                            ("compressed", ["-provider", keyed, "-compress"])):
            r = suite.run(["-width", "300", "-height", "100", "-o", label + ".png"] + args,
                          EXAMPLE_GPX, local_tiles=False)
            texts = png_texts(suite.path(label + ".png")) if r.status == 0 else {}
            source = "keyed" if label != "template" else "127.0.0.1"
            credit = "\u00a9 Local Tiles" if label != "template" else "\u00a9 \u6771\u4eac"
            suite.check(f"{name}: {label}", [r.crash(), None if r.status == 0 else r.stderr,
                None if {k: v for k, v in texts.items() if not k.startswith("date:")} == {
                    "Copyright": credit, "Software": "plotr 0.1.0", "Source": source,
                    "Comment": texts.get("Comment", "")} and re.fullmatch(
                    r"zoom 1[0-8], box [-0-9.,]+ \(south,west,north,east in degrees\)",
                    texts.get("Comment", "")) else f"texts {texts}",
                None if "SECRET" not in repr(texts) and "joe" not in repr(texts) else "a key kept"])

    # Texts that MagickCore's text drawing would read a file for or expand
    # are drawn as they are: "@credits" is wider than "credits" whatever the
    # file holds, and "%w %h" is not the picture's size.
    name = "attribution drawn literally"
    if suite.wanted(name):
        def strip(text, label, file_text="X"):
            with open(suite.path("credits"), "w") as f:
                f.write(file_text)
            r = suite.run(["-url", server.template, "-width", "300", "-height", str(HEIGHT), "-o",
                           label + ".png"] + (["-attribution", text] if text else []), EXAMPLE_GPX)
            suite.expect(f"{name}: {label} run", r, 0, stderr="", tracks=EXAMPLE_TRACKS,
                         size=(300, HEIGHT))
            png = read_png(suite.path(label + ".png"))
            return [png.pixel(x, y) for y in range(HEIGHT - STRIP, HEIGHT) for x in range(300)]

        plain = strip(None, "plain")
        box = lambda pixels: sum(a != b for a, b in zip(pixels[-300:], plain[-300:]))
        at_file = strip("@credits", "at-file")
        suite.check(name, [
            None if box(at_file) > box(strip("credits", "name")) else
            f"\"@credits\" is {box(at_file)} pixels wide",
            None if at_file == strip("@credits", "other", "Y") else
            "\"@credits\" changed with the file",
            None if strip("%w %h", "escapes") != strip(f"300 {HEIGHT}", "expanded") else
            "\"%w %h\" drew the picture's size"])

    # Bad values end the run before any tile is asked for.
    server.requests()
    for args, expects in [(["-color", "bluish"], "a colour"),
                          (["-line-width", "0"], "an integer from 1 to 64"),
                          (["-attribution", "\udcff"], "UTF-8 text"),
                          (["-scale", "5"], "an integer from 1 to 4"),
                          (["-tile-size", "1024"], "256 or 512")]:
        name = "refused " + " ".join(args)
        if suite.wanted(name):
            r = suite.run(["-url", server.template] + args, EXAMPLE_GPX)
            suite.expect(name, r, 2, stdout="", stderr=f"plotr: wrong argument `{args[1]}'; "
                         f"option `{args[0]}' expects {expects}.\n" + HELP)
            suite.check(name + ": requests", [requests_problem(server, [])])

# 512-pixel tiles: with -tile-size 512 one zoom level up, each tile on a
# 512-pixel grid under the track; without it pasted as they come, with one
# line that names the option.
with Tile_server(suite.workdir, size=512) as big:
    _, TOP, BOTTOM, LEFT, RIGHT = gpx_oracle.canvas(EXAMPLE_TRACKS)
    name = "512-pixel tiles line up with the track"
    if suite.wanted(name):
        r = suite.run(["-url", big.template, "-tile-size", "512"], EXAMPLE_GPX)
        tiles = [(x, y) for x in range(int(LEFT / 512), int(RIGHT / 512) + 1)
                 for y in range(int(TOP / 512), int(BOTTOM / 512) + 1)]
        paths = [f"/12/{x}/{y}.png" for x, y in tiles]
        suite.expect(name, r, 0, stderr="", stdout_start=EXAMPLE_LAYOUT + "".join(
            f"downloading tile {big.base}{p}\n" for p in paths) + "removing temporary")
        suite.check(name + ": requests", [
            None if big.requests() == paths else f"requests are not {paths}"])
        suite.check(name + ": picture", picture_problems(Expected(EXAMPLE_TRACKS, tiles, side=512)))
    name = "tiles of an unexpected size"
    if suite.wanted(name):
        r = suite.run(["-url", big.template, "-scale", "2"], EXAMPLE_GPX)
        suite.expect(name, r, 0, stderr="plotr: the tiles are 512x512 pixels, not 256x256; "
                     "-tile-size 512 fits them\n", stdout_start=EXAMPLE_LAYOUT)
        big.requests()


def same_picture(a, b):
    """None when the two pictures have the same pixels (their time stamps differ)."""
    try:
        pa, pb = read_png(suite.path(a)), read_png(suite.path(b))
    except (OSError, ValueError) as e:
        return f"no readable picture: {e}"
    same = (pa.width, pa.height, pa.depth, pa.color_type, pa._rows) == \
        (pb.width, pb.height, pb.depth, pb.color_type, pb._rows)
    return None if same else f"{a} and {b} differ"


def entries(cache):
    """{"x/y": path} of the tile entries of the cache's one template folder."""
    found = glob.glob(os.path.join(cache, "*", "13", "*", "*.png"))
    return {os.path.relpath(f, os.path.dirname(os.path.dirname(f)))[:-4]: f for f in found}


DAY = 24 * 3600


def age(paths, days):
    """Makes the files `days` old."""
    then = time.time() - days * DAY
    for path in paths:
        os.utime(path, (then, then))

suite.section("cache")

with Tile_server(suite.workdir) as server:
    # Without the option, pictures come out the same in parallel, tiles
    # asked for in any order.
    name = "parallel downloads"
    if suite.wanted(name):
        r = suite.run(["-url", server.template, "-o", "serial.png"], EXAMPLE_GPX)
        suite.expect(name + ": serial", r, 0, stderr="", tracks=EXAMPLE_TRACKS)
        server.requests()
        r = suite.run(["-url", server.template, "-o", "parallel.png", "-parallel", "8"],
                      EXAMPLE_GPX)
        suite.expect(name, r, 0, stderr="", tracks=EXAMPLE_TRACKS)
        got = sorted(server.requests())
        suite.check(name + ": same picture, each tile asked for once", [
            same_picture("serial.png", "parallel.png"),
            None if got == sorted(tile_paths(13, EXAMPLE_TILES)) else
            f"server was asked for {got}"])

    # The cache through its life: filled, used, revalidated, repaired.
    name = "cache"
    if suite.wanted(name):
        cache = suite.path("tile-cache")
        r = suite.run(["-url", server.template, "-cache", cache, "-o", "cold.png"], EXAMPLE_GPX)
        suite.expect(name + ": first run downloads", r, 0, stderr="", tracks=EXAMPLE_TRACKS)
        folders = glob.glob(os.path.join(cache, "*"))
        suite.check(name + ": folder of the template", [
            requests_problem(server, tile_paths(13, EXAMPLE_TILES)),
            None if len(folders) == 1 and open(os.path.join(folders[0], "template")).read()
            == server.template + "\n" else f"folders {folders}",
            None if len(entries(cache)) == 12 else f"entries {sorted(entries(cache))}",
            None if not (open_folders := [d for d, _, _ in os.walk(cache)
                                          if os.stat(d).st_mode & 0o777 != 0o700]) else
            f"folders not of mode 0700: {open_folders}"])

        # Fresh for a week: at 6.9 days no request, no directory, no removal
        # line. By a relative name: the run has a /tmp of its own.
        age(entries(cache).values(), 6.9)
        r, left = suite.run_in_own_tmp(
            ["-url", server.template, "-cache", "tile-cache", "-o", "warm.png"], EXAMPLE_GPX)
        suite.expect(name + ": second run downloads nothing", r, 0, stderr="",
                     stdout=EXAMPLE_LAYOUT + "writing to warm.png\n")
        suite.check(name + ": same picture from the cache", [
            same_picture("cold.png", "warm.png"), requests_problem(server, []), left])

        # Older than a week (7.1 days): asked for with a time condition. The
        # server's tiles date from 2015: answered "not modified" and kept,
        # except the one stored before that, which comes again. The same
        # with the batch download.
        for label, more in (("", []), (", in parallel", ["-parallel", "4"])):
            now = time.time()
            age(entries(cache).values(), 7.1)
            os.utime(entries(cache)["4402/2687"], (1400000000, 1400000000))
            inodes = {key: os.stat(path).st_ino for key, path in entries(cache).items()}
            r = suite.run(["-url", server.template, "-cache", cache, "-o", "stale.png"] + more,
                          EXAMPLE_GPX)
            suite.expect(name + ": stale entries asked for again" + label, r, 0, stderr="",
                         tracks=EXAMPLE_TRACKS)
            replaced = sorted(k for k, p in entries(cache).items()
                              if os.stat(p).st_ino != inodes[k])
            old = sorted(k for k, p in entries(cache).items() if os.stat(p).st_mtime < now - 60)
            asked = server.requests()
            suite.check(name + ": kept when not modified, fresh again" + label, [
                same_picture("cold.png", "stale.png"),
                None if (sorted(asked) if more else asked) == tile_paths(13, EXAMPLE_TILES) else
                f"server was asked for {asked}",
                None if replaced == ["4402/2687"] else f"entries replaced: {replaced}",
                None if not old else f"entries still old: {old}"])

        # A damaged entry is downloaded again and replaced.
        damaged = entries(cache)["4401/2686"]
        with open(damaged, "r+b") as f:
            f.truncate(100)
        r = suite.run(["-url", server.template, "-cache", cache, "-o", "damaged.png"],
                      EXAMPLE_GPX)
        lines = r.stdout.splitlines(keepends=True)
        suite.expect(name + ": damaged entry replaced", r, 0, stderr="",
                     stdout=EXAMPLE_LAYOUT + f"downloading tile {server.base}/13/4401/2686.png\n"
                     + (lines[-2] if len(lines) > 1 else "") + "writing to damaged.png\n")
        suite.check(name + ": repaired", [
            same_picture("cold.png", "damaged.png"),
            requests_problem(server, ["/13/4401/2686.png"]),
            None if lines[-2:-1] and re.fullmatch(r"removing temporary directory /tmp/plotr-\d+\n",
                                                 lines[-2]) else f"stdout {r.stdout!r}",
            None if open(damaged, "rb").read() == encoded_tile("checker", 13, 4401, 2686)
            else "entry not repaired"])

    # A run that ends part way keeps what it downloaded: the rerun asks only
    # for the rest.
    name = "cache kept across a failed run"
    if suite.wanted(name):
        cache = suite.path("progress-cache")
        running = suite.start(["-url", server.template, "-cache", cache], EXAMPLE_GPX)
        began = running.wait_for(f"downloading tile {server.base}/13/4401/2685.png\n")
        running.signal(signal.SIGTERM)
        running.finish()
        kept = set(entries(cache))
        # The tile in flight at the signal may or may not have reached the
        # server; only the rerun's requests count.
        server.requests()
        r = suite.run(["-url", server.template, "-cache", cache], EXAMPLE_GPX)
        suite.expect(name, r, 0, stderr="", stdout_start=EXAMPLE_LAYOUT)
        asked = {p.removeprefix("/13/").removesuffix(".png") for p in server.requests()}
        every = {f"{x}/{y}" for x in range(4399, 4403) for y in range(2685, 2688)}
        suite.check(name + ": rerun asks for the rest", [
            None if began and len(kept) >= 6 else f"kept {sorted(kept)}",
            None if asked == every - kept else f"asked {sorted(asked)}, kept {sorted(kept)}"])

    # Folders another user controls are refused, also of root's group when
    # the run is root's.
    name = "cache folders of another user"
    if suite.wanted(name) and os.geteuid() != 0:
        print(f"skipped {name}: needs root")
    elif suite.wanted(name):
        cache = suite.path("foreign-cache")
        os.makedirs(cache)
        os.chmod(cache, 0o755)
        os.chown(cache, 54321, 0)
        r = suite.run(["-url", server.template, "-cache", cache], EXAMPLE_GPX)
        suite.expect(name, r, 2, stderr='Fatal error: exception Failure("cannot use the tile cache '
                     f'folder {cache}: owned by another user (uid 54321)")\n',
                     tracks=EXAMPLE_TRACKS, end=gpx_oracle.NOT_DOWNLOADED)
        os.chown(cache, 0, 0)
        os.chmod(cache, 0o777)
        r = suite.run(["-url", server.template, "-cache", cache], EXAMPLE_GPX)
        suite.check(name + ": writable by others", [None if r.stderr.endswith(
            f'folder {cache}: writable by others")\n') else f"stderr {r.stderr!r}"])

    # A cache shared through a group under the usual umask 022: a member adds
    # the tiles of a taller picture (a new column, a new row in the others) to
    # folders another member made.
    name = "cache shared by two users"
    if suite.wanted(name) and (os.geteuid() != 0 or not shutil.which("setpriv")):
        print(f"skipped {name}: needs root and setpriv")
    elif suite.wanted(name):
        shared = tempfile.mkdtemp(prefix="plotr-shared-")
        os.chmod(shared, 0o755)
        cache, out = os.path.join(shared, "cache"), os.path.join(shared, "out")
        os.mkdir(cache, 0o2770)
        os.chown(cache, 54321, 54320)
        os.chmod(cache, 0o2770)
        os.mkdir(out)
        os.chmod(out, 0o1777)
        downloads = []
        for uid, size in ((54322, ["-width", "600", "-height", "450"]), (54321, ["-height", "700"])):
            r = suite.start(["-url", server.template, "-cache", cache, "-o", f"{out}/{uid}.png"]
                            + size, EXAMPLE_GPX, prefix=[
                                "setpriv", f"--reuid={uid}", f"--regid={uid}", "--groups=54320",
                                "sh", "-c", 'umask 022; exec "$0" "$@"']).finish()
            downloads.append(sorted(re.findall(r"/13/(\d+/\d+)\.png", r.stdout)))
            suite.expect(f"{name}: uid {uid}", r, 0, stderr="")
        added = [f"{x}/{y}" for x in range(4399, 4403) for y in range(2685, 2689)
                 if x == 4402 or y == 2688]
        modes = {oct(os.lstat(os.path.join(d, f)).st_mode & 0o7777)
                 for d, dirs, files in os.walk(cache) for f in dirs + files}
        suite.check(name + ": the second downloads only what the first did not", [
            None if len(downloads[0]) == 9 and downloads[1] == added else f"downloads {downloads}",
            None if modes == {"0o2770", "0o660"} else f"modes {sorted(modes)}",
            requests_problem(server, [f"/13/{tile}.png" for tile in downloads[0] + downloads[1]])])
        shutil.rmtree(shared)

    # Several runs at once share one cache and all succeed.
    name = "four runs at once on one cache"
    if suite.wanted(name):
        shared = suite.path("shared-cache")
        running = [suite.start(["-url", server.template, "-cache", shared, "-o", f"four-{i}.png"]
                               + (["-parallel", "4"] if i % 2 else []), EXAMPLE_GPX)
                   for i in range(4)]
        results = [run.finish() for run in running]
        for i, r in enumerate(results):
            suite.expect(f"{name}: run {i}", r, 0, stderr="", stdout_start=EXAMPLE_LAYOUT)
        asked = len(server.requests())
        suite.check(name + ": same pictures, whole entries", [
            *(same_picture("four-0.png", f"four-{i}.png") for i in range(1, 4)),
            None if asked == 12 else f"{asked} requests for 12 tiles",
            *(None if open(p, "rb").read() == encoded_tile("checker", 13, *map(int, k.split("/")))
              else f"entry {k} damaged" for k, p in entries(shared).items()),
            None if len(entries(shared)) == 12 else f"{len(entries(shared))} entries"])

# An entry found fresh and swapped for a link while the run downloads another
# tile is not followed: that tile is downloaded again.
name = "cache entry swapped for a link during the run"
if suite.wanted(name):
    cache, secret = suite.path("swap-cache"), suite.path("secret.png")
    with open(secret, "wb") as f:
        f.write(encoded_tile("grid", 13, 4400, 2686))
    with Tile_server(suite.workdir, delay=500) as server:
        suite.run(["-url", server.template, "-cache", cache, "-o", "first.png", "-parallel", "12"],
                  EXAMPLE_GPX)
        os.remove(entries(cache)["4399/2685"])
        server.requests()
        running = suite.start(["-url", server.template, "-cache", cache, "-o", "swapped.png"],
                              EXAMPLE_GPX)
        running.wait_for(f"downloading tile {server.base}/{FIRST_TILE}\n")
        swapped = entries(cache)["4400/2686"]
        os.remove(swapped)
        os.symlink(secret, swapped)
        r = running.finish()
        suite.expect(name, r, 0, stderr="", stdout_start=EXAMPLE_LAYOUT)
        suite.check(name + ": downloaded again", [
            same_picture("first.png", "swapped.png"),
            requests_problem(server, tile_paths(13, [(4399, 2685), (4400, 2686)])),
            "the entry is still a link" if os.path.islink(swapped) else None])

# A stale entry whose new body does not read is used as it is, and stays stale.
name = "stale entry, unreadable answer"
if suite.wanted(name):
    good, bad = suite.path("good-cache"), suite.path("fallback-cache")
    with Tile_server(suite.workdir) as server:
        suite.run(["-url", server.template, "-cache", good, "-o", "good.png"], EXAMPLE_GPX)
    with Tile_server(suite.workdir, fail="garbage") as server:
        # The first run makes the template's folder (and fails); the good
        # entries then go in, one of them stale.
        suite.run(["-url", server.template, "-cache", bad, "-o", "bad.png"], EXAMPLE_GPX)
        folder = glob.glob(os.path.join(bad, "*"))[0]
        shutil.rmtree(os.path.join(folder, "13"))
        shutil.copytree(os.path.join(glob.glob(os.path.join(good, "*"))[0], "13"),
                        os.path.join(folder, "13"))
        stale = entries(bad)["4400/2686"]
        os.utime(stale, (1400000000, 1400000000))
        server.requests()
        r = suite.run(["-url", server.template, "-cache", bad, "-o", "fallback.png"], EXAMPLE_GPX)
        suite.expect(name, r, 0, stdout_start=EXAMPLE_LAYOUT, stderr=(
            f"plotr: tile 13/4400/2686 from {server.base}/13/4400/2686.png could not be read; "
            "the cached copy from 2014-05-13 16:53:20 UTC is used\n"))
        suite.check(name + ": same picture, still stale", [
            same_picture("good.png", "fallback.png"), requests_problem(server, tile_paths(13, [(4400, 2686)])),
            None if os.stat(stale).st_mtime == 1400000000 else "entry refreshed"])

suite.section("options")

# MBTiles files, with no server running: the tiles in place (their rows are
# counted from the south in the file), from a tiles table or a view over the
# deduplicated layout; a tile not in the file stays white. Rows: name,
# layout, tiles in the file, metadata, the stdout line, the stderr.
NINE = EXAMPLE_TILES[3:]
MBTILES = [
    ("MBTiles: tiles table", "tables", EXAMPLE_TILES, [("name", "Berlin")],
     "reading tiles from region.mbtiles (Berlin)\n", ""),
    ("MBTiles: map and images view, 3 tiles missing", "dedup", NINE, [],
     "reading tiles from region.mbtiles\n", "plotr: 3 of 12 tiles are not in region.mbtiles\n"),
]
for name, layout, tiles, metadata, line, stderr in MBTILES:
    if suite.wanted(name):
        write_mbtiles(suite.path("region.mbtiles"), [(13, x, y) for x, y in tiles],
                      layout=layout, metadata=metadata)
        r = suite.run(["-mbtiles", "region.mbtiles"], EXAMPLE_GPX, local_tiles=False)
        suite.expect(name, r, 0, stderr=stderr, stdout=EXAMPLE_LAYOUT + line + "writing to out.png\n")
        suite.check(name + ": picture", picture_problems(Expected(EXAMPLE_TRACKS, tiles)))
        os.remove(suite.path("region.mbtiles"))

# Its zooms bound the zoom, from above and from below.
name = "MBTiles: minzoom and maxzoom"
if suite.wanted(name):
    write_mbtiles(suite.path("zooms.mbtiles"), [], metadata=[("minzoom", "14"), ("maxzoom", "15")])
    for zoom, said in (("16", "zoom is too high, choose 15\n"), ("3", "zoom is too low, choose 14\n")):
        r = suite.run(["-mbtiles", "zooms.mbtiles", "-zoom", zoom], EXAMPLE_GPX, local_tiles=False)
        suite.check(f"{name}: -zoom {zoom}", [r.crash(), None if r.status == 0 and
                    f"zoom set to {zoom}\n{said}" in r.stdout else f"stdout {r.stdout!r}"])

# The file's credit line is drawn as -attribution would draw it, which overrides it.
name = "MBTiles: credit line from the metadata"
if suite.wanted(name):
    write_mbtiles(suite.path("credited.mbtiles"), [(13, x, y) for x, y in EXAMPLE_TILES],
                  metadata=[("attribution", "\u00a9 My Tiles")])
    for label, args in (("file", []), ("same", ["-attribution", "\u00a9 My Tiles"]),
                        ("none", ["-attribution", ""])):
        r = suite.run(["-mbtiles", "credited.mbtiles", "-o", label + ".png", *args], EXAMPLE_GPX,
                      local_tiles=False)
        suite.check(f"{name}: {label} run", [r.crash(), None if r.status == 0 else r.stderr])
    suite.check(name, [same_picture("file.png", "same.png"),
                       None if same_picture("file.png", "none.png") else "no credit line"])

# -margin over a white map: nothing drawn comes within the margin of an edge,
# for rides from north to south (the start pin stands at the top) and from
# east to west; without it the pins reach the edge. A margin that even zoom 0
# cannot keep is said on standard error, and the picture is still written.
white = suite.path("white.png")
with open(white, "wb") as f:
    f.write(pngfile.encode(256, 256, 3, bytes(WHITE) * 256 * 256))
RIDES = {"north-south": [(52.53, 13.40), (52.515, 13.41), (52.50, 13.40)],
         "east-west": [(52.51, 13.42), (52.515, 13.40), (52.51, 13.35)]}
MARGIN_CASES = [(ride, w, h, margin) for ride in RIDES
                for w, h, margin in ((800, 600, 40), (100, 100, 10))]
MARGIN_CASES += [("north-south", 800, 600, None), ("north-south", 100, 100, 40)]
for ride, w, h, margin in MARGIN_CASES:
    name = f"margin {margin} at {w}x{h}, {ride}"
    if not suite.wanted(name):
        continue
    fits = margin is None or 2 * margin < w - 46
    r = suite.run(["-url", "file://" + white, "-width", str(w), "-height", str(h)]
                  + (["-margin", str(margin)] if margin is not None else []),
                  gpx(track(RIDES[ride])))
    suite.expect(name, r, 0, stderr="" if fits else "plotr: even at zoom 0 the track and its "
                 f"pins do not fit inside a margin of {margin} pixels\n")
    png = read_png(suite.path("out.png"))
    drawn = [(x, y) for y in range(png.height) for x in range(png.width)
             if png.pixel(x, y)[:3] != WHITE]
    edge = margin or 40
    near_edge = [(x, y) for x, y in drawn
                 if not (edge <= x < w - edge and edge <= y < h - edge)]
    suite.check(name + ": picture", [
        None if (png.width, png.height) == (w, h) else f"picture is {png.width}x{png.height}",
        None if drawn else "nothing drawn",
        None if bool(near_edge) != (margin is not None and fits)
        else f"drawn within {edge} pixels of an edge: {near_edge[:5]}" if near_edge
        else "without a margin the pins should reach an edge"])

# Publishing. Hidden points play no part: the run equals the run on the
# document with them deleted (stdout and pixels). Rows: name, options,
# tracks, the tracks with the hidden points deleted, stderr.
WHITE_URL = "file://" + white
LINE20 = [(round(52.5 + i / 1000, 3), 13.4) for i in range(20)]  # 111 m apart
SHORT = [(52.52, 13.45), (52.5205, 13.45), (52.521, 13.45)]
PRIVACY_CASES = [
    ("privacy ends", ["-privacy", "500"], [[LINE20]], [[LINE20[5:15]]], ""),
    ("privacy zone cuts the segment", ["-privacy-zone", "52.51,13.4,150"], [[LINE20]],
     [[LINE20[:9], LINE20[12:]]], ""),
    ("privacy ends and zone, a short track hidden whole",
     ["-privacy", "500", "-privacy-zone", "52.51,13.4,150"], [[LINE20], [SHORT]],
     [[LINE20[5:9], LINE20[12:15]], []],
     "plotr: -privacy hides 1 track whole: shorter than 1000 metres\n"),
]
for name, options, tracks, deleted, stderr in PRIVACY_CASES:
    if not suite.wanted(name):
        continue
    doc = lambda ts: gpx("".join(track(*segments) for segments in ts))
    hidden = suite.run(["-url", WHITE_URL, "-o", "hidden.png"] + options, doc(tracks))
    plain = suite.run(["-url", WHITE_URL, "-o", "deleted.png"], doc(deleted))
    same_text = lambda r: re.sub(r"/tmp/plotr-\d+|\w+\.png", "", r.stdout)
    suite.expect(name, hidden, 0, stderr=stderr)
    suite.check(name + ": as if deleted", [
        None if same_text(hidden) == same_text(plain) else f"stdout {hidden.stdout!r}",
        same_picture("hidden.png", "deleted.png")])

# Waypoints: dark dots where they stand, counted in the framing; a label is
# drawn beside its dot, one that would overlap an earlier one is left out
# (the picture is the one without that name); waypoints alone are drawn.
def wpt(lat, lon, name=None):
    return f'<wpt lat="{lat}" lon="{lon}">' + (f"<name>{name}</name>" if name else "") + "</wpt>"


WPTS = [(52.49, 13.33, "H\u00fctte"), (52.52, 13.41, "Gipfel"), (52.5201, 13.4103, "Quelle")]
name = "waypoints"
if suite.wanted(name):
    def waypoint_run(label, points, tracks):
        body = "".join(wpt(*p) for p in points) + "".join(track(*t) for t in tracks)
        r = suite.run(["-url", WHITE_URL, "-waypoints", "-o", label + ".png"], gpx(body))
        z, top, _, left, _ = gpx_oracle.canvas(tracks + [[[p[:2] for p in points]]])
        at = [(int(pixel_x(z, lon) - left), int(pixel_y(z, lat) - top)) for lat, lon, *_ in points]
        return r, read_png(suite.path(label + ".png")) if r.status == 0 else None, at

    for label, tracks in (("with a track", [[EXAMPLE_POINTS]]), ("alone", [])):
        r, png, at = waypoint_run(label, WPTS, tracks)
        suite.expect(f"{name} {label}", r, 0, stderr="")
        dark = lambda x0, x1, y0, y1: any(max(png.pixel(x, y)[:3]) < 0x60
                                          for x in range(x0, x1) for y in range(y0, y1))
        suite.check(f"{name} {label}: dots and a label", [] if png is None else [
            *(None if max(png.pixel(x, y)[:3]) < 0x60 else f"no dark dot at {(x, y)}" for x, y in at),
            None if dark(at[0][0] + 8, at[0][0] + 40, at[0][1] - 5, at[0][1] + 5) else "no label"])
    waypoint_run("unnamed", WPTS[:2] + [WPTS[2][:2]], [[EXAMPLE_POINTS]])
    suite.check(name + ": overlapping label left out", [same_picture("with a track.png", "unnamed.png")])

# The casing: red pixels beside the blue line, none without -outline.
name = "outline under the line"
if suite.wanted(name):
    reds = {}
    for label, more in (("plain", []), ("outlined", ["-outline", "#FF0000"])):
        r = suite.run(["-url", WHITE_URL, "-nomarkers", "-color", "#0000FF", "-o", label + ".png"]
                      + more, EXAMPLE_GPX)
        suite.expect(f"{name}: {label}", r, 0, stderr="", tracks=EXAMPLE_TRACKS)
        png = read_png(suite.path(label + ".png"))
        reds[label] = sum(1 for y in range(0, 600, 2) for x in range(800)
                          if png.pixel(x, y)[0] > 200 and png.pixel(x, y)[1] < 80)
        mid = png.pixel(400, 300)
    suite.check(name, [None if reds["plain"] == 0 and reds["outlined"] > 200 else f"red pixels {reds}",
                       None if mid[2] > 200 and mid[0] < 80 else f"middle of the line is {mid}"])

# The ride's story. Rows: name, corpus file, options, what is checked: "legend" (distinct
# colours along the line, the legend's corner changed), "strip N" (the map ends N rows
# above the bottom, which is white but for the profile), or the Failure for missing data.
STORY = [
    ("colour by speed", "gogpx-garmin.gpx", ["-color-by", "speed"], "legend"),
    ("colour by elevation", "georust-garmin_with_extensions.gpx", ["-color-by", "elevation"], "legend"),
    ("colour by grade", "gogpx-garmin.gpx", ["-color-by", "grade", "-units", "imperial"], "legend"),
    ("colour by heart rate", "togeojson-run_gpxtpx.gpx", ["-color-by", "heartrate"], "legend"),
    ("profile strip", "gogpx-garmin.gpx", ["-profile", "150"], "strip 150"),
    ("no heart rate", "gogpx-garmin.gpx", ["-color-by", "heartrate"],
     '-color-by heartrate needs heart rates; none of the 1860 track points has one'),
    ("no times", "gpxpy-route.gpx", ["-routes", "-color-by", "speed"], "needs times; none of the"),
    ("no elevations", "phpgpx-timezero.gpx", ["-profile", "40"], "-profile needs elevations"),
    ("waypoints alone", "gpxpy-unicode.gpx", ["-waypoints", "-profile", "40"],
     "-profile needs elevations; there are no track points"),
]
with Tile_server(suite.workdir) as server:
    for name, document, args, check in STORY:
        if not suite.wanted(name):
            continue
        ride = os.path.join(suite.args.corpus, document)
        server.requests()  # the rows before asked for tiles
        r = suite.run(["-url", server.template, "-gpx", ride, "-o", "story.png"] + args)
        if not check.startswith(("legend", "strip")):
            suite.check(name, [r.crash(), None if r.status == 2 and check in r.stderr and
                               server.requests() == [] else f"status {r.status}, {r.stderr!r}"])
            continue
        plain = suite.run(["-url", server.template, "-gpx", ride, "-o", "plain.png"])
        a, b = read_png(suite.path("plain.png")), read_png(suite.path("story.png"))
        changed = [(x, y) for y in range(600) for x in range(800) if a.pixel(x, y) != b.pixel(x, y)]
        problems = [r.crash(), None if r.status == 0 else f"status {r.status}: {r.stderr!r}"]
        if check == "legend":
            colours = {b.pixel(x, y)[:3] for x, y in changed if y > 40}
            problems += [None if len(colours) > 40 else f"{len(colours)} colours along the line",
                         None if any(x < 20 and y < 20 for x, y in changed) else "no legend"]
        else:
            strip = int(check.split()[1])
            top = [float(re.search(rf"canvas {edge}: +(\S+)", r.stdout).group(1))
                   for edge in ("top", "bottom")]
            whites = sum(b.pixel(x, 600 - strip + 2)[:3] == WHITE for x in range(800))
            problems += [None if (b.width, b.height) == (800, 600) else "size changed",
                         None if round(top[1] - top[0]) == 600 - strip else f"map of {top}",
                         None if whites > 700 else f"strip's first rows: {whites} white"]
        suite.check(name, problems)

    # A straight 3000-point line: the same translucency all along, no darker joins.
    name = "straight line evenly translucent"
    if suite.wanted(name):
        line = gpx(track([(0.01, 0.00002 * i) for i in range(3000)]))
        r = suite.run(["-url", server.template, "-nomarkers", "-o", "line.png"], line)
        png = read_png(suite.path("line.png"))
        blue = lambda c: c[2] - c[0] > 60
        row = max(range(600), key=lambda y: sum(blue(png.pixel(x, y)) for x in range(0, 800, 4)))
        # Under a line laid once at 70 %, every pixel shows the map above it; twice, no longer.
        under = [min(max(abs((c - LINE_ALPHA * l) / (1 - LINE_ALPHA) - m) for c, l, m in
                         zip(png.pixel(x, row), LINE, png.pixel(x, row + dy))) for dy in (-9, 9))
                 for x in range(800) if png.pixel(x, row) != png.pixel(x, row - 9)][8:-8]
        shades = [u for u in under if u > 8]
        suite.check(name, [r.crash(), None if r.status == 0 else r.stderr,
                           None if under and not shades else f"darker at {len(shades)} of {len(under)}"])

suite.finish()
