#!/usr/bin/env python3
"""Measures how fast plotr reads GPX against the bare expat floor.

For each size it generates (once, cached in bench/data/) a ride with that
many points, then runs plotr and the floor alternately on it, and reports the
median wall time as MB/s, the ratio plotr/floor, and the peak resident memory
("Maximum resident set size" of /usr/bin/time -v) with bytes per point."""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
DATA = os.path.join(BENCH, "data")


def ride_file(points):
    path = os.path.join(DATA, f"ride-{points}.gpx")
    if not os.path.exists(path):
        print(f"generating {path} ...", file=sys.stderr)
        tmp = path + ".part"
        subprocess.run([sys.executable, os.path.join(BENCH, "gen_gpx.py"), "--points", str(points),
                        "--seed", "1", "-o", tmp], check=True)
        os.replace(tmp, path)
    return path


def floor_binary(given):
    if given:
        return given
    built = os.path.join(ROOT, "build", "bench", "expat_floor")
    if os.path.exists(built):
        return built
    source = os.path.join(BENCH, "expat_floor.cpp")
    binary = os.path.join(DATA, "expat_floor")
    if not os.path.exists(binary) or os.path.getmtime(binary) < os.path.getmtime(source):
        subprocess.run(["g++", "-std=c++20", "-O2", "-Wall", "-Wextra", source, "-o", binary,
                        "-lexpat"], check=True)
    return binary


def measure(command, path):
    """(wall seconds, peak RSS in KiB) of one run with the file on stdin."""
    with open(path, "rb") as stdin:
        start = time.perf_counter()
        done = subprocess.run(["/usr/bin/time", "-v", *command], stdin=stdin,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        wall = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit(f"{command[0]} failed with status {done.returncode}:\n{done.stderr}")
    rss = re.search(r"Maximum resident set size \(kbytes\): (\d+)", done.stderr)
    return wall, int(rss.group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--plotr", default=os.path.join(ROOT, "build", "plotr"))
    parser.add_argument("--plotr-args", default="", help="extra arguments for plotr, one string")
    parser.add_argument("--floor", help="expat_floor binary (default: build it with g++ -O2)")
    parser.add_argument("--sizes", default="1000,10000,100000,1000000",
                        help="numbers of points, comma-separated")
    parser.add_argument("--runs", type=int, default=5, help="runs per size (3 from 1M points on)")
    args = parser.parse_args()

    if not os.path.exists(args.plotr):
        sys.exit(f"no plotr at {args.plotr}: run scripts/setup first, or pass --plotr")
    if not os.path.exists("/usr/bin/time"):
        sys.exit("/usr/bin/time is missing: apt-get install time")
    os.makedirs(DATA, exist_ok=True)
    floor = floor_binary(args.floor)
    plotr = [args.plotr, *args.plotr_args.split()]

    print(f"plotr: {' '.join(plotr)}\nfloor: {floor}\n")
    head = ("points", "MB", "runs", "plotr s", "plotr MB/s", "floor s", "floor MB/s", "plotr/floor",
            "plotr RSS MiB", "B/point", "floor RSS MiB")
    print("| " + " | ".join(head) + " |")
    print("|" + "---:|" * len(head))
    rows = []
    for points in (int(s) for s in args.sizes.split(",")):
        path = ride_file(points)
        mb = os.path.getsize(path) / 1e6
        runs = 3 if points >= 1_000_000 else args.runs
        with open(path, "rb") as f, open(os.devnull, "wb") as null:  # warm the page cache
            shutil.copyfileobj(f, null, 1 << 20)
        p_runs, f_runs = [], []
        for _ in range(runs):
            p_runs.append(measure(plotr, path))
            f_runs.append(measure([floor], path))
        p_time = statistics.median(t for t, _ in p_runs)
        f_time = statistics.median(t for t, _ in f_runs)
        p_rss = max(r for _, r in p_runs)
        f_rss = max(r for _, r in f_runs)
        rows.append((points, p_rss))
        print(f"| {points} | {mb:.1f} | {runs} | {p_time:.3f} | {mb / p_time:.1f} | {f_time:.3f} "
              f"| {mb / f_time:.1f} | {p_time / f_time:.2f} | {p_rss / 1024:.1f} "
              f"| {p_rss * 1024 / points:.0f} | {f_rss / 1024:.1f} |", flush=True)
    if len(rows) > 1:
        (n0, r0), (n1, r1) = rows[0], rows[-1]
        print(f"\nplotr memory per added point, {n0} to {n1} points: "
              f"{(r1 - r0) * 1024 / (n1 - n0):.1f} bytes")


if __name__ == "__main__":
    main()
