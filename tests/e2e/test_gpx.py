#!/usr/bin/env python3
"""Reading GPX: which points count, and each input failure with its exact
status and message. A failing run has printed (and flushed) only the
"parsing gpx file" line."""

import re

import gpx_oracle
import gzip

import os
import subprocess

from plotr_e2e import (BAD_NUMBER, DOCUMENT_NOTE, NOT_FOUND, PARSING, Suite, fatal, gpx, numeric,
                       track, xml_error)

suite = Suite(__doc__)

GPX_NS = 'xmlns="http://www.topografix.com/GPX/1/1"'
A = (52.50, 13.35)
B = (52.53, 13.42)
PT_A = '<trkpt lat="52.5" lon="13.35"/>'
PT_B = '<trkpt lat="52.53" lon="13.42"/>'
# A point far away: if it were taken, every number of the layout would change.
PT_FAR = '<trkpt lat="10" lon="10"/>'


def seg(*points):
    return "<trkseg>" + "".join(points) + "</trkseg>"


def trk(*segments):
    return "<trk>" + "".join(segments) + "</trk>"


AB = gpx(trk(seg(PT_A, PT_B)))

# Documents that are read: (name, bytes, the model's tracks).
READ = [
    ("two tracks, several segments, empty ones between",
     gpx(trk(seg(PT_A), seg(), seg('<trkpt lat="52.51" lon="13.4"/>')) + "<trk/>" + trk(seg(PT_B))),
     numeric([A], [], [(52.51, 13.4)]) + numeric([B])),
    ("routes only when no track point is",
     gpx('<wpt lat="10" lon="10"/><rte><rtept lat="10" lon="10"/>' + PT_FAR + "</rte>"
         + "<trk>" + PT_FAR + seg(PT_A, "<extensions>" + PT_FAR + "</extensions>", PT_B)
         + "<extensions>" + trk(seg(PT_FAR)) + "</extensions></trk>"
         + "<extensions>" + trk(seg(PT_FAR)) + "</extensions>"),
     numeric([A, B])),
    ("child elements of trkpt are read past",
     gpx(trk(seg('<trkpt lat="52.5" lon="13.35"><ele>34.2</ele><time>2024-05-04T08:00:00Z</time>'
                 "<extensions><x:e xmlns:x='urn:x'><x:hr>120</x:hr></x:e></extensions>"
                 "<name>a &amp; b &#65; &lt;c&gt; <![CDATA[<trkpt lat='10' lon='10'/>]]></name>"
                 "</trkpt>", PT_B))),
     numeric([A, B])),
    ("names in other letter case are not GPX names",
     gpx(trk(seg(PT_A, PT_B, '<TRKPT lat="10" lon="10"/><Trkpt lat="10" lon="10"/>'))
         + "<Trk>" + seg(PT_FAR) + "</Trk>"),
     numeric([A, B])),
    ("prefixed elements", ('<g:gpx xmlns:g="http://www.topografix.com/GPX/1/1"><g:trk><g:trkseg>'
                           '<g:trkpt lat="52.5" lon="13.35"/><g:trkpt lat="52.53" lon="13.42"/>'
                           "</g:trkseg></g:trk></g:gpx>"),
     numeric([A, B])),
    ("no namespace at all", "<gpx><trk><trkseg>" + PT_A + PT_B + "</trkseg></trk></gpx>",
     numeric([A, B])),
    ("the first attribute whose local name is lat",
     gpx(trk(seg('<trkpt xmlns:p="urn:p" p:lat="52.5" lon="13.35" lat="10"/>',
                 '<trkpt lon="13.42" lat="52.53" xmlns:p="urn:p" p:lon="10"/>'))),
     numeric([A, B])),
    ("gpx found below the root, before any element ends",
     "<wrap><x:inner xmlns:x='urn:x'>" + gpx(trk(seg(PT_A, PT_B)), "") + "</x:inner></wrap>",
     numeric([A, B])),
    ("coordinate texts", gpx(trk(seg(
        '<trkpt lat=" 52.5" lon="1_3.3_5"/>', '<trkpt lat="+52.53" lon="0x1.ad70a3d70a3d7p+3"/>',
        '<trkpt lat="5.253e1" lon="1342e-2"/>', '<trkpt lat="nan" lon="-0"/>',
        '<trkpt lat="52.51" lon="NaN"/>'))),
     numeric([(" 52.5", 13.35), (52.53, float.fromhex("0x1.ad70a3d70a3d7p+3")), (52.53, 13.42),
              ("nan", "-0"), (52.51, "nan")])),
    ("character references and long texts in coordinates",
     gpx(trk(seg('<trkpt lat="&#53;2.5" lon="13.3&#x35;"/>',
                 f'<trkpt lat="52.53{"0" * 100000}" lon="{"0" * 100000}13.42"/>'))),
     numeric([A, B])),
    ("deeply nested content is skipped",
     gpx(trk(seg(PT_A, "<extensions>" + "<a>" * 100000 + "</a>" * 100000 + "</extensions>", PT_B))),
     numeric([A, B])),
    ("points that are not positions are left out, the segment left empty stays",
     gpx(trk(seg(PT_A, '<trkpt lat="700" lon="13.4"/>', PT_B), seg('<trkpt lat="1" lon="inf"/>'))),
     numeric([A, B], [])),
    ("comments, processing instructions, DOCTYPE without entities",
     '<?xml version="1.0"?>\n<?xml-stylesheet href="a.xsl"?>\n<!-- c -->\n'
     '<!DOCTYPE gpx>\n<gpx><!-- c --><trk><?pi x?><trkseg>' + PT_A + "<!-- c -->" + PT_B
     + "</trkseg></trk></gpx>",
     numeric([A, B])),
    ("encoding in small letters", gpx(trk(seg(PT_A, PT_B)), '<?xml version="1.0" encoding="utf-8"?>'),
     numeric([A, B])),
    ("us-ascii", gpx(trk(seg(PT_A, PT_B)), '<?xml version="1.0" encoding="us-ascii"?>'),
     numeric([A, B])),
    ("ascii", gpx(trk(seg(PT_A, PT_B)), '<?xml version="1.0" encoding="ascii"?>'),
     numeric([A, B])),
    ("UTF-8 with BOM", b"\xef\xbb\xbf" + AB.encode(), numeric([A, B])),
    ("UTF-16LE with BOM", b"\xff\xfe" + AB.replace("UTF-8", "UTF-16").encode("utf-16-le"),
     numeric([A, B])),
    ("UTF-16BE with BOM, no declaration",
     b"\xfe\xff" + ("<gpx><trk><trkseg>" + PT_A + PT_B + "</trkseg></trk></gpx>").encode("utf-16-be"),
     numeric([A, B])),
    ("windows-1258, whose converter holds characters back",
     gpx(trk("<name>\u0110\u00e0 N\u0103\u0303ng</name>" + seg(PT_A, PT_B)),
         '<?xml version="1.0" encoding="windows-1258"?>').encode("cp1258"),
     numeric([A, B])),
    ("windows-1252 with a non-ASCII name in a tag that declares a namespace",
     ('<?xml version="1.0" encoding="windows-1252"?>\n<gpx xmlns="http://www.topografix.com/GPX/1/1"'
      ' creator="Caf\xe9 \u20ac"><trk><name>\u0152uvre \u2013 \xfc</name>'
      + seg(PT_A, PT_B) + "</trk></gpx>").encode("cp1252"),
     numeric([A, B])),
    ("ISO-8859-15", gpx(trk("<name>\u20ac</name>" + seg(PT_A, PT_B)),
                        '<?xml version="1.0" encoding="ISO-8859-15"?>').encode("iso-8859-15"),
     numeric([A, B])),
    ("gzip-compressed", gzip.compress(AB.encode()), numeric([A, B])),
    ("route only", gpx('<wpt lat="10" lon="10"/><rte><name>r</name><rtept lat="52.5" lon="13.35">'
                       '<ele>3</ele></rtept><rtept lat="52.53" lon="13.42"/></rte><rte/>'),
     numeric([A, B]) + [[[]]]),
    ("ISO-8859-1 with a non-ASCII byte",
     gpx("<metadata><name>Caf\xe9 \xfc\xdf</name></metadata>" + trk(seg(PT_A, PT_B)),
         '<?xml version="1.0" encoding="ISO-8859-1"?>').encode("latin-1"),
     numeric([A, B])),
    ("multi-byte UTF-8 text", gpx("<trk><name>\u0161\u0111\u010d \u65e5\u672c \U0001f6b2</name>"
                                  + seg(PT_A, PT_B) + "</trk>"),
     numeric([A, B])),
    ("bytes after </gpx> are never looked at", AB.encode() + b"<<<\x00\xff\xfe not xml &undefined;",
     numeric([A, B])),
    ("a second root element after </gpx>", AB + "<gpx>" + trk(seg(PT_FAR)) + "</gpx>",
     numeric([A, B])),
]
# A document larger than any read block, followed by garbage.
many = [(52.5 + i * 1e-5, 13.35 + i * 1e-5) for i in range(3000)]
READ.append(("a large document followed by garbage",
             gpx(track(many) + "<extensions>" + "x" * 70000 + "</extensions>").encode()
             + b"\xff" * 100000,
             numeric(many)))

