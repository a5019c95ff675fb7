#!/usr/bin/env python3
"""plotr's benchmarks in one run, each against its floor and its peer.

Builds build-bench/ (RelWithDebInfo, as shipped, with -DPLOTR_BENCH=ON),
generates the inputs into bench/data/ once, starts the bundled tile server on
127.0.0.1, and measures side by side, alternating the contenders run by run:

  parse  plotr's reader (bench/plotr_parse) against the bare expat floor
         (bench/expat_floor): MB/s, ratio, peak memory per point
  run    whole runs, the typical one (10^4 points, 800x600, 12 tiles) and a
         4000x3000 one (221 tiles), against the floor made of the same shelled
         commands and MagickCore calls without plotr's code (bench/run_floor)
  peer   the same tracks rendered by the npm package staticmaps (bench/peer)
  draw   drawing only, in process (Google Benchmark, bench/draw_bench)
  size   the typical picture's file size with and without -compress
  scale  the typical run at -scale 1 and -scale 2 (deeper tiles, and retina
         tiles through {r}) with a warm -cache: time and peak memory per pixel
  fetch  tiles: default, -parallel 8 with a fresh and a warm -cache, and the
         peer, on the typical run and at 4000x3000; the same against a server
         that waits 50 ms per tile; a batch of 50 rides, four at a time, with
         and without one shared cache (wall time, requests)
  gzip   the 10^6-point ride read plain and gzip-compressed
  season 300 rides of 10^4 points in one picture from 300 -gpx files against
         the expat floor over the same files
  mbtiles the typical run and a 4000x3000 one from an MBTiles file against a
         warm -cache holding the same tiles
  heatmap 1000 rides of 3000 points from one -gpx folder at 1920x1080, as a
         heat map against the same rides drawn as plain lines

Medians of --runs runs (3 from 10^5 points on). Prints a Markdown report and
writes it to bench/data/results.md; bench/RESULTS.md keeps the reviewed copy.
"""

import argparse
import concurrent.futures
import datetime
import glob
import gzip
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
DATA = os.path.join(BENCH, "data")
sys.path.insert(0, os.path.join(ROOT, "scripts"))
from tile_server import Serving  # noqa: E402
BUILD = os.path.join(ROOT, "build-bench")
PEER = os.path.join(BENCH, "peer")
SIZES = [1000, 10000, 100000, 1000000]
TYPICAL = "typical-10000"


def inputs():
    """Generates the rides once: name -> path. The typical track is a brisk
    walk of 10^4 points that fits zoom 13 and 12 tiles at 800x600."""
    recipes = {f"ride-{n}": ["--points", str(n), "--seed", "1"] for n in SIZES}
    recipes[TYPICAL] = ["--points", "10000", "--seed", "2", "--pace", "0.3"]
    return {name: generate(name, options) for name, options in recipes.items()}


def generate(name, options):
    """The path of bench/data/<name>.gpx, written by gen_gpx.py once."""
    path = os.path.join(DATA, name + ".gpx")
    if not os.path.exists(path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        print(f"generating {path}", file=sys.stderr)
        subprocess.run([sys.executable, os.path.join(BENCH, "gen_gpx.py"), *options,
                        "-o", path + ".part"], check=True)
        os.replace(path + ".part", path)
    return path


def install_tools():
    """The build's own packages come from scripts/setup; the benchmarks add
    Google Benchmark. Node.js and npm run the peer."""
    subprocess.run(["bash", os.path.join(ROOT, "scripts", "setup")], check=True,
                   stdout=subprocess.DEVNULL)
    missing = [p for p in ("libbenchmark-dev",) if subprocess.run(
        ["dpkg-query", "-W", "-f=${Status}", p], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
        text=True).stdout != "install ok installed"]
    if missing:
        subprocess.run(["apt-get", "install", "-y", "--no-install-recommends", *missing],
                       check=True)
    if subprocess.run(["sh", "-c", "command -v node && command -v npm"],
                      stdout=subprocess.DEVNULL).returncode != 0:
        sys.exit("bench: the peer needs Node.js 18 or later with npm (apt-get install nodejs npm)")


def build():
    subprocess.run(["cmake", "-S", ROOT, "-B", BUILD, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                    "-DPLOTR_BENCH=ON", "-DBUILD_TESTING=OFF"], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "-j", str(os.cpu_count()), "--target", "plotr",
                    "plotr_parse", "expat_floor", "run_floor", "draw_bench"], check=True,
                   stdout=subprocess.DEVNULL)


