#!/usr/bin/env python3
"""How a whole run ends when something goes wrong after the layout: a tile
server that refuses or sends no picture, an output that cannot be written
(or is the input; and output names that look like MagickCore's own syntax),
URL templates that hold shell syntax, a canvas that touches no tile of the
world, and missing marker images. Tiles come from a local HTTP server."""

import glob
import os
import re
import shutil

import gpx_oracle
from plotr_e2e import (CANVAS_REFUSED, EXAMPLE_GPX, EXAMPLE_LAYOUT, EXAMPLE_TRACKS, Suite,
                       Tile_server, gpx, numeric, track)
from tile_server import GARBAGE

suite = Suite(__doc__)
FATAL_FAILURE = r'Fatal error: exception Failure\("[^\n]*"\)\n'
EXAMPLE_TILES = [(x, y) for x in range(4399, 4403) for y in range(2685, 2688)]
FIRST_TILE = "13/4399/2685.png"


def requests_problem(server, wanted):
    got = server.requests()
    return None if got == wanted else f"server was asked for {got}, expected {wanted}"


def curl_failed(url, temp_dir, code):
    """The failure line of the first tile's download."""
    return f'"curl -f -s {url} -o {temp_dir}/{FIRST_TILE}" failed with exit code {code}\n'


with Tile_server(suite.workdir, fail="404") as server:
    name = "server answers 404"
    if suite.wanted(name):
        r = suite.run(["-url", server.template], EXAMPLE_GPX)
        temp_dir = suite.expect(name, r, 1, tracks=EXAMPLE_TRACKS, end=gpx_oracle.DOWNLOAD_FAILED)
        suite.check(name + ": failure line", [
            None if r.stderr == curl_failed(f"{server.base}/{FIRST_TILE}", temp_dir, 22)
            else f"stderr {r.stderr!r}",
            requests_problem(server, ["/" + FIRST_TILE])])

    # Shell syntax in the template stays inside the URL: the run may fail
    # because curl refuses the URL, but nothing else runs.
    for i, tail in enumerate([";touch {}", "$(touch {})", "`touch {}`", "';touch {};'",
                              "\" ;touch {}; \""]):
        name = f"template with {tail.format('FILE')!r}"
        if not suite.wanted(name):
            continue
        victim = suite.path(f"victim-{i}")
        template = server.template + tail.format(victim)
        r = suite.run(["-url", template], EXAMPLE_GPX)
        first_line = f"downloading tile {template.format(z=13, x=4399, y=2685)}\n"
        suite.check(name, [
            r.crash(), None if r.status in (0, 1) else f"exit status {r.status}",
            None if first_line in r.stdout else f"no line {first_line!r} in {r.stdout!r}",
            f"{victim} was created" if os.path.exists(victim) else None])
        server.requests()

    name = "template with a double quote"
    if suite.wanted(name):
        template = server.base + '/a"b/{z}/{x}/{y}.png'
        r = suite.run(["-url", template], EXAMPLE_GPX)
        temp_dir = suite.expect(name, r, 1, tracks=EXAMPLE_TRACKS, end=gpx_oracle.DOWNLOAD_FAILED)
        wanted = curl_failed(f"'{server.base}/a\\\"b/{FIRST_TILE}'", temp_dir, 22)
        suite.check(name + ": failure line", [
            None if r.stderr == wanted else f"stderr {r.stderr!r}\n expected {wanted!r}",
            requests_problem(server, ['/a"b/' + FIRST_TILE])])

