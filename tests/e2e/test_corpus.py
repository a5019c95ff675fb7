#!/usr/bin/env python3
"""Every GPX file of the real-world corpus: each ends with its expected status
and message, none crashes, and the output of every file that is read matches
the independent model computed from the same file with ElementTree. Then
routes beside tracks, and several files on one map."""

import gzip
import os
import re
import shutil

import gpx_oracle
from plotr_e2e import BAD_NUMBER, DOCUMENT_NOTE, PARSING, Suite, fatal, xml_error

suite = Suite(__doc__)
corpus = suite.args.corpus
if not os.path.isdir(corpus):
    suite.skip(f"no corpus folder at {corpus}")

READ = "read"
# Points at a pole, and tracks across the antimeridian: read, and checked by
# their zoom and layout lines rather than by the model.
AT_EDGES = {
    "ntsgpx-generated-sample.gpx":
        "calculated maximum zoom to fit width:  8\ncalculated maximum zoom to fit height: 1\n"
        "calculated minimum zoom: 1\ngpx height: 512.000000\ngpx width:  4.977778\n"
        "canvas top:    -44.000000\ncanvas bottom: 556.000000\n"
        "canvas left:   111.360000\ncanvas right:  911.360000\n",
    "rubygpx-tracks.gpx":
        "calculated maximum zoom to fit width:  2\ncalculated maximum zoom to fit height: 5\n"
        "calculated minimum zoom: 2\ngpx height: 55.849079\ngpx width:  473.364321\n"
        "canvas top:    110.399897\ncanvas bottom: 710.399897\n"
        "canvas left:   -329.319671\ncanvas right:  470.680329\n",
}


def no_point(waypoints):
    return fatal(re.escape(f'Failure("{gpx_oracle.no_points(1, waypoints)}")'))


def malformed(fault, line=None):
    """The whole standard error of a document that is not well-formed."""
    return DOCUMENT_NOTE + fatal(xml_error(fault, line))


# File -> READ, or the whole standard error of its failure (status 2).
EXPECTED = {
    "androidgpx-garminBaseCampExport-noclosingtag.gpx": malformed("no element found"),
    "androidgpx-garminBaseCampExport-truncated.gpx": malformed("no element found"),
    "androidgpx-test.gpx": READ,
    "coregpx-wptError.gpx": READ,
    "dartgpx-minimal.gpx": no_point(0),
    "dartgpx-namespace.gpx": malformed("unbound prefix"),
    "georust-caltopo-export.gpx": READ,
    # Route only: the route is drawn.
    "georust-ecology-trail-and-lovers-lane-loop.gpx": READ,
    "georust-garmin-activity.gpx": READ,
    "georust-garmin_with_extensions.gpx": READ,
    "georust-wahoo_example.gpx": READ,
    "gogpx-ashland.gpx": READ,
    "gogpx-endomondo.gpx": READ,
    "gogpx-garmin.gpx": READ,
    "gogpx-osmand.gpx": READ,
    "gpxgo-gpx-without-xml-declaration.gpx": READ,
    "gpxgo-iso8859-1encoded.gpx": no_point(8),
    "gpxpy-cerknicko-jezero.gpx": READ,
    "gpxpy-gpx1.0_with_all_fields.gpx": READ,
    "gpxpy-route.gpx": READ,
    "gpxpy-unicode.gpx": no_point(6),
    "jpx-GPX_invalid_extensions.gpx": malformed("mismatched tag", 39),
    "jpx-ISSUE-170.gpx": READ,
    "jpx-ISSUE-77.gpx": READ,
    "ntsgpx-garmin-connect-multi-actIds-sample.gpx": READ,
    "ntsgpx-generated-sample.gpx": READ,
    "ntsgpx-github-issue18-regression.gpx": READ,
    # Pause markers at lat 100 and 200: left out, with a line on standard error.
    "opentracks-legacy_gpx_pause_resume.gpx": READ,
    "phpgpx-timezero.gpx": READ,
    "rubygpx-tracks.gpx": READ,
    "rubygpx-with_empty_tracks.gpx": READ,
    "togeojson-apple_watch_route.gpx": READ,
    "togeojson-bad.gpx": DOCUMENT_NOTE + fatal(BAD_NUMBER),
    "togeojson-blue_hills.gpx": READ,
    "togeojson-empty_trk.gpx": no_point(0),
    "togeojson-run_gpxtpx.gpx": READ,
}

files = sorted(f for f in os.listdir(corpus) if f.endswith(".gpx"))
for name in sorted(set(EXPECTED) - set(files)):
    suite.check(name, [f"listed here but missing from {corpus}"])

for name in files:
    if not suite.wanted(name):
        continue
    if name not in EXPECTED:
        suite.check(name, ["new corpus file: add its expected outcome to this table"])
        continue
    with open(os.path.join(corpus, name), "rb") as f:
        doc = f.read()
    result = suite.run([], doc)
    if name in AT_EDGES:
        suite.expect(name, result, 0, stderr=gpx_oracle.skip_note(doc),
                     stdout_start=PARSING + AT_EDGES[name])
    elif EXPECTED[name] == READ:
        suite.expect(name, result, 0, stderr=gpx_oracle.skip_note(doc),
                     tracks=gpx_oracle.tracks_of_document(doc))
    else:
        suite.expect(name, result, 2, stdout=PARSING, stderr_re=EXPECTED[name])


