#!/usr/bin/env python3
"""Tile servers that misbehave, on 127.0.0.1: whatever they send, the run
ends with its status and message, its memory stays bounded, nothing else
runs, and no temporary directory is left, except where a tile that
downloaded cannot be read, which ends the run and keeps the directory."""

import glob
import math
import os
import re
import signal

import gpx_oracle
from plotr_e2e import (EXAMPLE_GPX, EXAMPLE_TILES, EXAMPLE_TRACKS, FIRST_TILE, Suite, Tile_server,
                       batch_failed, curl_failed, distance_to, fatal, left_problem,
                       requests_problem, temp_dirs, tile_paths, wait_until)
from pngfile import read_png
from tile_server import tile_color

suite = Suite(__doc__)
# Far above what a run needs, even sanitized; far below what any of these
# servers would make an unguarded decoder take.
RSS_BOUND_KB = 512 * 1024
POLICY = "/etc/ImageMagick-6/policy.xml"


def rss_problem(result):
    if result.max_rss_kb > RSS_BOUND_KB:
        return f"plotr grew to {result.max_rss_kb} kB"
    return None


def nothing_left(own_tmp):
    """A problem unless the run's own /tmp holds no temporary directory; or the
    problem that the run had no /tmp of its own."""
    if not os.path.isdir(own_tmp):
        return own_tmp
    left = temp_dirs(own_tmp)
    return f"left {sorted(left)}" if left else None


def run_leaving(args, setup=""):
    """Runs the example with `args` in a /tmp of its own: the Result and that
    /tmp. Where no mount namespace can be made, the run shares /tmp and the
    problem comes instead of the folder, so that its case fails."""
    r, own_tmp = suite.run_with_own_tmp(args, EXAMPLE_GPX, setup=setup)
    return r or suite.start(args, EXAMPLE_GPX).finish(), own_tmp


# Downloads that fail: status 1, the failure line, the removal, no directory.
DOWNLOAD_FAILURES = [
    ("server answers 500", "500", "22", ""),
    ("connection closed mid-body", "cut", "18", ""),
    # The download's file size limit stops it 64 MiB in: the shell reports
    # the SIGXFSZ in its own words and as 128 + 25, or 255 had curl run alone.
    ("body without end", "endless", "153|255", r"(File size limit exceeded[^\n]*\n)?"),
]
for name, fail, code, shell_says in DOWNLOAD_FAILURES:
    if not suite.wanted(name):
        continue
    with Tile_server(suite.workdir, fail=fail) as server:
        r = suite.start(["-url", server.template], EXAMPLE_GPX).finish()
        temp_dir = suite.expect(name, r, 1, tracks=EXAMPLE_TRACKS, end=gpx_oracle.DOWNLOAD_FAILED)
        wanted = shell_says + curl_failed(f"{server.base}/{FIRST_TILE}", temp_dir, code)
        suite.check(name + ": failure line", [
            None if re.fullmatch(wanted, r.stderr) else f"stderr {r.stderr!r}\n expected /{wanted}/",
            rss_problem(r), left_problem(r), requests_problem(server, ["/" + FIRST_TILE])])

# The download command line is fixed, so plotr waits as long as curl does;
# Ctrl-C ends the wait and the run through the cleanup; a batch download
# too, reported as the command that ran.
for name, more, end, failed in [
        ("server never answers, Ctrl-C", [], gpx_oracle.DOWNLOAD_FAILED,
         lambda base, temp_dir: curl_failed(f"{base}/{FIRST_TILE}", temp_dir, 255)),
        ("server never answers, Ctrl-C during a batch", ["-parallel", "4"],
         gpx_oracle.BATCH_FAILED, lambda base, temp_dir: batch_failed(temp_dir, 255, 4))]:
    if not suite.wanted(name):
        continue
    with Tile_server(suite.workdir, fail="hang") as server:
        server.requests()  # the log file is the earlier case's too
        running = suite.start(["-url", server.template] + more, EXAMPLE_GPX)
        asked = wait_until(lambda: server.requests())
        running.signal(signal.SIGINT, group=True)
        r = running.finish()
        temp_dir = suite.expect(name, r, 1, tracks=EXAMPLE_TRACKS, end=end)
        suite.check(name + ": failure line", [
            None if asked else "the server was never asked",
            None if re.fullmatch(failed(server.base, temp_dir), r.stderr)
            else f"stderr {r.stderr!r}", left_problem(r)])