with Tile_server(suite.workdir) as server:
    # The server must see the query as written: curl's own globbing would make
    # two requests of [1-2] and of {a,b}.
    for name, query in [("template with a query", "?a=1&b=2"),
                        ("template with brackets and braces", "?v=[1-2]&w={a,b}")]:
        if suite.wanted(name):
            r = suite.run(["-url", server.template + query], EXAMPLE_GPX)
            suite.expect(name, r, 0, stderr="", tracks=EXAMPLE_TRACKS)
            suite.check(name + ": requests", [requests_problem(
                server, [f"/13/{x}/{y}.png{query}" for x, y in EXAMPLE_TILES])])

    # A picture past the library's area limit is refused before any request.
    name = "picture past the area limit"
    if suite.wanted(name):
        server.requests()
        r = suite.run(["-url", server.template, "-width", "12000", "-height", "12000"],
                      EXAMPLE_GPX)
        suite.expect(name, r, 2, stderr='Fatal error: exception Failure("a picture of 12000x12000 '
                     'pixels is larger than the imaging library allows (at most 128000000 '
                     'pixels)")\n', tracks=EXAMPLE_TRACKS, size=(12000, 12000),
                     end=gpx_oracle.NOT_DOWNLOADED)
        suite.check(name + ": no request", [None if not server.requests() else "tiles requested"])

    # Outputs that cannot be written: everything up to "writing to" runs.
    long_name = "missing/" + "x" * 4988 + ".png"
    OUTPUTS = [
        ("output in a missing directory", "no-such-dir/out.png", "write_image failed"),
        ("output path of 5000 bytes", long_name, "write_image failed: path longer than 4095 bytes"),
        # MagickCore would put a nameless picture in a temporary file of its own.
        ("empty output name", "", "write_image failed"),
    ]
    for name, output, failure in OUTPUTS:
        if suite.wanted(name):
            before = set(glob.glob("/tmp/magick-*"))
            r = suite.run(["-url", server.template, "-o", output], EXAMPLE_GPX)
            suite.expect(name, r, 2, stderr=f'Fatal error: exception Failure("{failure}")\n',
                         tracks=EXAMPLE_TRACKS)
            folder = output.split("/")[0]
            suite.check(name + ": nothing written", [
                f"{folder} was created" if folder and os.path.exists(suite.path(folder)) else None,
                "a /tmp/magick-* file was left" if set(glob.glob("/tmp/magick-*")) - before
                else None])
        server.requests()

    # The output is a path, whatever MagickCore would read into it: the picture
    # goes to exactly that file, in the format of its extension, else PNG.
    PNG, JPEG = b"\x89PNG\r\n\x1a\n", b"\xff\xd8\xff"
    NAMES = [("ride%d.png", PNG), ("jpg:out2", PNG), ("info:x", PNG), ("x.png[1]", PNG),
             ("-", PNG), ("ride.JPG", JPEG)]
    for output, signature in NAMES:
        name = f"output named {output!r}"
        if suite.wanted(name):
            before = set(os.listdir(suite.workdir))
            r = suite.run(["-url", server.template, "-o", output], EXAMPLE_GPX)
            suite.expect(name, r, 0, stderr="", tracks=EXAMPLE_TRACKS)
            try:
                with open(suite.path(output), "rb") as f:
                    head = f.read(8)
                os.remove(suite.path(output))
            except OSError as error:
                head = str(error).encode()
            new = set(os.listdir(suite.workdir)) - before - {output, "stderr"}
            suite.check(name + ": that file", [
                None if head.startswith(signature) else f"{output} starts with {head!r}",
                f"other files written: {sorted(new)}" if new else None])
        server.requests()

    # An output that is the input file itself is refused before anything is
    # read, even under another name; the track stays as it was.
    name = "output is the input"
    if suite.wanted(name):
        running = suite.start(["-url", server.template, "-o", "/dev/stdin"], EXAMPLE_GPX,
                              keep_output=True)
        r = running.finish()
        with open(running.stdin_path) as f:
            kept = f.read() == EXAMPLE_GPX
        suite.expect(name, r, 2, stdout="", stderr='Fatal error: exception '
                     'Failure("the output file is the input: /dev/stdin")\n')
        suite.check(name + ": the track is kept", [None if kept else "stdin was overwritten",
                                                   requests_problem(server, [])])

    # Near the pole every canvas row lies above the world: no tile, so no
    # directory; the final removal fails.
    name = "canvas above the world"
    if suite.wanted(name):
        tracks = numeric([(89.9, 10.0), (89.91, 10.05)])
        r = suite.run(["-url", server.template], gpx(track(tracks[0][0])))
        temp_dir = suite.expect(name, r, 1, tracks=tracks)
        line = f'"rm -r {temp_dir}" failed with exit code 1\n'
        suite.check(name + ": failure line", [
            None if line in r.stderr.splitlines(keepends=True) else f"no {line!r} in {r.stderr!r}",
            requests_problem(server, [])])

    # Nothing is downloaded for a canvas that the imaging library refuses.
    name = "canvas beyond the limits"
    if suite.wanted(name):
        r, left = suite.run_in_own_tmp(
            ["-url", server.template, "-width", "20000", "-height", "20000"], EXAMPLE_GPX)
        suite.expect(name, r, 2, stderr_re=CANVAS_REFUSED, tracks=EXAMPLE_TRACKS,
                     size=(20000, 20000), end=gpx_oracle.NOT_DOWNLOADED)
        suite.check(name + ": no request, no directory", [requests_problem(server, []), left])

    # A cache folder that cannot be used ends the run before any download;
    # inside the cache no symbolic link is followed.
    name = "cache folder and links planted in it"
    if suite.wanted(name):
        cache = suite.path("cache")
        r = suite.run(["-url", server.template, "-cache", cache], EXAMPLE_GPX)
        suite.expect(name + ": first run", r, 0, stderr="", tracks=EXAMPLE_TRACKS)
        server.requests()
        [folder] = glob.glob(os.path.join(cache, "*"))
        victim_dir, victim = suite.path("victim-dir"), suite.path("victim.png")
        os.makedirs(victim_dir)
        with open(victim, "wb") as f:
            f.write(b"victim\n")
        # An entry that is a link counts as missing; its replacement lands
        # beside it, not through it.
        entry = os.path.join(folder, "13/4400/2686.png")
        os.remove(entry)
        os.symlink(victim, entry)
        r = suite.run(["-url", server.template, "-cache", cache], EXAMPLE_GPX)
        suite.expect(name + ": entry replaced", r, 0, stderr="",
                     stdout_start=EXAMPLE_LAYOUT + f"downloading tile {server.base}/13/4400/2686.png\n")
        suite.check(name + ": link not followed", [
            None if open(victim, "rb").read() == b"victim\n" else "written through the link",
            "the entry is still a link" if os.path.islink(entry) else None,
            requests_problem(server, ["/13/4400/2686.png"])])
        shutil.rmtree(os.path.join(folder, "13"))
        os.symlink(victim_dir, os.path.join(folder, "13"))
        # Relative names: the run has a /tmp of its own.
        for label, dir, reason in [
                ("file", "victim.png", "victim.png: Not a directory"),
                ("link", "cache", os.path.relpath(os.path.join(folder, "13"), suite.workdir)
                 + ": a symbolic link or a file is in the place of a folder")]:
            r, left = suite.run_in_own_tmp(["-url", server.template, "-cache", dir],
                                           EXAMPLE_GPX)
            wanted = f'Failure("cannot use the tile cache folder {reason}")'
            suite.expect(f"{name}: {label} refused", r, 2,
                         stderr=f"Fatal error: exception {wanted}\n", tracks=EXAMPLE_TRACKS,
                         end=gpx_oracle.NOT_DOWNLOADED)
            suite.check(f"{name}: {label}, nothing done", [
                requests_problem(server, []), left,
                f"written through the link: {os.listdir(victim_dir)}" if os.listdir(victim_dir)
                else None])

    # The marker images are read after the removal, also without markers.
    name = "marker images missing"
    if suite.wanted(name):
        bare = suite.path("bare/bin/plotr")
        os.makedirs(os.path.dirname(bare))
        shutil.copy(suite.plotr, bare)
        r = suite.run(["-url", server.template, "-nomarkers"], EXAMPLE_GPX, executable=bare)
        suite.expect(name, r, 2, stderr_re=FATAL_FAILURE, tracks=EXAMPLE_TRACKS,
                     end=gpx_oracle.REMOVED)
        server.requests()