def corpus_file(name):
    with open(os.path.join(corpus, name), "rb") as f:
        return f.read()


# One track point and a route of five: with -routes the route comes after the track.
name = "-routes with a track and a route"
if suite.wanted(name):
    doc = corpus_file("gpxpy-gpx1.0_with_all_fields.gpx")
    suite.expect(name, suite.run(["-routes"], doc), 0, stderr=gpx_oracle.skip_note(doc, True),
                 tracks=gpx_oracle.tracks_of_document(doc, True))

# Several files on one map: bounds over all of them, one line per file, files
# without points add nothing, standard input is not read; the skipped-points line
# and a failure name their file.
SEASON = ["gogpx-garmin.gpx", "gpxpy-route.gpx", "dartgpx-minimal.gpx",
          "opentracks-legacy_gpx_pause_resume.gpx"]
name = "several -gpx files on one map"
if suite.wanted(name):
    args = [a for f in SEASON for a in ("-gpx", os.path.join(corpus, f))]
    pause = corpus_file(SEASON[-1])
    suite.expect(name, suite.run(args, b"not read"), 0,
                 stderr=f"plotr: in {os.path.join(corpus, SEASON[-1])}:\n"
                 + gpx_oracle.skip_note(pause),
                 tracks=[t for f in SEASON for t in gpx_oracle.tracks_of_document(corpus_file(f))],
                 documents=[os.path.join(corpus, f) for f in SEASON])
name = "-gpx files without any point"
if suite.wanted(name):
    files = [os.path.join(corpus, f) for f in ("gpxpy-unicode.gpx", "dartgpx-minimal.gpx")]
    suite.expect(name, suite.run(["-gpx", files[0], "-gpx", files[1]]), 2,
                 stdout="".join(f"parsing gpx file {f}\n" for f in files),
                 stderr_re=fatal(re.escape(f'Failure("{gpx_oracle.no_points(2, 6)}")')))
name = "a -gpx file that fails to parse"
if suite.wanted(name):
    bad = os.path.join(corpus, "togeojson-bad.gpx")
    suite.expect(name, suite.run(["-gpx", os.path.join(corpus, SEASON[0]), "-gpx", bad]), 2,
                 stdout=f"parsing gpx file {os.path.join(corpus, SEASON[0])}\nparsing gpx file {bad}\n",
                 stderr_re=re.escape(f'plotr: in {bad}, line 5, column 7: the lon value "undefined" '
                                     "is not a number\n") + fatal(BAD_NUMBER))
name = "a -gpx file that cannot be read"
if suite.wanted(name):
    missing = suite.path("no-such-ride.gpx")
    for label, args, reason in (
            ("missing", ["-gpx", os.path.join(corpus, SEASON[0]), "-gpx", missing],
             f"cannot read {missing}: No such file or directory"),
            ("a folder as the list", ["-gpx-list", corpus], f"cannot read {corpus}: Is a directory"),
            ("a folder without rides", ["-gpx", suite.path("empty")],
             f"no .gpx or .gpx.gz file in {suite.path('empty')}"),
            ("a list naming none", ["-gpx-list", "-"], "no file named in standard input")):
        os.makedirs(suite.path("empty/.hidden.gpx"), exist_ok=True)
        suite.expect(f"{name}: {label}", suite.run(args, b"# none\n\n"), 2, stdout="",
                     stderr=f'Fatal error: exception Failure("{reason}")\n')

# A folder (a space in its name, a .gpx.gz below, hidden files left out) and a list on
# standard input, in the order given; names with spaces and leading dashes stand as they are.
name = "-gpx folders and -gpx-list"
if suite.wanted(name):
    folder = suite.path("season 2024")
    os.makedirs(os.path.join(folder, "b"), exist_ok=True)
    os.makedirs(os.path.join(folder, ".trash"), exist_ok=True)
    for f, target in ((SEASON[0], "a.gpx"), (SEASON[2], ".hidden.gpx"), (SEASON[2], ".trash/x.gpx"),
                      (SEASON[2], "notes.txt")):
        shutil.copy(os.path.join(corpus, f), os.path.join(folder, target))
    with gzip.open(os.path.join(folder, "b", "-c d.GPX.gz"), "wb") as out:
        out.write(corpus_file(SEASON[1]))
    os.symlink("..", os.path.join(folder, "b", "loop"))
    found = [os.path.join(folder, "a.gpx"), os.path.join(folder, "b", "-c d.GPX.gz")]
    listed = (f"# rides\n\n{found[1]}\r\n{os.path.join(corpus, SEASON[2])}\n").encode()
    suite.expect(name, suite.run(["-gpx-list", "-", "-gpx", folder], listed), 0,
                 tracks=[t for f in (SEASON[1], SEASON[2], SEASON[0], SEASON[1])
                         for t in gpx_oracle.tracks_of_document(corpus_file(f))],
                 documents=[found[1], os.path.join(corpus, SEASON[2])] + found)

suite.finish()
