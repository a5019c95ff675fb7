#!/usr/bin/env python3
"""The ride's story against the plain run, side by side, warm cache.

Runs each contender in turn, run by run, on the bundled tile server with a warm
-cache and prints the median seconds and the ratios the costs are judged by:
a 10^6-point ride with -color-by speed against the same ride without it, and the
typical 10^4-point run with -profile 150 against it without. Give --main to time
another build's plotr on the 10^6-point ride as well (the line mend's cost).

  python3 bench/story.py --plotr build/plotr [--main ../main/build/plotr]
"""
import argparse, os, statistics, subprocess, sys, tempfile, time

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--plotr", required=True)
    parser.add_argument("--main")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="plotr-story-bench.")
    rides = {}
    for points in (10**4, 10**6):
        rides[points] = os.path.join(work, f"ride-{points}.gpx")
        with open(rides[points], "w") as out:
            subprocess.run([sys.executable, os.path.join(HERE, "gen_gpx.py"), "--points",
                            str(points)], stdout=out, check=True)
    server = subprocess.Popen([sys.executable, os.path.join(HERE, "..", "scripts", "tile_server.py")],
                              stdout=subprocess.PIPE, text=True)
    try:
        url = f"http://127.0.0.1:{server.stdout.readline().strip()}/{{z}}/{{x}}/{{y}}.png"
        base = ["-url", url, "-cache", os.path.join(work, "cache"), "-o", os.path.join(work, "o.png")]
        runs = {
            "1e6": [args.plotr, "-gpx", rides[10**6]],
            "1e6 -color-by speed": [args.plotr, "-gpx", rides[10**6], "-color-by", "speed"],
            "1e4": [args.plotr, "-gpx", rides[10**4]],
            "1e4 -profile 150": [args.plotr, "-gpx", rides[10**4], "-profile", "150"],
        }
        if args.main:
            runs["1e6 main"] = [args.main, "-gpx", rides[10**6]]
        times = {name: [] for name in runs}
        for round_ in range(args.runs + 1):
            for name, command in runs.items():
                start = time.perf_counter()
                subprocess.run(command + base, stdout=subprocess.DEVNULL, check=True)
                if round_ > 0:  # the first round warms the cache
                    times[name].append(time.perf_counter() - start)
        median = {name: statistics.median(t) for name, t in times.items()}
        for name, seconds in median.items():
            print(f"{name:24} {seconds:.3f} s")
        print(f"-color-by speed / plain  {median['1e6 -color-by speed'] / median['1e6']:.2f}")
        print(f"-profile 150 / typical   {median['1e4 -profile 150'] / median['1e4']:.2f}")
        if args.main:
            print(f"1e6 mended / main        {median['1e6'] / median['1e6 main']:.2f}")
    finally:
        server.terminate()
        server.wait()
        subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    main()
