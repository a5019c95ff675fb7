#!/usr/bin/env python3
"""Zoom choice and canvas layout as printed: worked examples byte for byte,
the clamps, paddings, degenerate boxes, and coordinates that are not real
places (which must never crash the program)."""

import re

import gpx_oracle
from plotr_e2e import (CANVAS_REFUSED, EXAMPLE_LAYOUT, MISSING_TILES, PARSING, Suite,
                       fatal, gpx, numeric, track)

suite = Suite(__doc__)

# (name, arguments, points of one segment, texts the output must start with).
# The whole output is also compared with the model.
CASES = [
    ("worked example", [], [(52.50, 13.35), (52.53, 13.42)], EXAMPLE_LAYOUT),
    ("points in any order", [], [(52.52, 13.42), (52.53, 13.39), (52.50, 13.35)], EXAMPLE_LAYOUT),
    ("short track", [], [(0, 0), (0.0001, 0.0001)],
     PARSING + "we got 15.742953 meters GPX, choose maximum zoom level (18)\ngpx height: "),
    ("single point", [], [(48.1, 11.5)],
     PARSING + "we got 0.000000 meters GPX, choose maximum zoom level (18)\ngpx height: 0.000000\n"
     "gpx width:  0.000000\n"),
    ("zoom too high", [], [(52.5, 13.4), (52.5002, 13.4003)],
     PARSING + "calculated maximum zoom to fit width:  21\ncalculated maximum zoom to fit height: 21\n"
     "calculated minimum zoom: 21\nzoom is too high, choose 18\ngpx height: "),
    ("zoom too low: the message ends without a newline",
     ["-width", "100", "-height", "100"], [(-60, -170), (5, 0), (70, 170)],
     PARSING + "calculated maximum zoom to fit width:  -2\ncalculated maximum zoom to fit height: 0\n"
     "calculated minimum zoom: -2\nzoom is too low, choose 0gpx height: "),
    ("box across the whole world in longitude", [], [(10, -179.5), (10.5, 0), (11, 179.5)],
     PARSING + "calculated maximum zoom to fit width:  1\ncalculated maximum zoom to fit height: 9\n"
     "calculated minimum zoom: 1\n"),
    ("one meridian: zoom from the height alone", [], [(52.50, 13.40), (52.53, 13.40)],
     PARSING + "calculated maximum zoom to fit width:  2147483647\n"
     "calculated maximum zoom to fit height: 14\ncalculated minimum zoom: 14\n"),
    ("one parallel", [], [(52.5, 13.35), (52.5, 13.42)], PARSING + "calculated maximum zoom to fit width:  13\n"),
    # Paddings shrink the area the zoom is chosen for, once; the canvas keeps its full size.
    ("horizontal padding", ["-horizontal-padding", "250"], [(52.50, 13.35), (52.53, 13.42)],
     PARSING + "calculated maximum zoom to fit width:  13\n"),
    ("horizontal padding lowers the zoom", ["-horizontal-padding", "450"],
     [(52.50, 13.35), (52.53, 13.42)], PARSING + "calculated maximum zoom to fit width:  12\n"),
    ("vertical padding", ["-vertical-padding", "20", "-width", "1600"],
     [(52.50, 13.35), (52.53, 13.42)],
     PARSING + "calculated maximum zoom to fit width:  14\ncalculated maximum zoom to fit height: 14\n"),
    ("negative padding", ["-horizontal-padding", "-800"], [(52.50, 13.35), (52.53, 13.42)],
     PARSING + "calculated maximum zoom to fit width:  14\n"),
    ("padding larger than the picture", ["-horizontal-padding", "900", "-vertical-padding", "600"],
     [(52.50, 13.35), (52.53, 13.42)], PARSING + "calculated maximum zoom to fit width:  "),
    ("other picture size", ["-width", "1920", "-height", "1080"],
     [(47.3, 8.5), (47.45, 8.6), (47.4, 8.4)], PARSING),
    ("southern and western hemisphere", [], [(-33.95, 18.35), (-34.2, 18.5)], PARSING),
    ("huge picture", ["-width", "1073741823", "-horizontal-padding", "-1073741824",
                      "-height", "1073741823"], [(52.50, 13.35), (52.53, 13.42)], PARSING),
    # Places that are not on the map: any printed value is accepted where the
    # program may choose, but the run must end normally.
    # Past the map's edge the edge is taken; -180 and 180 are one meridian.
    ("poles and the antimeridian", [], [(90, -180), (-90, 180)],
     PARSING + "calculated maximum zoom to fit width:  2147483647\n"
     "calculated maximum zoom to fit height: 1\ncalculated minimum zoom: 1\n"
     "gpx height: 512.000000\ngpx width:  0.000000\ncanvas top:    -44.000000\n"
     "canvas bottom: 556.000000\ncanvas left:   -400.000000\ncanvas right:  400.000000\n"),
    ("tiny coordinates", [], [("1e-320", "-1e-320"), ("4.9e-324", 0.001)], PARSING),
    # Points that are not places on Earth are left out, and standard error
    # says so; the rest of the run is the run of the points left.
    ("latitude beyond the pole", [], [(52.5, 13.4), (100, 0), (200, 0)],
     PARSING + "we got 0.000000 meters GPX"),
    ("longitude beyond 180", [], [(59.5, 180.877), (59.4, 179.9)],
     PARSING + "we got 0.000000 meters GPX"),
    ("infinite coordinates", [], [("inf", "-inf"), (52.5, 13.4)], PARSING + "we got 0.000000"),
    ("NaN beside real points", [], [("nan", "nan"), (52.5, 13.35), (52.53, "nan"), (52.53, 13.42)],
     EXAMPLE_LAYOUT),
    ("coordinates that overflow to infinity", [], [("1e400", "-1e400"), ("-1e400", "1e400")], PARSING),
    ("huge finite coordinates", [], [(-1e308, 1e308), (1e308, -1e308)], PARSING),
]

