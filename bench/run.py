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

Medians of --runs runs (3 from 10^5 points on). Prints a Markdown report and
writes it to bench/data/results.md; bench/RESULTS.md keeps the reviewed copy.
"""

import argparse
import datetime
import json
import os
import platform
import re
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
    os.makedirs(DATA, exist_ok=True)
    paths = {}
    for name, options in recipes.items():
        path = paths[name] = os.path.join(DATA, name + ".gpx")
        if not os.path.exists(path):
            print(f"generating {path}", file=sys.stderr)
            subprocess.run([sys.executable, os.path.join(BENCH, "gen_gpx.py"), *options,
                            "-o", path + ".part"], check=True)
            os.replace(path + ".part", path)
    return paths


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


def peer_section(paths, url, runs, cwd):
    if not os.path.isdir(os.path.join(PEER, "node_modules")):
        subprocess.run(["npm", "ci", "--prefix", PEER, "--no-audit", "--no-fund"], check=True,
                       stdout=subprocess.DEVNULL)
    rows = ["| track | size | plotr s | peer s | peer / plotr | plotr peak | peer peak |",
            "|---|---|---:|---:|---:|---:|---:|"]
    cases = [(f"ride-{n}", (800, 600), runs_for(n, runs)) for n in SIZES]
    cases[1:1] = [(TYPICAL, (800, 600), runs), (TYPICAL, (4000, 3000), min(runs, 3))]
    for name, size, n_runs in cases:
        peer = ["node", os.path.join(PEER, "render.js"), "--width", str(size[0]), "--height",
                str(size[1]), "--url", url, "--out", "peer.png"]
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
    parser.add_argument("--only", default="parse,run,peer,draw,size",
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
                    "size": lambda: size_section(paths, url, cwd)}
        for name in wanted:
            print(f"bench: {name}", file=sys.stderr)
            report += sections[name]() + [""]
    text = "\n".join(report)
    print(text)
    with open(os.path.join(DATA, "results.md"), "w") as out:
        out.write(text)


if __name__ == "__main__":
    main()