def measure(command, stdin_path, cwd):
    """(wall seconds, peak RSS in bytes, stdout) of one run."""
    with open(stdin_path, "rb") as stdin:
        start = time.perf_counter()
        done = subprocess.run(["/usr/bin/time", "-v", *command], stdin=stdin, cwd=cwd,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        wall = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit(f"{' '.join(command)} failed with status {done.returncode}:\n{done.stderr}")
    rss = re.search(r"Maximum resident set size \(kbytes\): (\d+)", done.stderr)
    return wall, int(rss.group(1)) * 1024, done.stdout


def side_by_side(contenders, stdin_path, runs, cwd):
    """Runs the commands alternately; name -> (median wall, max peak RSS)."""
    walls = {name: [] for name in contenders}
    peaks = {name: 0 for name in contenders}
    for _ in range(runs):
        for name, command in contenders.items():
            wall, rss, _ = measure(command, stdin_path, cwd)
            walls[name].append(wall)
            peaks[name] = max(peaks[name], rss)
    return {name: (statistics.median(walls[name]), peaks[name]) for name in contenders}


def runs_for(points, runs):
    return runs if points < 100000 else min(runs, 3)


def mib(n):
    return f"{n / 2**20:.1f} MiB"


def section(title, text, rows):
    return [f"## {title}", "", text, ""] + rows


def parse_section(paths, runs, cwd):
    rows = ["| points | MB | plotr MB/s | floor MB/s | plotr speed / floor | plotr peak | "
            "floor peak | plotr bytes/point over 16 MiB |", "|" + "---:|" * 8]
    for n in SIZES:
        path = paths[f"ride-{n}"]
        mb = os.path.getsize(path) / 1e6
        got = side_by_side({"plotr": [os.path.join(BUILD, "bench", "plotr_parse")],
                            "floor": [os.path.join(BUILD, "bench", "expat_floor")]},
                           path, runs_for(n, runs), cwd)
        (p_wall, p_rss), (f_wall, f_rss) = got["plotr"], got["floor"]
        rows.append(f"| {n:,} | {mb:.1f} | {mb / p_wall:.1f} | {mb / f_wall:.1f} | "
                    f"{f_wall / p_wall:.2f} | {mib(p_rss)} | {mib(f_rss)} | "
                    f"{max(0, p_rss - 16 * 2**20) / n:.1f} |")
    return section(
        "Parse",
        "plotr's reader and bounds (`plotr_parse`) against the bare expat loop "
        "(`expat_floor`). Target: speed at least 0.85 of the floor; peak at most "
        "24 bytes a point plus 16 MiB at 10^6 points.", rows)


def gzip_section(paths, runs, cwd):
    """The 10^6-point ride read by plotr_parse plain and gzip-compressed."""
    plain = paths["ride-1000000"]
    packed = os.path.join(DATA, "ride-1000000.gpx.gz")
    if not os.path.exists(packed):
        with open(plain, "rb") as src, gzip.open(packed + ".part", "wb", compresslevel=6) as dst:
            shutil.copyfileobj(src, dst)
        os.replace(packed + ".part", packed)
    mb = os.path.getsize(plain) / 1e6
    rows = ["| input | bytes read | wall | GPX MB/s | peak |", "|---|---:|---:|---:|---:|"]
    for label, path in (("plain", plain), ("gzip -6", packed)):
        wall, rss = side_by_side({"p": [os.path.join(BUILD, "bench", "plotr_parse")]}, path,
                                 min(runs, 3), cwd)["p"]
        rows.append(f"| {label} | {os.path.getsize(path) / 1e6:.1f} MB | {wall:.2f} s | "
                    f"{mb / wall:.1f} | {mib(rss)} |")
    return section("Gzip", "plotr's reader (`plotr_parse`) over the 10^6-point ride, plain "
                   "and gzip-compressed; MB/s counts the uncompressed GPX.", rows)


SEASON_RIDES = 300


def season_section(url, runs, cwd):
    """300 rides of 10^4 points in one picture (-gpx 300 times) against the
    expat floor over the same files."""
    rides = [generate(f"season/ride-{i:03d}",
                      ["--points", "10000", "--seed", str(100 + i), "--lat",
                       str(52.3 + 0.004 * (i % 50)), "--lon", str(13.1 + 0.01 * (i // 50))])
             for i in range(SEASON_RIDES)]
    args = [a for ride in rides for a in ("-gpx", ride)]
    got = side_by_side({"plotr": plotr_command(url, (800, 600), "season.png", args),
                        "floor": [os.path.join(BUILD, "bench", "expat_floor"), *rides]},
                       os.devnull, runs_for(10**6, runs), cwd)
    (p_wall, p_rss), (f_wall, f_rss) = got["plotr"], got["floor"]
    mb = sum(os.path.getsize(r) for r in rides) / 1e6
    rows = ["| rides x points | MB | plotr run | floor parse | plotr / floor | plotr peak |",
            "|---|---:|---:|---:|---:|---:|",
            f"| {SEASON_RIDES} x 10,000 | {mb:.0f} | {p_wall:.2f} s | {f_wall:.2f} s | "
            f"{p_wall / f_wall:.2f} | {mib(p_rss)} |"]
    return section("Season", "A whole run drawing 300 rides of 10^4 points (3 million) in one "
                   "800x600 picture from 300 `-gpx` files, tiles from the local server, against "
                   "`expat_floor` parsing the same files. Target: at most 2.5 times the floor, "
                   "peak under 120 MiB.", rows)


HEAT_RIDES = 1000


def heatmap_section(url, runs, cwd):
    """1000 rides of 3000 points over one region (-gpx folder), 1920x1080: -heatmap
    against plain lines (-nomarkers), alternately, with peak memory."""
    for i in range(HEAT_RIDES):
        generate(f"heat/ride-{i:04d}", ["--points", "3000", "--seed", str(5000 + i), "--lat",
                                        str(52.45 + 0.002 * (i % 20)),
                                        "--lon", str(13.3 + 0.003 * (i // 50))])
    folder = os.path.join(DATA, "heat")
    base = ["-gpx", folder]
    got = side_by_side({"heatmap": plotr_command(url, (1920, 1080), "heat.png",
                                                 base + ["-heatmap"]),
                        "lines": plotr_command(url, (1920, 1080), "lines.png",
                                               base + ["-nomarkers"])},
                       os.devnull, min(runs, 3), cwd)
    (h_wall, h_rss), (l_wall, l_rss) = got["heatmap"], got["lines"]
    rows = ["| rides x points | heat map | plain lines | heat / lines | heat peak | lines peak |",
            "|---|---:|---:|---:|---:|---:|",
            f"| {HEAT_RIDES} x 3,000 | {h_wall:.2f} s | {l_wall:.2f} s | {h_wall / l_wall:.2f} | "
            f"{mib(h_rss)} | {mib(l_rss)} |"]
    return section("Heat map", "A whole run over 1000 rides of 3000 points (3 million) from one "
                   "`-gpx` folder at 1920x1080, tiles from the local server: `-heatmap` against "
                   "the same rides as plain lines (`-nomarkers`). Target: at most 2 times the "
                   "lines' time, peak at most 250 MiB.", rows)


def plan(stdout):
    """The zoom, canvas origin and tiles that a plotr run printed."""
    zoom = int(re.search(r"calculated minimum zoom: (\d+)", stdout).group(1))
    left = re.search(r"canvas left: +(\S+)", stdout).group(1)
    top = re.search(r"canvas top: +(\S+)", stdout).group(1)
    tiles = [f"{x},{y},{url}" for url, x, y in
             re.findall(r"downloading tile (\S+/(\d+)/(\d+)\.png)", stdout)]
    return zoom, left, top, tiles


def plotr_command(url, size, output, extra=()):
    # build-bench/plotr finds its pins in ../share/plotr, the tree's own.
    return [os.path.join(BUILD, "plotr"), "-url", url, "-width", str(size[0]),
            "-height", str(size[1]), "-o", output, *extra]


def run_section(paths, url, runs, cwd):
    rows = ["| run | tiles | plotr s | floor s | plotr / floor | plotr peak | floor peak |",
            "|---|---:|---:|---:|---:|---:|---:|"]
    for size, n_runs in (((800, 600), runs), ((4000, 3000), min(runs, 3))):
        plotr = plotr_command(url, size, "plotr.png")
        _, _, stdout = measure(plotr, paths[TYPICAL], cwd)  # also warms the server's cache
        zoom, left, top, tiles = plan(stdout)
        floor = [os.path.join(BUILD, "bench", "run_floor"), str(zoom), left, top, str(size[0]),
                 str(size[1]), os.path.join(ROOT, "share", "plotr"), "floor.png", *tiles]
        got = side_by_side({"plotr": plotr, "floor": floor}, paths[TYPICAL], n_runs, cwd)
        (p_wall, p_rss), (f_wall, f_rss) = got["plotr"], got["floor"]
        rows.append(f"| {TYPICAL}, {size[0]}x{size[1]}, zoom {zoom} | {len(tiles)} | "
                    f"{p_wall:.3f} | {f_wall:.3f} | {p_wall / f_wall:.2f} | {mib(p_rss)} | "
                    f"{mib(f_rss)} |")
    return section(
        "Whole runs against their floor",
        "`run_floor` makes the same `mkdir -p`, `curl` and `rm -r` commands through the "
        "shell and the same MagickCore calls for the plan that plotr printed (its picture "
        "is pixel-identical), after a bare expat read. Target: at most 1.15.", rows)


def install_peer():
    if not os.path.isdir(os.path.join(PEER, "node_modules")):
        subprocess.run(["npm", "ci", "--prefix", PEER, "--no-audit", "--no-fund"], check=True,
                       stdout=subprocess.DEVNULL)


def peer_command(url, size, output):
    return ["node", os.path.join(PEER, "render.js"), "--width", str(size[0]), "--height",
            str(size[1]), "--url", url, "--out", output]


def peer_section(paths, url, runs, cwd):
    install_peer()
    rows = ["| track | size | plotr s | peer s | peer / plotr | plotr peak | peer peak |",
            "|---|---|---:|---:|---:|---:|---:|"]
    cases = [(f"ride-{n}", (800, 600), runs_for(n, runs)) for n in SIZES]
    cases[1:1] = [(TYPICAL, (800, 600), runs), (TYPICAL, (4000, 3000), min(runs, 3))]
    for name, size, n_runs in cases:
        peer = peer_command(url, size, "peer.png")
        got = side_by_side({"plotr": plotr_command(url, size, "plotr.png"), "peer": peer},
                           paths[name], n_runs, cwd)
        (p_wall, p_rss), (q_wall, q_rss) = got["plotr"], got["peer"]
        rows.append(f"| {name} | {size[0]}x{size[1]} | {p_wall:.3f} | {q_wall:.3f} | "
                    f"{q_wall / p_wall:.2f} | {mib(p_rss)} | {mib(q_rss)} |")
    return section(
        "Against the peer",
        "The npm package staticmaps (bench/peer/render.js) on the same tracks and tile "
        "server. Target: plotr at least 1.6 times faster on the typical run, faster at "
        "every size, with a lower peak.", rows)


def draw_section():
    done = subprocess.run([os.path.join(BUILD, "bench", "draw_bench"), "--benchmark_format=json"],
                          check=True, stdout=subprocess.PIPE, text=True)
    ms = {}
    for b in json.loads(done.stdout)["benchmarks"]:
        kind, builder, points = b["name"].split("/")[:3]  # e.g. text_only/linear/1000/min_time:1
        ms[(kind.split("_")[0], builder, int(points))] = b["real_time"]
    rows = ["| points | text, linear | text, quadratic | draw, linear | draw, quadratic | "
            "linear / quadratic | µs per point |", "|" + "---:|" * 7]
    for n in SIZES:
        t_lin, t_quad = ms[("text", "linear", n)], ms[("text", "quadratic", n)]
        d_lin, d_quad = ms[("draw", "linear", n)], ms[("draw", "quadratic", n)]
        rows.append(f"| {n:,} | {t_lin:.2f} ms | {t_quad:.2f} ms | {d_lin:.1f} ms | "
                    f"{d_quad:.1f} ms | {d_lin / d_quad:.2f} | {1000 * d_lin / n:.2f} |")
    return section(
        "Drawing only",
        "Runs of 401 points stroked at zoom 12 on an 800x600 canvas, with plotr's polyline "
        "text (appended number by number) and with the text re-formatted whole for every "
        "point. Target: 0.9 or less at 10^6 points.", rows)


def size_section(paths, url, cwd):
    sizes = {}
    for label, extra in (("plain", []), ("-compress", ["-compress"])):
        measure(plotr_command(url, (800, 600), label + ".png", extra), paths[TYPICAL], cwd)
        sizes[label] = os.path.getsize(os.path.join(cwd, label + ".png"))
    return ["## Picture size", "",
            f"The typical run's picture: {sizes['plain']:,} bytes as written by default "
            f"(16-bit RGBA), {sizes['-compress']:,} bytes with -compress (8-bit RGB, zlib level "
            f"9): {sizes['-compress'] / sizes['plain']:.0%} of it."]


def scale_section(paths, url, runs, cwd):
    cache = os.path.join(cwd, "scale-cache")
    retina = url.replace(".png", "{r}.png")
    contenders = {"-scale 1": plotr_command(url, (800, 600), "s1.png", ["-cache", cache]),
                  "-scale 2": plotr_command(url, (800, 600), "s2.png",
                                            ["-cache", cache, "-scale", "2"]),
                  "-scale 2, {r}": plotr_command(retina, (800, 600), "r2.png",
                                                 ["-cache", cache, "-scale", "2"])}
    for command in contenders.values():
        measure(command, paths[TYPICAL], cwd)  # warms the cache
    got = side_by_side(contenders, paths[TYPICAL], runs, cwd)
    base_wall, base_rss = got["-scale 1"]
    rows = ["| run | pixels | s | / scale 1 | peak | peak / scale 1 |",
            "|---|---:|---:|---:|---:|---:|"]
    for name, (wall, rss) in got.items():
        pixels = 800 * 600 * (1 if name == "-scale 1" else 4)
        rows.append(f"| {TYPICAL}, 800x600, {name} | {pixels:,} | {wall:.3f} | "
                    f"{wall / base_wall:.2f} | {mib(rss)} | {rss / base_rss:.2f} |")
    return section(
        "-scale 2 against -scale 1",
        "The typical run with a warm -cache, side by side. Target: at most 4.5 times the time "
        "of scale 1, and no more memory per pixel (four times the pixels: a peak of at most "
        "four times scale 1's).", rows)


PARALLEL = ["-parallel", "8"]
DELAY_MS = 50
BATCH_RIDES = 50
BATCH_JOBS = 4


class Logged:
    """A bundled tile server that logs its requests, for a with block;
    `requests()` counts them."""

    def __init__(self, cwd, name, *options):
        self.log = os.path.join(cwd, f"requests-{name}")
        open(self.log, "w").close()
        self.server = Serving("--style", "grid", "--log", self.log, *options)

    def __enter__(self):
        self.template = self.server.start().template
        return self

    def __exit__(self, *exc):
        self.server.stop()

    def requests(self):
        return len(self.paths())

    def paths(self):
        with open(self.log, "rb") as f:
            return f.read().splitlines()


def alternate(contenders, stdin_path, runs, cwd, server):
    """Like side_by_side, for name -> (command, preparation or None): the
    preparation runs untimed before each run. name -> (median wall, requests
    that reached `server` in the last run)."""
    walls = {name: [] for name in contenders}
    asked = {}
    for _ in range(runs):
        for name, (command, prepare) in contenders.items():
            if prepare:
                prepare()
            before = server.requests()
            wall, _, _ = measure(command, stdin_path, cwd)
            walls[name].append(wall)
            asked[name] = server.requests() - before
    return {name: (statistics.median(walls[name]), asked[name]) for name in contenders}


def emptied(folder):
    return lambda: shutil.rmtree(folder, ignore_errors=True)


def batch_inputs():
    """Rides of one region: 50 seeds from the same start, 2000 points each."""
    return [generate(f"batch/ride-{seed}", ["--points", "2000", "--seed", str(seed)])
            for seed in range(101, 101 + BATCH_RIDES)]


def batch(rides, url, extra, cwd):
    """Wall seconds of rendering every ride, BATCH_JOBS runs at a time."""
    def render(ride):
        output = os.path.join(cwd, "batch-" + os.path.basename(ride)[:-4] + ".png")
        with open(ride, "rb") as stdin:
            done = subprocess.run(plotr_command(url, (800, 600), output, extra), stdin=stdin,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if done.returncode != 0:
            sys.exit(f"batch run of {ride} failed with status {done.returncode}:\n{done.stderr}")

    start = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(BATCH_JOBS) as pool:
        list(pool.map(render, rides))
    return time.perf_counter() - start


def verdict(ratio, target):
    return f"{ratio:.2f} (target {target}: {'met' if ratio >= target else 'MISSED'})"


def fetch_section(paths, runs, cwd):
    install_peer()
    rides = batch_inputs()
    load = [open("/proc/loadavg").read().split()[0]]
    fresh, warm = os.path.join(cwd, "cache-fresh"), os.path.join(cwd, "cache-warm")
    cases = (((800, 600), runs), ((4000, 3000), min(runs, 3)))
    rows = ["| picture | tiles | default s | -parallel 8, fresh cache s | "
            "-parallel 8, warm cache s | peer s | peer / default | peer / fresh | peer / warm |",
            "|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    ratios, asked = {}, []
    with Logged(cwd, "local") as server:
        for size, n_runs in cases:
            shutil.rmtree(warm, ignore_errors=True)
            warm_run = plotr_command(server.template, size, "warm.png", PARALLEL + ["-cache", warm])
            measure(warm_run, paths[TYPICAL], cwd)  # fills the warm cache, warms the server
            got = alternate({
                "default": (plotr_command(server.template, size, "default.png"), None),
                "fresh": (plotr_command(server.template, size, "fresh.png",
                                        PARALLEL + ["-cache", fresh]), emptied(fresh)),
                "warm": (warm_run, None),
                "peer": (peer_command(server.template, size, "peer.png"), None)},
                paths[TYPICAL], n_runs, cwd, server)
            peer = got["peer"][0]
            ratios[size] = {name: peer / wall for name, (wall, _) in got.items()}
            rows.append(f"| {size[0]}x{size[1]} | {got['default'][1]} | "
                        + " | ".join(f"{got[n][0]:.3f}" for n in ("default", "fresh", "warm"))
                        + f" | {peer:.3f} | "
                        + " | ".join(f"{ratios[size][n]:.2f}" for n in ("default", "fresh", "warm"))
                        + " |")
            asked.append(f"{size[0]}x{size[1]}: default {got['default'][1]}, fresh cache "
                         f"{got['fresh'][1]}, warm cache {got['warm'][1]}, peer {got['peer'][1]}")
    load.append(open("/proc/loadavg").read().split()[0])

    far = ["| picture | default s | -parallel 8 s | peer s | peer / default | peer / -parallel 8 |",
           "|---|---:|---:|---:|---:|---:|"]
    with Logged(cwd, "delayed", "--delay", str(DELAY_MS)) as server:
        for size, n_runs in cases:
            # The server makes each tile once: not inside a timed run.
            measure(plotr_command(server.template, size, "parallel.png", PARALLEL),
                    paths[TYPICAL], cwd)
            got = alternate({
                "default": (plotr_command(server.template, size, "default.png"), None),
                "parallel": (plotr_command(server.template, size, "parallel.png", PARALLEL), None),
                "peer": (peer_command(server.template, size, "peer.png"), None)},
                paths[TYPICAL], n_runs, cwd, server)
            peer = got["peer"][0]
            far.append(f"| {size[0]}x{size[1]} | {got['default'][0]:.3f} | "
                       f"{got['parallel'][0]:.3f} | {peer:.3f} | {peer / got['default'][0]:.2f} | "
                       f"{peer / got['parallel'][0]:.2f} |")
    load.append(open("/proc/loadavg").read().split()[0])

    shared = os.path.join(cwd, "cache-shared")
    variants = {"default": [], "-parallel 8": PARALLEL,
                "-parallel 8, one shared -cache (empty at the start)":
                    PARALLEL + ["-cache", shared]}
    walls = {name: [] for name in variants}
    batch_asked = {}
    with Logged(cwd, "batch", "--delay", str(DELAY_MS)) as server:
        batch(rides, server.template, PARALLEL, cwd)  # the server makes each tile once
        for _ in range(min(runs, 3)):
            for name, extra in variants.items():
                shutil.rmtree(shared, ignore_errors=True)
                before = server.requests()
                walls[name].append(batch(rides, server.template, extra, cwd))
                paths = server.paths()[before:]
                batch_asked[name] = (len(paths), len(set(paths)))
    load.append(open("/proc/loadavg").read().split()[0])
    lots = [f"| {BATCH_RIDES} rides, {BATCH_JOBS} at a time | wall s | requests | "
            "distinct tiles |", "|---|---:|---:|---:|"]
    lots += [f"| {name} | {statistics.median(walls[name]):.2f} | {batch_asked[name][0]} | "
             f"{batch_asked[name][1]} |" for name in variants]

    typical, big = ratios[(800, 600)], ratios[(4000, 3000)]
    targets = [
        f"- Typical run, fresh cache, peer / plotr: {verdict(typical['fresh'], 2.5)}.",
        f"- Typical run, warm cache, peer / plotr: {verdict(typical['warm'], 3.5)}.",
        f"- 4000x3000, fresh cache, peer / plotr: {verdict(big['fresh'], 1.5)}.",
        "- Default path: compare the default column with the whole runs above "
        "(and in RESULTS.md).",
        f"- Load average (1 min) at the start and after each part: {', '.join(load)}."]
    return (section(
        "Tile fetching: -parallel and -cache",
        "The typical track against the bundled tile server: plotr by default, with "
        "`-parallel 8` and an empty `-cache` folder each run (fresh), with `-parallel 8` and a "
        "cache that holds every tile (warm), and the peer. Tiles: requests of a default run.",
        rows) + ["", "Requests that reached the server in one run: " + "; ".join(asked) + "."]
        + ["", f"The same against the bundled server waiting {DELAY_MS} ms before each answer, "
           "standing for a distant provider:", ""] + far
        + ["", f"A batch: {BATCH_RIDES} rides from one start (gen_gpx.py seeds 101 to "
           f"{100 + BATCH_RIDES}, 2000 points, 800x600), {BATCH_JOBS} runs at a time, against "
           f"the server waiting {DELAY_MS} ms; requests are those that reached it in one "
           "batch.", ""] + lots + ["", "Targets:", ""] + targets)


BUSY = 10


def provider_section(paths, runs, cwd):
    """The typical run with -provider, a provider file for the bundled server
    waiting DELAY_MS before each answer and answering 429 to one tile in BUSY
    (every other request of it), cold and warm, beside the peer on the same
    server without failures."""
    install_peer()
    cold, warm = os.path.join(cwd, "provider-cold"), os.path.join(cwd, "provider-warm")
    rows = ["| contender | server | s | requests |", "|---|---|---:|---:|"]
    results = {}
    with Logged(cwd, "busy", "--delay", str(DELAY_MS), "--busy", str(BUSY)) as server:
        provider = os.path.join(cwd, "local.provider")
        for limit in (2, 8):
            with open(provider, "w") as f:
                f.write(f"[local]\ntitle = the bundled server\nurl = {server.template}\n"
                        f"attribution = © local\nmax_parallel = {limit}\n")
            # The server makes each tile once, and knows every busy tile after it.
            shutil.rmtree(warm, ignore_errors=True)
            warm_run = plotr_command(server.template, (800, 600), "warm.png",
                                     ["-provider", provider, "-cache", warm])
            measure(warm_run, paths[TYPICAL], cwd)
            got = alternate({
                "cold": (plotr_command(server.template, (800, 600), "cold.png",
                                       ["-provider", provider, "-cache", cold]), emptied(cold)),
                "warm": (warm_run, None)}, paths[TYPICAL], runs, cwd, server)
            for name, (wall, asked) in got.items():
                rows.append(f"| plotr -provider, max_parallel {limit}, {name} cache | "
                            f"{DELAY_MS} ms, 429 on 1 tile in {BUSY} | {wall:.3f} | {asked} |")
                results[(limit, name)] = wall
    with Logged(cwd, "calm", "--delay", str(DELAY_MS)) as server:
        measure(peer_command(server.template, (800, 600), "peer.png"), paths[TYPICAL], cwd)
        got = alternate({"peer": (peer_command(server.template, (800, 600), "peer.png"), None)},
                        paths[TYPICAL], runs, cwd, server)
        rows.append(f"| peer | {DELAY_MS} ms, no failures | {got['peer'][0]:.3f} | "
                    f"{got['peer'][1]} |")
    return section(
        "Providers: -provider against a busy, distant server",
        f"The typical track (800x600, zoom 13, 12 tiles) with `-provider` and a provider file "
        f"for the bundled server started with `--delay {DELAY_MS} --busy {BUSY}`: the cold "
        "cache is emptied before each run, the warm one holds every tile. The peer runs "
        f"against the same server without failures (`--delay {DELAY_MS}`).", rows)


def mbtiles_section(paths, url, runs, cwd):
    """-mbtiles against a warm -cache holding the same tiles, side by side."""
    from tile_server import write_mbtiles
    rows = ["| run | tiles | warm -cache s | -mbtiles s | mbtiles / cache | cache peak | "
            "mbtiles peak |", "|---|---:|---:|---:|---:|---:|---:|"]
    for size, n_runs in (((800, 600), runs), ((4000, 3000), min(runs, 3))):
        cache = os.path.join(cwd, f"mbtiles-cache-{size[0]}")
        warm = plotr_command(url, size, "cache.png", ["-cache", cache])
        measure(warm, paths[TYPICAL], cwd)  # fills the cache
        files = glob.glob(os.path.join(cache, "*", "*", "*", "*.png"))
        region = os.path.join(cwd, f"region-{size[0]}.mbtiles")
        if os.path.exists(region):
            os.remove(region)
        tiles = []
        for path in files:
            z, x, y = (int(part) for part in re.findall(r"(\d+)/(\d+)/(\d+)\.png$", path)[0])
            with open(path, "rb") as f:
                tiles.append((z, x, y, f.read()))
        write_mbtiles(region, tiles, metadata=[("name", "bench")])
        offline = [os.path.join(BUILD, "plotr"), "-mbtiles", region, "-width", str(size[0]),
                   "-height", str(size[1]), "-o", "mbtiles.png"]
        got = side_by_side({"cache": warm, "mbtiles": offline}, paths[TYPICAL], n_runs, cwd)
        (c_wall, c_rss), (m_wall, m_rss) = got["cache"], got["mbtiles"]
        rows.append(f"| {TYPICAL}, {size[0]}x{size[1]} | {len(tiles)} | {c_wall:.3f} | "
                    f"{m_wall:.3f} | {m_wall / c_wall:.2f} | {mib(c_rss)} | {mib(m_rss)} |")
    return section(
        "-mbtiles against a warm -cache",
        "The same tiles from an MBTiles file (a tiles table with its index) and from a -cache "
        "folder that holds them all, fresh, side by side. Target: at most 1.0.", rows)


def machine():
    def version(command):
        try:
            out = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                 text=True).stdout
            return out.splitlines()[0].strip() if out else "?"
        except OSError:
            return "not installed"
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                if line.startswith("model name")), platform.processor())
    memory = int(open("/proc/meminfo").readline().split()[1]) / 2**20
    return [f"Date: {datetime.date.today()}. Machine: {os.cpu_count()} cores ({cpu}), "
            f"{memory:.0f} GiB, {version(['lsb_release', '-ds'])}; "
            f"{version(['g++', '--version'])}; MagickCore "
            f"{version(['pkg-config', '--modversion', 'MagickCore'])}; expat "
            f"{version(['pkg-config', '--modversion', 'expat'])}; "
            f"{version(['curl', '--version'])[:12]}; node {version(['node', '--version'])}."]


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=5, help="runs per case (3 for big ones)")
    parser.add_argument("--only",
                        default="parse,run,peer,draw,size,fetch,provider,scale,gzip,season,"
                                "mbtiles,heatmap",
                        help="comma-separated sections to run")
    opts = parser.parse_args()
    wanted = opts.only.split(",")

    install_tools()
    build()
    paths = inputs()
    report = ["# Benchmark run", ""] + machine() + [""]
    with Serving("--style", "grid") as server, \
            tempfile.TemporaryDirectory(prefix="bench-run-") as cwd:
        url = server.template
        sections = {"parse": lambda: parse_section(paths, opts.runs, cwd),
                    "run": lambda: run_section(paths, url, opts.runs, cwd),
                    "peer": lambda: peer_section(paths, url, opts.runs, cwd),
                    "draw": draw_section,
                    "size": lambda: size_section(paths, url, cwd),
                    "scale": lambda: scale_section(paths, url, opts.runs, cwd),
                    "fetch": lambda: fetch_section(paths, opts.runs, cwd),
                    "provider": lambda: provider_section(paths, opts.runs, cwd),
                    "gzip": lambda: gzip_section(paths, opts.runs, cwd),
                    "season": lambda: season_section(url, opts.runs, cwd),
                    "mbtiles": lambda: mbtiles_section(paths, url, opts.runs, cwd),
                    "heatmap": lambda: heatmap_section(url, opts.runs, cwd)}
        for name in wanted:
            print(f"bench: {name}", file=sys.stderr)
            report += sections[name]() + [""]
    text = "\n".join(report)
    print(text)
    with open(os.path.join(DATA, "results.md"), "w") as out:
        out.write(text)


if __name__ == "__main__":
    main()