# Documents with points that are not positions: standard error tells of them.
LEAVE_OUT = {"coordinate texts",
             "points that are not positions are left out, the segment left empty stays"}

# What was read shows in the numbers of the whole run; a small picture keeps
# the runs quick.
SMALL = ["-width", "256", "-height", "192"]
for name, doc, tracks in READ:
    if suite.wanted(name):
        note = gpx_oracle.skip_note(doc) if name in LEAVE_OUT else ""
        suite.expect(name, suite.run(SMALL, doc), 0, stderr=note, tracks=tracks, size=(256, 192))

# Reading stops at </gpx>: a producer that keeps the pipe open does not hold the run up.
name = "input left open after </gpx>"
if suite.wanted(name):
    suite.expect(name, suite.run(SMALL, AB + "<more>", keep_stdin_open=True), 0, stderr="",
                 tracks=numeric([A, B]), size=(256, 192))



def no_point(waypoints):
    return fatal(re.escape(f'Failure("{gpx_oracle.no_points(1, waypoints)}")'))


def not_gpx(root):
    return fatal(re.escape(f'Failure("not a GPX document: the root element is <{root}>")'))


NO_POINT = no_point(0)


def xml(fault=None, line=None, column=None):
    return DOCUMENT_NOTE + fatal(xml_error(fault, line, column))


