#!/usr/bin/env python3
"""The command line as a user meets it: help, errors, integer forms, the
order of options. Values are observed through the numbers a run prints."""

import os
import pty
import subprocess

import gpx_oracle
from plotr_e2e import (CANVAS_REFUSED, EXAMPLE_GPX, EXAMPLE_TRACKS, HELP,
                       MISSING_TILES, TIMEOUT, Result, Suite, command_failed, setting,
                       wait_until)

suite = Suite(__doc__)


def error_line(kind, *words, argv0="plotr"):
    if kind == "unknown":
        return f"{argv0}: unknown option `{words[0]}'.\n"
    if kind == "needs":
        return f"{argv0}: option `{words[0]}' needs an argument.\n"
    value, option, *expects = words
    expects = expects[0] if expects else "an integer"
    return f"{argv0}: wrong argument `{value}'; option `{option}' expects {expects}.\n"


# Help: on stdout, status 0, nothing else happens; the input is never read
# (the harness keeps standard input open, so reading it would hang).
HELP_CASES = [
    ["-help"],
    ["--help"],
    ["-height", "50", "-help"],
    ["-width", "5", "-o", "x.png", "--help", "-bogus"],
    ["-compress", "-nomarkers", "track.gpx", "-help"],
]
# -version likewise: options after it are not looked at.
VERSION_CASES = [["-version"], ["-margin", "5", "-version", "-bogus"]]
for args in HELP_CASES + VERSION_CASES:
    name = "help " + " ".join(args)
    if suite.wanted(name):
        r = suite.run(args, keep_stdin_open=True)
        suite.expect(name, r, 0, stdout="plotr 0.1.0\n" if "-version" in args else HELP,
                     stderr="")

# Errors: one line naming argument 0, then the help text, all on stderr.
CENTER = "a latitude and a longitude, e.g. 46.5,7.9"
BBOX = "south,west,north,east in degrees, e.g. 46.4,7.8,46.7,8.2"
ERROR_CASES = [
    (["-bogus"], ("unknown", "-bogus")),
    (["--width", "5"], ("unknown", "--width")),
    (["-"], ("unknown", "-")),
    (["--"], ("unknown", "--")),
    (["-o=x.png"], ("unknown", "-o=x.png")),
    (["-Width", "5"], ("unknown", "-Width")),
    (["-bogus", "-help"], ("unknown", "-bogus")),
    (["-width", "800", "-nomarker"], ("unknown", "-nomarker")),
    (["-o"], ("needs", "-o")),
    (["-url"], ("needs", "-url")),
    (["-height"], ("needs", "-height")),
    (["-width"], ("needs", "-width")),
    (["-horizontal-padding"], ("needs", "-horizontal-padding")),
    (["-compress", "-vertical-padding"], ("needs", "-vertical-padding")),
    (["-width", "12px"], ("wrong", "12px", "-width")),
    (["-width", "12px", "-help"], ("wrong", "12px", "-width")),
    (["-height", "-help"], ("wrong", "-help", "-height")),
    (["-vertical-padding", "-o"], ("wrong", "-o", "-vertical-padding")),
    # Sizes and counts out of their range name it; colours and texts say what they need.
    (["-height", "-5"], ("wrong", "-5", "-height", "an integer from 1 to 1073741823")),
    (["-width", "0"], ("wrong", "0", "-width", "an integer from 1 to 1073741823")),
    (["-height", "-0x40000000"], ("wrong", "-0x40000000", "-height",
                                  "an integer from 1 to 1073741823")),
    (["-parallel", "0"], ("wrong", "0", "-parallel", "an integer from 1 to 64")),
    (["-parallel", "65"], ("wrong", "65", "-parallel", "an integer from 1 to 64")),
    (["-line-width", "65"], ("wrong", "65", "-line-width", "an integer from 1 to 64")),
    (["-color", "bluish"], ("wrong", "bluish", "-color", "a colour")),
    (["-color", "#12345"], ("wrong", "#12345", "-color", "a colour")),
    (["-attribution", "\udcff"], ("wrong", "\udcff", "-attribution", "UTF-8 text")),
    (["-cache"], ("needs", "-cache")),
    (["-provider", "nosuch"], ("wrong", "nosuch", "-provider", "a provider name (see -provider list)")),
    (["-provider", "OSM"], ("wrong", "OSM", "-provider", "a provider name (see -provider list)")),
    (["-user-agent"], ("needs", "-user-agent")),
    (["-user-agent", "a\nb"], ("wrong", "a\nb", "-user-agent", "a text without control characters")),
    (["-cache", ""], ("wrong", "", "-cache", "a folder")),
    (["-zoom", "23"], ("wrong", "23", "-zoom", "an integer from 0 to 22")),
    (["-center", "46.5;7.9"], ("wrong", "46.5;7.9", "-center", CENTER)),
    (["-center", "85.06,0"], ("wrong", "85.06,0", "-center", CENTER)),
    (["-bbox", "46.4,7.8,46.7"], ("wrong", "46.4,7.8,46.7", "-bbox", BBOX)),
    (["-bbox", "46.7,7.8,46.4,8.2"], ("wrong", "46.7,7.8,46.4,8.2", "-bbox", BBOX)),
    (["-bbox", "46.4,7.8,46.7,180.5"], ("wrong", "46.4,7.8,46.7,180.5", "-bbox", BBOX)),
    (["-color-by", "pace"], ("wrong", "pace", "-color-by", "speed, elevation, grade or heartrate")),
    (["-units", "SI"], ("wrong", "SI", "-units", "metric or imperial")),
    (["-profile", "39"], ("wrong", "39", "-profile", "an integer from 40 to 1073741823")),
    (["-profile", "301"], ("wrong", "301", "-profile", "an integer from 40 to 300 (half the height)")),
]
for text in ["+5", "1.5", "0x", "0b", "0o", "", " 5", "5 ", "0b102", "0o8", "0xfg", "1e3", "ten",
             "--5", "0x-5", "_1", "- 5", "1073741824", "-1073741825", "99999999999999999999",
             "0x40000000", "-0x40000001", "0o10000000000", "0b" + "1" + "0" * 30]:
    ERROR_CASES.append((["-horizontal-padding", text], ("wrong", text, "-horizontal-padding")))

