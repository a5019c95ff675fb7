#!/usr/bin/env python3
"""Every GPX file of the real-world corpus: each ends with its expected status
and message, none crashes, and the output of every file that is read matches
the independent model computed from the same file with ElementTree."""

import os
import re

import gpx_oracle
from plotr_e2e import (ASSERT_FAILURE, BAD_NUMBER, PARSING, Suite, command_failed, fatal,
                       xml_error)

suite = Suite(__doc__)
corpus = suite.args.corpus
if not os.path.isdir(corpus):
    suite.skip(f"no corpus folder at {corpus}")

READ = "read"
# Points at a pole: the canvas rows are not numbers, so no tile is downloaded
# and the final removal fails (status 1).
NO_TILE = "no tile"
NO_POINT = fatal(ASSERT_FAILURE)

# File -> READ, NO_TILE, or the whole standard error of its failure (status 2).
EXPECTED = {
    "androidgpx-garminBaseCampExport-noclosingtag.gpx": fatal(xml_error("no element found")),
    "androidgpx-garminBaseCampExport-truncated.gpx": fatal(xml_error("no element found")),
    "androidgpx-test.gpx": READ,
    "coregpx-wptError.gpx": READ,
    "dartgpx-minimal.gpx": NO_POINT,
    "dartgpx-namespace.gpx": fatal(xml_error("unbound prefix")),
    "georust-caltopo-export.gpx": READ,
    "georust-ecology-trail-and-lovers-lane-loop.gpx": NO_POINT,
    "georust-garmin-activity.gpx": READ,
    "georust-garmin_with_extensions.gpx": READ,
    "georust-wahoo_example.gpx": READ,
    "gogpx-ashland.gpx": READ,
    "gogpx-endomondo.gpx": READ,
    "gogpx-garmin.gpx": READ,
    "gogpx-osmand.gpx": READ,
    "gpxgo-gpx-without-xml-declaration.gpx": READ,
    "gpxgo-iso8859-1encoded.gpx": NO_POINT,
    "gpxpy-cerknicko-jezero.gpx": READ,
    "gpxpy-gpx1.0_with_all_fields.gpx": READ,
    "gpxpy-route.gpx": NO_POINT,
    "gpxpy-unicode.gpx": NO_POINT,
    "jpx-GPX_invalid_extensions.gpx": fatal(xml_error("mismatched tag", 39)),
    "jpx-ISSUE-170.gpx": READ,
    "jpx-ISSUE-77.gpx": READ,
    "ntsgpx-garmin-connect-multi-actIds-sample.gpx": READ,
    "ntsgpx-generated-sample.gpx": NO_TILE,
    "ntsgpx-github-issue18-regression.gpx": READ,
    # Pause markers at lat 100 and 200: left out, with a line on standard error.
    "opentracks-legacy_gpx_pause_resume.gpx": READ,
    "phpgpx-timezero.gpx": READ,
    "rubygpx-tracks.gpx": READ,
    "rubygpx-with_empty_tracks.gpx": READ,
    "togeojson-apple_watch_route.gpx": READ,
    "togeojson-bad.gpx": fatal(BAD_NUMBER),
    "togeojson-blue_hills.gpx": READ,
    "togeojson-empty_trk.gpx": NO_POINT,
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
    if EXPECTED[name] in (READ, NO_TILE):
        read = EXPECTED[name] == READ
        note = gpx_oracle.skip_note(doc)
        suite.expect(name, result, 0 if read else 1, stderr=note if read else None,
                     stderr_re=None if read else re.escape(note) + command_failed("rm -r", 1),
                     tracks=gpx_oracle.tracks_of_document(doc))
    else:
        suite.expect(name, result, 2, stdout=PARSING, stderr_re=EXPECTED[name])

suite.finish()