MISSING = DOCUMENT_NOTE + fatal(NOT_FOUND)
BAD = DOCUMENT_NOTE + fatal(BAD_NUMBER)


# Documents that end the run: (name, bytes, whole-stderr pattern).
FAILING = [
    ("empty input", b"", xml("no element found", 1, 1)),
    ("only blanks", b"  \n\n ", xml("no element found")),
    ("only the declaration", b'<?xml version="1.0"?>\n', xml("no element found")),
    ("input ends inside an element", AB[:-7], xml("no element found")),
    ("input ends inside a tag", '<gpx><trk><trkseg><trkpt lat="1', xml("unclosed token")),
    ("mismatched tag", gpx(trk(seg(PT_A, PT_B)) + "<trk></gpx>"), xml("mismatched tag")),
    ("mismatched tag inside a skipped element",
     gpx(trk(seg(PT_A, PT_B)) + "<extensions><sa>14<sa></extensions>"), xml("mismatched tag")),
    ("invalid token", gpx(trk(seg(PT_A, PT_B)) + "<<"), xml("not well-formed (invalid token)")),
    ("byte that is not UTF-8", gpx("<metadata><name>Caf\xe9</name></metadata>" + trk(seg(PT_A, PT_B)))
     .encode("latin-1"), xml("not well-formed (invalid token)")),
    ("an encoding iconv has no single-byte table for",
     gpx(trk(seg(PT_A, PT_B)), '<?xml version="1.0" encoding="Shift_JIS"?>'),
     xml("unknown encoding")),
    ("truncated gzip", gzip.compress(AB.encode())[:-40],
     fatal(re.escape('Failure("the gzip data is damaged: unexpected end")'))),
    ("undeclared element prefix", "<gpx><trk><x:trkseg>" + PT_A + "</x:trkseg></trk></gpx>",
     xml("unbound prefix")),
    ("undeclared attribute prefix",
     '<gpx xsi:schemaLocation="a b"><trk><trkseg>' + PT_A + "</trkseg></trk></gpx>",
     xml("unbound prefix")),
    ("undefined entity", gpx(trk("<name>&nbsp;</name>" + seg(PT_A, PT_B))), xml("undefined entity")),
    ("entity declared in the DOCTYPE",
     '<?xml version="1.0"?>\n<!DOCTYPE gpx [<!ENTITY lat "52.5">]>\n<gpx><trk><trkseg>'
     '<trkpt lat="&lat;" lon="13.35"/>' + PT_B + "</trkseg></trk></gpx>", xml()),
    ("entity used with an external DOCTYPE",
     '<?xml version="1.0"?>\n<!DOCTYPE gpx SYSTEM "gpx.dtd">\n<gpx><trk><trkseg>' + PT_A + PT_B
     + "</trkseg><name>&e;</name></trk></gpx>", xml()),
    ("trkpt without lat", gpx(trk(seg(PT_A, '<trkpt lon="13.42"/>'))), MISSING),
    ("trkpt without lon", gpx(trk(seg(PT_A, '<trkpt lat="52.53"/>'))), MISSING),
    ("Lat is not lat", gpx(trk(seg('<trkpt Lat="52.5" lon="13.35"/>'))), MISSING),
    ("missing lat is found before malformed content",
     gpx(trk(seg('<trkpt lon="13.35"><ele>1</el></trkpt>'))), MISSING),
    ("bad lat is converted after the content",
     gpx(trk(seg('<trkpt lat="x" lon="13.35"><ele>1</el></trkpt>'))), xml("mismatched tag")),
    ("a point after a bad point is not reached", gpx(trk(seg('<trkpt lat="x" lon="1"/>', '<trkpt/>'))),
     BAD),
    ("no gpx element", "<kml><Document><Placemark/></Document></kml>", not_gpx("kml")),
    ("a TCX document", '<?xml version="1.0"?>\n<TrainingCenterDatabase xmlns="http://www.garmin.com'
     '/xmlschemas/TrainingCenterDatabase/v2"><Activities/></TrainingCenterDatabase>',
     not_gpx("TrainingCenterDatabase")),
    ("an element ends before gpx starts", "<wrap><meta/>" + gpx(trk(seg(PT_A)), "") + "</wrap>",
     not_gpx("wrap")),
    ("empty gpx", '<gpx version="1.1"/>', NO_POINT),
    ("waypoints and empty routes only",
     gpx('<wpt lat="1" lon="1"/><rte><name>x</name></rte><wpt lat="1" lon="1"/>'), no_point(2)),
    ("a route point without lat, no track", gpx('<rte><rtept lon="2"/></rte>'), MISSING),
    ("trk without trkseg", gpx("<trk><name>x</name></trk>"), NO_POINT),
    ("empty trkseg", gpx(trk(seg(), seg())), NO_POINT),
    ("trkpt outside trkseg", gpx("<trk>" + PT_A + PT_B + "</trk>"), NO_POINT),
    ("every lat is NaN", gpx(trk(seg('<trkpt lat="nan" lon="1"/>', '<trkpt lat="NAN" lon="2"/>'))),
     re.escape("plotr: skipped 2 track points that are not positions on Earth, the first at line 2,"
               " column 89\n") + NO_POINT),
    ("the only lat is out of range",
     "<gpx><trk><trkseg>\n <trkpt lat='700' lon='1'/></trkseg></trk></gpx>",
     re.escape("plotr: skipped 1 track point that is not a position on Earth, at line 2, column 2\n")
     + NO_POINT),
    ("every lon is NaN", gpx(trk(seg('<trkpt lat="1" lon="nan"/>'))),
     r"plotr: skipped 1 track point [^\n]*\n" + NO_POINT),
]
for text in ["abc", "", "_", "__", "52,5", "52.5 ", "52.5\t", "undefined", "0x", "1e", "1e+", ".",
             "- 1", "++1", "inf inity", "infinit", "0x1p", "52.5.1", "\u0665\u0662"]:
    FAILING.append((f"lat {text!r}", gpx(trk(seg(f'<trkpt lat="{text}" lon="13.35"/>'))),
                    BAD))