for args, line in ERROR_CASES:
    name = "error " + " ".join(repr(a) if not a or " " in a else a for a in args)
    if suite.wanted(name):
        r = suite.run(args, keep_stdin_open=True)
        suite.expect(name, r, 2, stdout="", stderr=error_line(*line) + HELP)

# The providers installed beside the program, one line each; the list acts
# where it stands, as -help does.
PROVIDERS = ["osm", "opentopomap", "cyclosm", "thunderforest-cycle", "thunderforest-landscape",
             "thunderforest-outdoors", "thunderforest-transport", "stadia-outdoors", "carto-light",
             "carto-dark", "esri-imagery"]
name = "provider list"
if suite.wanted(name):
    r = suite.run(["-provider", "list", "-bogus"], keep_stdin_open=True)
    lines = r.stdout.splitlines()
    suite.check(name, [
        r.crash(), None if r.status == 0 and r.stderr == "" else f"status {r.status} {r.stderr!r}",
        None if [line.split()[0] for line in lines] == PROVIDERS else f"stdout {r.stdout!r}",
        None if lines and lines[0] == "osm" + " " * 22 + "OpenStreetMap standard map      no key"
        else f"first line {lines[:1]}",
        None if "thunderforest-cycle      Thunderforest OpenCycleMap      key from "
        "THUNDERFOREST_API_KEY" in lines else "no thunderforest-cycle line"])

# The program name in the error line is argument 0 exactly as invoked.
for argv0 in [suite.plotr, "./odd name", "p"]:
    name = f"error names argv0 {argv0!r}"
    if suite.wanted(name):
        r = suite.run(["-x"], argv0=argv0, keep_stdin_open=True)
        suite.expect(name, r, 2, stdout="", stderr=error_line("unknown", "-x", argv0=argv0) + HELP)