# Tiles that download but cannot be read: status 2 with the reason after a
# line naming the tile, and the directory goes with them.
FIRST_LISTED = "13/4402/2685.png"
UNREAD_TILE = r"plotr: the tile from http://[^\n]* could not be read as a picture\n"
UNREADABLE = [
    ("truncated PNG", "truncated", re.escape('Failure("read_image failed")')),
    ("PNG claiming 100000 x 100000 pixels", "bomb", re.escape('Failure("read_image failed")')),
    ("GIF of 100000 frames", "frames", r'Failure\("[^\n]*' + re.escape(FIRST_LISTED) + r'[^\n]*"\)'),
]
for name, fail, failure in UNREADABLE:
    if not suite.wanted(name):
        continue
    with Tile_server(suite.workdir, fail=fail) as server:
        r, own_tmp = run_leaving(["-url", server.template])
        tile_line = (f"plotr: the tile from {re.escape(server.base)}/{FIRST_LISTED} could not be "
                     "read as a picture\n")
        suite.expect(name, r, 2, stderr_re=tile_line + fatal(failure), tracks=EXAMPLE_TRACKS,
                     end=gpx_oracle.DOWNLOADED)
        suite.check(name + ": bounded, nothing left", [
            rss_problem(r), nothing_left(own_tmp),
            requests_problem(server, tile_paths(13, EXAMPLE_TILES))])

# A damaged ancillary chunk (a tEXt CRC) is only a warning: the tile is pasted.
name = "PNG that decodes with a warning"
if suite.wanted(name):
    with Tile_server(suite.workdir, fail="warning") as server:
        r = suite.run(["-url", server.template], EXAMPLE_GPX)
        suite.expect(name, r, 0, stderr="", tracks=EXAMPLE_TRACKS)

# What cannot be read never enters the cache.
name = "page that is no picture, with a cache"
if suite.wanted(name):
    with Tile_server(suite.workdir, fail="garbage") as server:
        cache = "poisoned-cache"  # relative: the run's /tmp is its own
        r, own_tmp = run_leaving(["-url", server.template, "-cache", cache, "-parallel", "4"])
        suite.expect(name, r, 2, stderr_re=UNREAD_TILE + fatal(r'Failure\("[^\n]*"\)'),
                     tracks=EXAMPLE_TRACKS,
                     end=gpx_oracle.DOWNLOADED)
        kept = [f for d, _, files in os.walk(suite.path(cache)) for f in files
                if f not in ("template", ".lock")]
        suite.check(name + ": nothing cached", [
            None if not kept else f"cache holds {kept}", nothing_left(own_tmp)])

# The limits hold where no policy file sets them. File size is capped so
# that a decoder without limits stops at a disk cache of 1 GiB, not 80 GB.
name = "PNG claiming 100000 x 100000 pixels, no policy file"
if suite.wanted(name):
    empty = suite.path("policy.xml")
    with open(empty, "w") as f:
        f.write("<policymap/>\n")
    hide = f"mount --bind {empty} {POLICY} && " if os.path.exists(POLICY) else ""
    with Tile_server(suite.workdir, fail="bomb") as server:
        r, own_tmp = run_leaving(["-url", server.template], setup=hide + "ulimit -f 2097152")
        suite.expect(name, r, 2, stderr_re=UNREAD_TILE + fatal(re.escape(
                     'Failure("read_image failed")')), tracks=EXAMPLE_TRACKS,
                     end=gpx_oracle.DOWNLOADED)
        suite.check(name + ": bounded, nothing left", [rss_problem(r), nothing_left(own_tmp)])

