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
import signal
import sqlite3
import time

import gpx_oracle
from plotr_e2e import (CANVAS_REFUSED, EXAMPLE_GPX, EXAMPLE_LAYOUT, EXAMPLE_TILES, EXAMPLE_TRACKS,
                       FIRST_TILE, NO_NAMESPACE, PARSING, Suite, Tile_server, batch_failed,
                       can_unshare, curl_failed, gpx, mount_namespace, numeric, provider_file,
                       requests_problem, temp_dirs, tile_paths, track, wait_until)
from tile_server import GARBAGE, write_mbtiles

suite = Suite(__doc__)
FATAL_FAILURE = r'Fatal error: exception Failure\("[^\n]*"\)\n'


with Tile_server(suite.workdir, fail="404") as server:
    name = "server answers 404"
    if suite.wanted(name):
        r = suite.run(["-url", server.template], EXAMPLE_GPX)
        temp_dir = suite.expect(name, r, 1, tracks=EXAMPLE_TRACKS, end=gpx_oracle.DOWNLOAD_FAILED)
        suite.check(name + ": failure line", [
            None if re.fullmatch(curl_failed(f"{server.base}/{FIRST_TILE}", temp_dir, 22), r.stderr)
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
            None if re.fullmatch(wanted, r.stderr) else f"stderr {r.stderr!r}\n expected /{wanted}/",
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
                server, [path + query for path in tile_paths(13, EXAMPLE_TILES)])])

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

    # Outputs that cannot be written end the run before anything is read or
    # downloaded; those that fail only in the write (a device that is full)
    # are in test_interrupt.
    long_name = "missing/" + "x" * 4988 + ".png"
    os.makedirs(suite.path("a-folder"), exist_ok=True)
    OUTPUTS = [
        ("output in a missing directory", "no-such-dir/out.png",
         "cannot write the picture to no-such-dir/out.png: No such file or directory"),
        ("output path of 5000 bytes", long_name,
         f"cannot write the picture to {long_name}: File name too long"),
        ("empty output name", "", "cannot write the picture: the file name is empty"),
        ("output is a folder", "a-folder", "cannot write the picture to a-folder: Is a directory"),
        ("output format refused by the policy", "ride.pdf",
         "cannot write the picture to ride.pdf: the imaging library's security policy does not "
         "allow the PDF format"),
    ]
    for name, output, failure in OUTPUTS:
        if suite.wanted(name):
            # In a /tmp of its own: what MagickCore leaves there is this run's.
            r, left = suite.run_in_own_tmp(["-url", server.template, "-o", output], EXAMPLE_GPX)
            suite.expect(name, r, 2, stdout="",
                         stderr=f'Fatal error: exception Failure("{failure}")\n')
            folder = output.split("/")[0]
            suite.check(name + ": nothing written", [
                f"{folder} was created" if "/" in output and os.path.exists(suite.path(folder))
                else None,
                left,
                f"{output} was written" if output.endswith(".pdf") and os.path.exists(
                    suite.path(output)) else None])
        server.requests()

    # As an ordinary user (plotr applies the kernel's protection of links in
    # shared sticky folders whatever the system's setting): a link another user
    # planted there is not followed, a file the user may not write is not
    # replaced, and nothing is read; the folder owner's link is followed, and
    # the user's own file in a folder not theirs is written in place.
    name = "output as an ordinary user"
    if suite.wanted(name) and os.geteuid() == 0:
        os.chmod(suite.workdir, 0o755)
        shared, closed = suite.path("shared"), suite.path("closed")
        os.makedirs(shared, mode=0o1777)
        os.chmod(shared, 0o1777)
        os.makedirs(closed, mode=0o755)
        files = {}
        for folder, file, mode in [(closed, "victim", 0o644), (shared, "ro.png", 0o444),
                                   (closed, "mine.png", 0o644)]:
            files[file] = os.path.join(folder, file)
            with open(files[file], "w") as f:
                f.write("kept")
            os.chown(files[file], 65534, 65534)
            os.chmod(files[file], mode)
        planted, owners = os.path.join(shared, "map.png"), os.path.join(shared, "owners.png")
        os.symlink(files["victim"], planted)
        os.lchown(planted, 1001, 1001)
        os.symlink(files["mine.png"], owners)
        fifo = os.path.join(shared, "fifo.png")
        os.mkfifo(fifo)
        os.chown(fifo, 1001, 1001)
        for label, output, reason in [
                ("planted link", planted, f"the symbolic link {planted} belongs to another user "
                 f"(uid 1001) in {shared}, which anyone may write to; it is not followed"),
                ("0444 file", files["ro.png"], "Permission denied"),
                ("planted FIFO", fifo, f"the FIFO {fifo} belongs to another user (uid 1001) in "
                 f"{shared}, which anyone may write to; it is not written to"),
                ("the folder owner's link to a file in a closed folder", owners, None)]:
            r = suite.start(["-url", server.template, "-o", output], EXAMPLE_GPX, keep_output=True,
                            prefix=["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
                            ).finish()
            target = os.path.realpath(output)
            if output == fifo:
                head = b"kept"  # reading it would wait for a writer
            else:
                with open(target, "rb") as f:
                    head = f.read(4)
            if reason:
                suite.expect(f"{name}: {label}", r, 2, stdout="", stderr="Fatal error: exception "
                             f'Failure("cannot write the picture to {output}: {reason}")\n')
            else:
                suite.expect(f"{name}: {label}", r, 0, stderr="", tracks=EXAMPLE_TRACKS)
            suite.check(f"{name}: {label}, the file", [
                None if head == (b"kept" if reason else b"\x89PNG") else f"{target}: {head!r}",
                None if (server.requests() != []) == (reason is None) else "tiles asked"])
        os.chmod(suite.workdir, 0o700)

    # The output is a path, whatever MagickCore would read into it: the picture
    # goes to exactly that file, in the format of its extension, else PNG.
    PNG, JPEG = b"\x89PNG\r\n\x1a\n", b"\xff\xd8\xff"
    NAMES = [("ride%d.png", PNG), ("jpg:out2", PNG), ("info:x", PNG), ("x.png[1]", PNG),
             ("-", PNG), ("ride.JPG", JPEG), ("ride.mpc", PNG), ("ride.txt", PNG)]
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

    # Without the credit line's font the run fails before it reads the track
    # (so before "parsing gpx file") and before any download.
    name = "attribution without its font"
    if suite.wanted(name):
        if not can_unshare():
            suite.check(name, [NO_NAMESPACE])
        else:
            font = "/usr/share/fonts/truetype/dejavu"
            r = suite.start(["-url", server.template, "-attribution", "OSM"], EXAMPLE_GPX,
                            prefix=mount_namespace(f"mount -t tmpfs tmpfs {font}")).finish()
            suite.expect(name, r, 2, stdout="", stderr="Fatal error: exception Failure("
                         f'"draw_attribution failed: cannot read the font {font}/DejaVuSans.ttf '
                         '(Debian package fonts-dejavu-core)")\n')
            suite.check(name + ": nothing asked", [requests_problem(server, [])])

    # Near the pole the map's top edge is taken: the tiles of its first rows.
    name = "canvas at the top of the world"
    if suite.wanted(name):
        r = suite.run(["-url", server.template], gpx(track([(89.9, 10.0), (89.91, 10.05)])))
        suite.expect(name, r, 0, stderr="", stdout_start=PARSING +
                     "calculated maximum zoom to fit width:  14\n"
                     "calculated maximum zoom to fit height: 2147483647\n"
                     "calculated minimum zoom: 14\ngpx height: 0.000000\n"
                     "gpx width:  582.542222\ncanvas top:    -300.000000\n")
        suite.check(name + ": requests", [requests_problem(
            server, [f"/14/{x}/{y}.png" for x in range(8646, 8650) for y in (0, 1)])])

    # Nothing is downloaded for a canvas that the imaging library refuses.
    name = "canvas beyond the limits"
    if suite.wanted(name):
        r, left = suite.run_in_own_tmp(
            ["-url", server.template, "-width", "20000", "-height", "20000"], EXAMPLE_GPX)
        suite.expect(name, r, 2, stderr_re=CANVAS_REFUSED, tracks=EXAMPLE_TRACKS,
                     size=(20000, 20000), end=gpx_oracle.NOT_DOWNLOADED)
        suite.check(name + ": no request, no directory", [requests_problem(server, []), left])
    # -compress and -heatmap keep a copy of the pixels: their smaller cap is checked as early.
    for option, kind in (("-compress", "compressed"), ("-heatmap", "heat map")):
        name = f"{kind} canvas beyond the limits"
        if suite.wanted(name):
            r = suite.run(["-url", server.template, "-width", "9000", "-height", "9000", option],
                          EXAMPLE_GPX)
            suite.expect(name, r, 2, stderr_re=rf'Fatal error: exception Failure\("a {kind} picture '
                         r'of 9000x9000 pixels is larger than the imaging library allows [^\n]*\n')
            suite.check(name + ": no request", [requests_problem(server, [])])

    # An entry dated two days ahead (a clock set wrong) is asked for without
    # a time condition, which this server would answer "not modified".
    name = "cache: an entry dated ahead is fetched anew"
    if suite.wanted(name):
        cache = suite.path("ahead-cache")
        server.requests()
        suite.run(["-url", server.template, "-cache", cache], EXAMPLE_GPX)
        [entry] = glob.glob(cache + "/*/13/4400/2686.png")
        served = open(entry, "rb").read()
        shutil.copyfile(glob.glob(cache + "/*/13/4401/2686.png")[0], entry)
        os.utime(entry, (time.time() + 2 * 86400,) * 2)
        r = suite.run(["-url", server.template, "-cache", cache], EXAMPLE_GPX)
        suite.check(name, [r.crash(), None if r.status == 0 else f"status {r.status}",
                           None if open(entry, "rb").read() == served else "the wrong tile kept",
                           requests_problem(server, tile_paths(13, EXAMPLE_TILES) + [
                               "/13/4400/2686.png"])])
        shutil.rmtree(cache)

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
    suite.expect(name, r, 1, stdout=EXAMPLE_LAYOUT + downloads +
                 f"removing temporary directory {temp_dir}\n",
                 stderr_re=batch_failed(temp_dir, 37, 4))
    suite.check(name + ": removed", [
        f"{temp_dir} is still there" if os.path.exists(temp_dir) else None,
        "a picture was written" if os.path.exists(suite.path("out.png")) else None])

with Tile_server(suite.workdir, fail="garbage") as server:
    # A tile that is no picture ends the run where it is read; the
    # directory goes with it, without a line.
    name = "server sends no picture"
    if suite.wanted(name):
        # In a /tmp of its own, so that a directory found there is this run's.
        r, own_tmp = suite.run_with_own_tmp(["-url", server.template], EXAMPLE_GPX)
        if r is None:
            suite.check(name, [own_tmp])
        else:
            suite.expect(name, r, 2, stderr_re=re.escape(
                f"plotr: the tile from {server.base}/13/4402/2685.png could not be read as a "
                "picture\n") + FATAL_FAILURE, tracks=EXAMPLE_TRACKS, end=gpx_oracle.DOWNLOADED)
            left = temp_dirs(own_tmp)
            suite.check(name + ": no directory left", [
                None if not left else f"left {sorted(left)}",
                requests_problem(server, tile_paths(13, EXAMPLE_TILES))])

# --- Providers' manners: a provider file that points at local servers ---

AGENT = "plotr/0.1.0 (+https://plotr.example.org)"
REMOVED = re.compile(r"removing temporary directory (/tmp/plotr-\d+)\n")
POLITE_FAILED = (r'"curl -f -s -L --max-redirs 5 --proto-redir =http,https --connect-timeout 15 '
                 r"--speed-limit 1 --speed-time 30 --max-time 60 "
                 r"-w '%\{http_code\} %header\{retry-after\}\\\\n' "
                 r'-K (/tmp/plotr-\d+)/13/4399/2685\.png\.conf -o \1/13/4399/2685\.png '
                 r'> \1/13/4399/2685\.png\.status" failed with exit code (\d+)\n')
# The limits twentyfold shorter: 2 s without a byte, 3 s a tile, politely;
# 3 s without a byte otherwise.
FAST = {"PLOTR_TEST_TIME_SCALE": "0.05"}


def provider_run(provider, *args, env=None):
    """A run with -provider and a cache of its own; the Result and the
    temporary directory that stdout names (None if none)."""
    cache = suite.path("provider-cache")
    r = suite.start(["-provider", provider, "-cache", cache, *args], EXAMPLE_GPX,
                    local_tiles=False, env=env).finish()
    shutil.rmtree(cache, ignore_errors=True)
    m = REMOVED.search(r.stdout)
    return r, m.group(1) if m else None


def provider_run_in(provider, cache):
    """A run with -provider and this cache, kept; as provider_run."""
    r = suite.start(["-provider", provider, "-cache", cache], EXAMPLE_GPX,
                    local_tiles=False).finish()
    m = REMOVED.search(r.stdout)
    return r, m.group(1) if m else None


def run_problems(r, temp_dir, status, stderr=None):
    return [r.crash(), None if r.status == status else f"exit status {r.status}, expected {status}",
            None if stderr is None or r.stderr == stderr else f"stderr {r.stderr!r}",
            "no removal line" if temp_dir is None else
            f"{temp_dir} is still there" if os.path.exists(temp_dir) else None]


# A redirect is followed, and every transfer of a batch says who it is: the
# target answers 403 to any other User-Agent.
with Tile_server(suite.workdir, want_agent=AGENT) as target, \
        Tile_server(suite.workdir, fail="redirect", redirect_to=target.base) as redirect:
    name = "provider: redirect followed, identified in every transfer of a batch"
    if suite.wanted(name):
        provider = provider_file(suite.workdir, "moved", redirect.template, max_parallel=4)
        r, temp_dir = provider_run(provider, "-parallel", "8")
        suite.check(name, run_problems(
            r, temp_dir, 0, "plotr: -parallel 8 lowered to 4, the most the provider moved allows\n")
            + [requests_problem(target, sorted(f"/13/{x}/{y}.png" for x, y in EXAMPLE_TILES))
               if sorted(target.requests()) != sorted(f"/13/{x}/{y}.png" for x, y in EXAMPLE_TILES)
               else None])

    name = "-user-agent in every transfer of a batch without -provider"
    if suite.wanted(name):
        r = suite.start(["-url", target.template, "-user-agent", AGENT, "-parallel", "4"],
                        EXAMPLE_GPX, local_tiles=False).finish()
        suite.check(name, [r.crash(), None if r.status == 0 else f"status {r.status}: {r.stderr}",
                           requests_problem(target, tile_paths(13, EXAMPLE_TILES))
                           if sorted(target.requests()) != sorted(tile_paths(13, EXAMPLE_TILES))
                           else None])

# Every tile's first request is answered 429 with Retry-After: 1; the batch
# asks again and the run succeeds, saying nothing of it.
with Tile_server(suite.workdir, busy=1) as server:
    name = "provider: 429 retried, run succeeds"
    if suite.wanted(name):
        provider = provider_file(suite.workdir, "busy", server.template, max_parallel=4)
        r, temp_dir = provider_run(provider)
        asked = server.requests()
        suite.check(name, run_problems(r, temp_dir, 0, "") + [
            None if sorted(asked) == sorted(2 * [f"/13/{x}/{y}.png" for x, y in EXAMPLE_TILES])
            else f"asked {asked}"])

# A server that always says 429: four retries (1 + 2 + 4 + 8 s), then the
# failure line and the HTTP status.
with Tile_server(suite.workdir, fail="429") as server:
    name = "provider: 429 for good"
    if suite.wanted(name):
        provider = provider_file(suite.workdir, "refusing", server.template, max_parallel=1)
        r, temp_dir = provider_run(provider)
        m = re.fullmatch(POLITE_FAILED + "plotr: the server answered 429 Too Many Requests for "
                         + re.escape(f"{server.base}/{FIRST_TILE}") + "\n", r.stderr)
        suite.check(name, run_problems(r, temp_dir, 1) + [
            None if m and m.group(2) == "22" else f"stderr {r.stderr!r}",
            None if server.requests() == 5 * ["/" + FIRST_TILE] else "not asked five times"])

# Ctrl-C during a wait that an asctime Retry-After date asked for (30 s; a
# date not understood would wait 1 s) ends the run at once, through the cleanup.
with Tile_server(suite.workdir, fail="429", retry_after="asctime:30") as server:
    name = "provider: Ctrl-C during a Retry-After wait"
    if suite.wanted(name):
        provider = provider_file(suite.workdir, "later", server.template, max_parallel=1)
        running = suite.start(["-provider", provider, "-cache", suite.path("wait-cache")],
                              EXAMPLE_GPX, local_tiles=False)
        asked = wait_until(lambda: server.requests())
        time.sleep(1.5)
        running.signal(signal.SIGINT, group=True)
        r = running.finish(timeout=5)
        m = REMOVED.search(r.stdout)
        suite.check(name, run_problems(r, m.group(1) if m else None, 1, "") + [
            None if asked else "never asked", "timed out" if r.timed_out else None,
            None if server.requests() == [] else "asked again"])

# The key: never on a command line, in the output or in the cache; a
# termination request during a hanging download still cleans up.
with Tile_server(suite.workdir, fail="hang") as server:
    name = "provider: the key stays secret"
    if suite.wanted(name):
        key = f"secret{os.getpid()}key"
        cache = suite.path("key-cache")
        provider = provider_file(suite.workdir, "keyed", server.template + "?k={apikey}",
                                 key_env="PLOTR_E2E_KEY")
        running = suite.start(["-provider", provider, "-cache", cache], EXAMPLE_GPX,
                              local_tiles=False, env={"PLOTR_E2E_KEY": key})
        asked = wait_until(lambda: server.requests() == [f"/{FIRST_TILE}?k={key}"])
        seen = []
        for cmdline in glob.glob("/proc/[0-9]*/cmdline"):
            try:
                with open(cmdline, "rb") as f:
                    if key.encode() in f.read():
                        seen.append(cmdline)
            except OSError:
                pass
        running.signal(signal.SIGTERM)
        r = running.finish()
        m = REMOVED.search(r.stdout)
        in_cache = [p for p in glob.glob(cache + "/**", recursive=True)
                    if key in p or os.path.isfile(p) and key.encode() in open(p, "rb").read()]
        suite.check(name, run_problems(r, m.group(1) if m else None, 1) + [
            None if asked else "the server was never asked with the key",
            f"the key in {seen}" if seen else None,
            "the key on stdout or stderr" if key in r.stdout + r.stderr else None,
            None if f"downloading tile {server.base}/{FIRST_TILE}?k={{apikey}}\n" in r.stdout
            else f"stdout {r.stdout!r}",
            f"the key in the cache: {in_cache}" if in_cache else None])
        shutil.rmtree(cache, ignore_errors=True)

    name = "provider: no key"
    if suite.wanted(name):
        provider = provider_file(suite.workdir, "keyed", server.template + "?k={apikey}",
                                 key_env="PLOTR_E2E_KEY")
        r, _ = provider_run(provider, env={"PLOTR_E2E_KEY": ""})
        suite.check(name, [r.crash(), None if r.status == 2 else f"exit status {r.status}",
                           None if r.stdout == "" else f"stdout {r.stdout!r}",
                           None if r.stderr == 'Fatal error: exception Failure("the provider keyed '
                           'needs an API key in the environment variable PLOTR_E2E_KEY")\n'
                           else f"stderr {r.stderr!r}",
                           None if server.requests() == [] else "the server was asked"])

# A provider that sends nothing, or two bytes a second: the first timeouts
# stop the batch, their retries time out too, and the provider is taken as
# down: twelve tiles cost two timeouts, not one each.
for fail, said in (("hang", "did not answer"), ("drip", "answered too slowly")):
    with Tile_server(suite.workdir, fail=fail) as server:
        name = f"provider: {fail}, the provider is down after two timeouts"
        if suite.wanted(name):
            provider = provider_file(suite.workdir, fail, server.template, max_parallel=2)
            r, temp_dir = provider_run(provider, env=FAST)
            asked = server.requests()
            suite.check(name, run_problems(r, temp_dir, 1) + [
                None if re.fullmatch(batch_failed(temp_dir, 28, 2, "-2") + f"plotr: the provider "
                                     f"{said} for " + re.escape(f"{server.base}/{FIRST_TILE}\n"),
                                     r.stderr) else f"stderr {r.stderr!r}",
                None if len(asked) <= 8 else f"asked {len(asked)} times"])

    # Without a provider plotr itself stops a download that moves no byte.
    name = "a server that sends nothing is left"
    if fail == "hang" and suite.wanted(name):
        with Tile_server(suite.workdir, fail=fail) as server:
            r = suite.start(["-url", server.template], EXAMPLE_GPX, local_tiles=False,
                            env=FAST).finish()
            temp_dir = suite.expect(name, r, 1, tracks=EXAMPLE_TRACKS,
                                    end=gpx_oracle.DOWNLOAD_FAILED)
            url = f"{server.base}/{FIRST_TILE}"
            suite.check(name + ": stderr", [
                None if re.fullmatch(curl_failed(url, temp_dir, 255) + re.escape(
                    f"plotr: the server sent nothing for 3 s; the download of {url} was "
                    "stopped\n"), r.stderr) else f"stderr {r.stderr!r}"])

# An outage: every tile in the cache, old; then the provider cannot be
# reached. The old copies are pasted and one line says so; a tile without a
# copy fails the run as ever.
name = "provider: older copies carry an outage"
if suite.wanted(name):
    cache = suite.path("outage-cache")
    with Tile_server(suite.workdir) as server:
        provider = provider_file(suite.workdir, "outage", server.template, max_parallel=2)
        first = suite.start(["-provider", provider, "-cache", cache], EXAMPLE_GPX,
                            local_tiles=False).finish()
    entries = glob.glob(cache + "/*/13/*/*.png")
    for entry in entries:
        os.utime(entry, (1420070400, 1420070400))
    r, temp_dir = provider_run_in(provider, cache)
    suite.check(name, [first.crash(), None if len(entries) == 12 else f"{len(entries)} entries"]
                + run_problems(r, temp_dir, 0, "plotr: 12 tiles came from older copies in the "
                               "cache, as the server could not be reached\n"))
    os.remove(entries[5])
    r, temp_dir = provider_run_in(provider, cache)
    suite.check(name + ": a tile without a copy", run_problems(r, temp_dir, 1) + [
        None if re.fullmatch(batch_failed(temp_dir, 7, 2), r.stderr) else f"stderr {r.stderr!r}"])
    shutil.rmtree(cache, ignore_errors=True)

# MBTiles files that cannot serve end the run before anything is read or
# drawn, naming the file and SQLite's reason; a tile that is no picture ends
# it as a downloaded one does. Rows: name, file contents, failure.
TILE_ROWS = [(13, x, y) for x, y in EXAMPLE_TILES]
MBTILES = [
    ("MBTiles: not a database", GARBAGE * 100, "file is not a database"),
    ("MBTiles: no such file", None, "unable to open database file (No such file or directory)"),
    ("MBTiles: a database without tiles", [], "not an MBTiles file (no such table: tiles)"),
    ("MBTiles: hostile zoom", [("maxzoom", "99999999999")],
     'the metadata maxzoom \\"99999999999\\" is no zoom from 0 to 22'),
    ("MBTiles: zooms the wrong way round", [("minzoom", 15), ("maxzoom", "10")],
     "the metadata minzoom 15 is above maxzoom 10"),
    ("MBTiles: vector tiles", [("format", "pbf")], "it holds vector tiles (format pbf), not pictures"),
]
for name, contents, reason in MBTILES:
    if suite.wanted(name):
        path = suite.path("bad.mbtiles")
        if isinstance(contents, bytes):
            with open(path, "wb") as f:
                f.write(contents)
        elif contents is not None:
            write_mbtiles(path, TILE_ROWS if contents else [], metadata=contents)
            if not contents:
                sqlite3.connect(path).execute("DROP TABLE tiles").connection.commit()
        r = suite.run(["-mbtiles", "bad.mbtiles"], EXAMPLE_GPX, local_tiles=False)
        suite.expect(name, r, 2, stdout="", stderr=f'Fatal error: exception Failure("bad.mbtiles: '
                     f'{reason}")\n')
        suite.check(name + ": no picture", [suite.picture_problem("out.png", None)])
        if os.path.exists(path):
            os.remove(path)
name = "MBTiles: a tile that is no picture"
if suite.wanted(name):
    write_mbtiles(suite.path("garbage.mbtiles"), [(13, 4399, 2685, GARBAGE)])
    r = suite.run(["-mbtiles", "garbage.mbtiles"], EXAMPLE_GPX, local_tiles=False)
    suite.expect(name, r, 2, stderr_re=re.escape("plotr: the tile from garbage.mbtiles (tile "
                 "13/4399/2685) could not be read as a picture\n") + FATAL_FAILURE)

suite.finish()