FAILING.append(("bad lon", gpx(trk(seg('<trkpt lat="52.5" lon="13.35E"/>'))), BAD))

for name, doc, stderr_re in FAILING:
    if suite.wanted(name):
        suite.expect(name, suite.run([], doc), 2, stdout=PARSING, stderr_re=stderr_re)

# The line a person can act on, exactly: where, and what is wrong there.
LINES = "<gpx>\n<trk><trkseg>\n  "
NOTES = [
    ("note: a lat that is not a number", LINES + '<trkpt lat=" 47.0 " lon="8"/></trkseg></trk></gpx>',
     'line 3, column 3: the lat value " 47.0 " is not a number', BAD_NUMBER),
    ("note: a long lon, cut", LINES + f'<trkpt lat="47" lon="{"9" * 39}\u00e9x"/>',
     f'line 3, column 3: the lon value "{"9" * 39}\u00e9"... is not a number', BAD_NUMBER),
    ("note: a missing lon", LINES + '<trkpt lat="47"/>', "line 3, column 3: the trkpt has no lon "
     "attribute", NOT_FOUND),
    ("note: malformed XML", LINES + '<trkpt lat="47" lon="8"></trk>',
     'line 3, column 29: malformed XML (mismatched tag) at "trk>"',
     xml_error("mismatched tag", 3, 29)),
    ("note: a document that ends early", "<gpx><trk>", "line 1, column 11: the document ends "
     "early (no element found)", xml_error("no element found", 1, 11)),
    ("note: empty input", "", "line 1, column 1: the document is empty",
     xml_error("no element found", 1, 1)),
]
for name, doc, note, failure in NOTES:
    if suite.wanted(name):
        suite.expect(name, suite.run([], doc), 2, stdout=PARSING,
                     stderr_re=re.escape(f"plotr: {note}\n") + fatal(failure))
        bad = suite.path("bad.gpx")
        with open(bad, "w") as f:
            f.write(doc)
        suite.expect(name + ", with -gpx", suite.run(["-gpx", "bad.gpx"]), 2,
                     stdout="parsing gpx file bad.gpx\n",
                     stderr_re=re.escape(f"plotr: in bad.gpx, {note}\n") + fatal(failure))

name = "note: a folder on standard input"
if suite.wanted(name):
    folder = os.open(suite.workdir, os.O_RDONLY)
    p = subprocess.run([suite.plotr, "-url", suite.tile_url], stdin=folder, capture_output=True,
                       cwd=suite.workdir)
    os.close(folder)
    suite.check(name, [None if (p.returncode, p.stdout, p.stderr) == (
        2, PARSING.encode(), b"plotr: standard input is a folder, not a GPX document\n"
        b'Fatal error: exception Sys_error("Is a directory")\n') else f"got {p}"])

suite.finish()