# A file in the font's place that is no font fails before anything is read.
name = "attribution font that is no font"
if suite.wanted(name):
    font = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
    fake = suite.path("fake.ttf")
    with open(fake, "w") as f:
        f.write("not a font\n")
    r, own_tmp = run_leaving(["-attribution", "x"], setup=f"mount --bind {fake} {font}")
    suite.expect(name, r, 2, stdout="", stderr_re=fatal(re.escape(
        f'Failure("draw_attribution failed: cannot read the font {font} '
        '(Debian package fonts-dejavu-core)")')))
    suite.check(name + ": in a mount namespace", [None if os.path.isdir(own_tmp) else own_tmp])

# curl is run without -L: the redirect's own body is the tile, and the other
# host is never asked.
name = "redirect to another host"
if suite.wanted(name):
    with Tile_server(suite.workdir, style="grid") as elsewhere:
        other_host = elsewhere.base.replace("127.0.0.1", "localhost")
        with Tile_server(suite.workdir, fail="redirect", redirect_to=other_host) as server:
            r, own_tmp = run_leaving(["-url", server.template])
            suite.expect(name, r, 2, stderr_re=UNREAD_TILE + fatal(r'Failure\("[^\n]*"\)'),
                         tracks=EXAMPLE_TRACKS, end=gpx_oracle.DOWNLOADED)
            suite.check(name + ": nothing followed", [
                requests_problem(elsewhere, []), nothing_left(own_tmp)])


def tile_problem(path, size):
    """None when the picture shows the checker tiles of side `size`, each at
    its own corner and pasted in list order, and white where none reaches."""
    z, top, _, left, _ = gpx_oracle.canvas(EXAMPLE_TRACKS)
    ox, oy = math.floor(left), math.floor(top)
    line = [(int(gpx_oracle.pixel_x(z, lon) - left), int(gpx_oracle.pixel_y(z, lat) - top))
            for lat, lon in EXAMPLE_TRACKS[0][0]]
    picture = read_png(path)
    columns = {x for x, _ in EXAMPLE_TILES}
    rows = {y for _, y in EXAMPLE_TILES}
    for cy in range(0, 600, 9):
        for cx in range(0, 800, 9):
            if distance_to((cx, cy), *line) < 8:
                continue
            wx, wy = cx + ox, cy + oy
            # Listed last column first, rows from the top: the last paste
            # covering a pixel has the smallest column and the largest row.
            cover_x = [x for x in sorted(columns) if 0 <= wx - 256 * x < size]
            cover_y = [y for y in sorted(rows) if 0 <= wy - 256 * y < size]
            wanted = tile_color(cover_x[0], cover_y[-1]) if cover_x and cover_y else (255,) * 3
            got = picture.pixel(cx, cy)[:3]
            if any(abs(a - b) > 1 for a, b in zip(got, wanted)):
                return f"pixel ({cx}, {cy}) is {got}, expected {wanted}"
    return None


# A tile of another size is pasted at its corner with its own size, and one
# line says so, naming the option that fits when there is one.
for size, fits in ((100, "neither -tile-size 256 nor 512 fits them"),
                   (512, "-tile-size 512 fits them")):
    name = f"tiles of {size} x {size}"
    if not suite.wanted(name):
        continue
    with Tile_server(suite.workdir, size=size) as server:
        r = suite.run(["-url", server.template, "-nomarkers"], EXAMPLE_GPX)
        suite.expect(name, r, 0, stderr=f"plotr: the tiles are {size}x{size} pixels, not 256x256; "
                     f"{fits}\n", tracks=EXAMPLE_TRACKS)
        if r.status == 0:
            suite.check(name + ": picture", [tile_problem(suite.path("out.png"), size)])

suite.finish()