# Accepted command lines, checked through the zoom and layout lines they give.
# Entries: arguments, (width, height), (horizontal, vertical padding).
DEFAULT = ((800, 600), (0, 0))
ACCEPTED = [
    ([], *DEFAULT),
    (["-width", "0x320"], *DEFAULT),
    (["-width", "0X320"], *DEFAULT),
    (["-width", "0x3_20"], *DEFAULT),
    (["-width", "8_0_0"], *DEFAULT),
    (["-height", "1_000"], (800, 1000), (0, 0)),
    (["-height", "0o17"], (800, 15), (0, 0)),
    (["-height", "0O1130"], (800, 600), (0, 0)),
    (["-height", "0b101"], (800, 5), (0, 0)),
    (["-height", "0B1001011000"], (800, 600), (0, 0)),
    (["-height", "010"], (800, 10), (0, 0)),
    (["-height", "1073741823"], (800, 1073741823), (0, 0)),
    (["-height", "0x3fffffff"], (800, 1073741823), (0, 0)),
    (["-horizontal-padding", "-0x10"], (800, 600), (-16, 0)),
    (["-horizontal-padding", "250", "-vertical-padding", "20"], (800, 600), (250, 20)),
    # The last occurrence wins.
    (["-width", "300", "-width", "800"], *DEFAULT),
    (["-width", "800", "-width", "300"], (300, 600), (0, 0)),
    (["-height", "300", "-height", "400"], (800, 400), (0, 0)),
    # Plain arguments are ignored and do not name an input file.
    (["track.gpx"], *DEFAULT),
    ([""], *DEFAULT),
    (["track.gpx", "-width", "300", "other"], (300, 600), (0, 0)),
    # A text option takes the next argument verbatim, whatever it looks like.
    (["-o", "-compress"], *DEFAULT),
    (["-o", "-help"], *DEFAULT),
    (["-o", "-width", "300"], *DEFAULT),
    # "-height" is the first -url's value; the later -url wins.
    (["-url", "-height", "-url", suite.tile_url, "5"], *DEFAULT),
    (["-compress", "-compress", "-nomarkers", "-nomarkers"], *DEFAULT),
]
for args, size, pads in ACCEPTED:
    name = "run " + " ".join(repr(a) if not a else a for a in args)
    if not suite.wanted(name):
        continue
    if all(0 < v <= 5000 for v in size) and setting(args, "-o", "out.png"):
        r = suite.run(args, EXAMPLE_GPX)
        suite.expect(name, r, 0, stderr="", tracks=EXAMPLE_TRACKS, size=size, pads=pads)
    elif all(0 < v <= 5000 for v in size):
        # A nameless picture (refused when it is written; test_failures has
        # that): stop at the first download.
        r = suite.run(["-url", MISSING_TILES] + args, EXAMPLE_GPX)
        suite.expect(name, r, 1, stderr_re=command_failed("curl", 37), tracks=EXAMPLE_TRACKS,
                     size=size, pads=pads, end=gpx_oracle.DOWNLOAD_FAILED)
    else:
        # A picture no one could draw is refused before any download.
        r, left = suite.run_in_own_tmp(["-url", MISSING_TILES] + args, EXAMPLE_GPX)
        suite.expect(name, r, 2, stderr_re=CANVAS_REFUSED, tracks=EXAMPLE_TRACKS, size=size,
                     pads=pads, end=gpx_oracle.NOT_DOWNLOADED)
        suite.check(name + ": no directory", [left])

# A terminal on standard input, as after `plotr ride.gpx`: before waiting, one
# line says where the document comes from; typed in, it makes an ordinary run.
name = "terminal on standard input"
if suite.wanted(name):
    if os.path.exists(suite.path("out.png")):
        os.remove(suite.path("out.png"))
    leader, follower = pty.openpty()
    with open(suite.path("stderr"), "wb") as err:
        proc = subprocess.Popen([suite.plotr, "-url", suite.tile_url, "ride.gpx"], stdin=follower,
                                stdout=subprocess.PIPE, stderr=err, cwd=suite.workdir)
    os.close(follower)
    told = wait_until(lambda: os.path.getsize(suite.path("stderr")) > 0)
    os.write(leader, EXAMPLE_GPX.encode() + b"\x04")
    try:
        out, _ = proc.communicate(timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, _ = proc.communicate()
    os.close(leader)
    with open(suite.path("stderr"), "rb") as f:
        err = f.read().decode()
    suite.check(name + ": told before reading", [None if told else "nothing on stderr"])
    suite.expect(name, Result(proc.returncode, out.decode(), err, args=["-url", suite.tile_url]),
                 0, tracks=EXAMPLE_TRACKS, stderr="plotr: reading the GPX document from standard "
                 "input (plotr [OPTIONS] < track.gpx)\n")

# A plain argument that names a file is still ignored, but said to be.
name = "plain argument naming a file"
if suite.wanted(name):
    with open(suite.path("my ride.gpx"), "w") as f:
        f.write(EXAMPLE_GPX)
    suite.expect(name, suite.run(["my ride.gpx", "no-such.gpx"], EXAMPLE_GPX), 0,
                 tracks=EXAMPLE_TRACKS, stderr="plotr: my ride.gpx is not read; give it as "
                 "-gpx 'my ride.gpx' or < 'my ride.gpx'\n")

suite.finish()