# The batch download ends as the one-tile path would at the first failed
# tile in download order: here the fifth, while the eleventh fails too.
name = "parallel download with missing tiles"
if suite.wanted(name):
    tiles_dir = suite.path("file-tiles")
    missing = [(4400, 2686), (4402, 2686)]
    for x, y in EXAMPLE_TILES:
        if (x, y) not in missing:
            os.makedirs(os.path.join(tiles_dir, f"13/{x}"), exist_ok=True)
            shutil.copy(suite.path("tile.png"), os.path.join(tiles_dir, f"13/{x}/{y}.png"))
    template = "file://" + tiles_dir + "/{z}/{x}/{y}.png"
    r = suite.run(["-url", template, "-parallel", "4"], EXAMPLE_GPX)
    lines = r.stdout.splitlines(keepends=True)
    temp_dir = lines[-1][len("removing temporary directory "):-1] if lines else ""
    downloads = "".join(f"downloading tile file://{tiles_dir}/13/{x}/{y}.png\n"
                        for x, y in EXAMPLE_TILES)
    file = "13/4400/2686.png"
    suite.expect(name, r, 1, stdout=EXAMPLE_LAYOUT + downloads +
                 f"removing temporary directory {temp_dir}\n",
                 stderr=f'"curl -f -s file://{tiles_dir}/{file} -o {temp_dir}/{file}" '
                 "failed with exit code 37\n")
    suite.check(name + ": removed", [
        f"{temp_dir} is still there" if os.path.exists(temp_dir) else None,
        "a picture was written" if os.path.exists(suite.path("out.png")) else None])

with Tile_server(suite.workdir, fail="garbage") as server:
    # A tile that is no picture ends the run where it is read; the
    # directory stays behind.
    name = "server sends no picture"
    if suite.wanted(name):
        before = set(glob.glob("/tmp/plotr-*"))
        r = suite.run(["-url", server.template], EXAMPLE_GPX)
        suite.expect(name, r, 2, stderr_re=FATAL_FAILURE, tracks=EXAMPLE_TRACKS,
                     end=gpx_oracle.DOWNLOADED)
        left = []
        for d in set(glob.glob("/tmp/plotr-*")) - before:
            tiles = glob.glob(os.path.join(d, "13/*/*.png"))
            if re.fullmatch(r"/tmp/plotr-\d+", d) and len(tiles) == 12 and all(
                    open(t, "rb").read() == GARBAGE for t in tiles):
                left.append(d)
        suite.check(name + ": directory left with the 12 tiles", [
            None if len(left) == 1 else f"{len(left)} such directories",
            requests_problem(server, [f"/13/{x}/{y}.png" for x, y in EXAMPLE_TILES])])
        for d in left:
            shutil.rmtree(d)

suite.finish()
