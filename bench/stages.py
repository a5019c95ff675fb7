#!/usr/bin/env python3
"""Where the time of one whole run goes: download, paste, draw and write.

Runs the installed plotr against the bundled tile server on 127.0.0.1 and
timestamps the messages that plotr flushes as each step starts ("downloading
tile", "removing temporary directory", "writing to") and the process exit.
The steps between two messages:

  parse     start .. first download line (options, GPX, zoom, layout, first mkdir)
  download  all "mkdir -p" + curl pairs (the last one estimated as the median
            gap between two download lines)
  paste     white canvas + reading and pasting the tiles
  draw      "rm -r" of the tiles, the three pins, the track line and pins
  write     encoding and writing the PNG

Medians over --runs runs, in milliseconds.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "scripts"))
from tile_server import Serving  # noqa: E402


def one_run(plotr, gpx, args, workdir):
    with open(gpx, "rb") as source:
        t0 = time.monotonic()
        proc = subprocess.Popen([plotr, *args], stdin=source, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, cwd=workdir)
        downloads, removal, writing = [], None, None
        for line in proc.stdout:
            now = time.monotonic() - t0
            if line.startswith(b"downloading tile "):
                downloads.append(now)
            elif line.startswith(b"removing temporary directory "):
                removal = now
            elif line.startswith(b"writing to "):
                writing = now
        proc.wait()
        end = time.monotonic() - t0
    if proc.returncode != 0 or removal is None or writing is None or not downloads:
        sys.exit(f"stages: plotr failed ({proc.returncode}): {proc.stderr.read().decode()}")
    gap = statistics.median([b - a for a, b in zip(downloads, downloads[1:])] or [0.0])
    return {
        "tiles": len(downloads),
        "parse": downloads[0],
        "download": downloads[-1] - downloads[0] + gap,
        "paste": removal - downloads[-1] - gap,
        "draw": writing - removal,
        "write": end - writing,
        "total": end,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--plotr", default=os.path.join(ROOT, "build/prefix/bin/plotr"),
                        help="an installed plotr (it needs its share/plotr pins)")
    parser.add_argument("--gpx", default=os.path.join(ROOT, "tests/data/worked-example.gpx"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("args", nargs="*", help="more plotr options, after --")
    opts = parser.parse_args()

    with Serving("--style", "grid") as server, \
            tempfile.TemporaryDirectory(prefix="bench-stages-") as workdir:
        args = ["-url", server.template, *opts.args]
        one_run(opts.plotr, opts.gpx, args, workdir)  # warms the server
        runs = [one_run(opts.plotr, opts.gpx, args, workdir) for _ in range(opts.runs)]
    keys = ["parse", "download", "paste", "draw", "write", "total"]
    print(f"{os.path.basename(opts.gpx)} {' '.join(opts.args)}: {runs[0]['tiles']} tiles, "
          f"median of {len(runs)} runs (ms)")
    print("  ".join(f"{k} {1000 * statistics.median(r[k] for r in runs):.1f}" for k in keys))


if __name__ == "__main__":
    main()