# Checked by the lines alone, not by the model.
LITERAL = {"poles and the antimeridian"}
# No point is left: the run ends at the first bound, as for a document without points.
NO_POINT = {"coordinates that overflow to infinity", "huge finite coordinates"}
# Pictures no one could draw: refused before any download.
UNDRAWABLE = {"huge picture"}

for name, args, points, start in CASES:
    if not suite.wanted(name):
        continue
    doc = gpx(track(points))
    tracks, note = gpx_oracle.tracks_of_document(doc), gpx_oracle.skip_note(doc)
    size, pads = [800, 600], [0, 0]
    for opt, value in zip(args[::2], args[1::2]):
        index = ["-width", "-height", "-horizontal-padding", "-vertical-padding"].index(opt)
        (size if index < 2 else pads)[index % 2] = int(value)
    common = dict(tracks=tracks, size=size, pads=pads, stdout_start=start)
    if name in UNDRAWABLE:
        r = suite.run(["-url", MISSING_TILES] + args, doc)
        suite.expect(name, r, 2, stderr_re=CANVAS_REFUSED, end=gpx_oracle.NOT_DOWNLOADED, **common)
    elif name in LITERAL:
        suite.expect(name, suite.run(args, doc), 0, stderr=note, stdout_start=start)
    elif name in NO_POINT:
        suite.expect(name, suite.run(args, doc), 2, stdout=PARSING,
                     stderr_re=re.escape(note) + fatal(re.escape(
                         f'Failure("{gpx_oracle.no_points(1, 0)}")')))
    else:
        suite.expect(name, suite.run(args, doc), 0, stderr=note, **common)

# The model itself must give the worked example, or every comparison above is moot.
model = gpx_oracle.Transcript(EXAMPLE_LAYOUT)
model.expect("parsing gpx file\n")
b = gpx_oracle.bounds(numeric([(52.50, 13.35), (52.53, 13.42)]))
gpx_oracle.layout(model, gpx_oracle.choose_zoom(model, *b, 800, 600), *b, 800, 600)
model.expect_end()
suite.check("model gives the worked example", [model.error])

# The layout is the same whatever else the document holds.
name = "worked example in a full GPX file"
if suite.wanted(name):
    with open(suite.data("worked-example.gpx"), "rb") as f:
        doc = f.read()
    suite.expect(name, suite.run([], doc), 0, stderr="", stdout_start=EXAMPLE_LAYOUT,
                 tracks=gpx_oracle.tracks_of_document(doc))

name = "sample ride"
if suite.wanted(name):
    with open(suite.data("sample-ride.gpx"), "rb") as f:
        doc = f.read()
    suite.expect(name, suite.run([], doc), 0, stderr="", tracks=gpx_oracle.tracks_of_document(doc))

suite.finish()
