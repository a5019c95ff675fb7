#!/usr/bin/env python3
"""Writes a realistic, reproducible bike ride as GPX 1.1 on standard output
(or into a file): one track, one segment, and per point the elevation, the
time and a Garmin TrackPointExtension with heart rate and cadence, with the
namespaces declared the way Garmin devices declare them.

The same seed and options always give the same bytes."""

import argparse
import math
import random
import sys
import time

HEADER = """<?xml version="1.0" encoding="UTF-8"?>
<gpx creator="plotr gen_gpx.py" version="1.1" xmlns="http://www.topografix.com/GPX/1/1" \
xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" \
xsi:schemaLocation="http://www.topografix.com/GPX/1/1 http://www.topografix.com/GPX/1/1/gpx.xsd \
http://www.garmin.com/xmlschemas/GpxExtensions/v3 http://www.garmin.com/xmlschemas/GpxExtensionsv3.xsd \
http://www.garmin.com/xmlschemas/TrackPointExtension/v1 \
http://www.garmin.com/xmlschemas/TrackPointExtensionv1.xsd" \
xmlns:gpxx="http://www.garmin.com/xmlschemas/GpxExtensions/v3" \
xmlns:gpxtpx="http://www.garmin.com/xmlschemas/TrackPointExtension/v1">
 <metadata>
  <link href="http://www.garmin.com"><text>Garmin International</text></link>
  <time>{start}</time>
 </metadata>
 <trk>
  <name>{name}</name>
  <type>cycling</type>
  <trkseg>
"""

POINT = (
    '   <trkpt lat="{lat:.7f}" lon="{lon:.7f}"><ele>{ele:.1f}</ele><time>{time}</time>'
    "<extensions><gpxtpx:TrackPointExtension><gpxtpx:hr>{hr}</gpxtpx:hr>"
    "<gpxtpx:cad>{cad}</gpxtpx:cad></gpxtpx:TrackPointExtension></extensions></trkpt>\n"
)

FOOTER = "  </trkseg>\n </trk>\n</gpx>\n"

METRES_PER_DEGREE = 111320.0


def ride(points, seed, lat, lon, interval, pace=1.0):
    """Yields the points of a ride that wanders but keeps near its start;
    `pace` scales its speeds (0.2 is a walk)."""
    rng = random.Random(seed)
    heading = rng.uniform(0, 2 * math.pi)
    speed, ele, hr, cad = 7.0 * pace, 60.0, 120.0, 85.0
    lat0, lon0 = lat, lon
    for _ in range(points):
        yield lat, lon, ele, hr, cad
        # Roads bend gently and now and then meet at a junction; a rider far
        # from home turns back towards it.
        heading += rng.gauss(0, 0.05 * math.sqrt(interval))
        if rng.random() < 0.004 * interval:
            heading += rng.choice((-1, 1)) * rng.uniform(0.8, 1.9)
        north = (lat0 - lat) * METRES_PER_DEGREE
        east = (lon0 - lon) * METRES_PER_DEGREE * math.cos(math.radians(lat))
        if math.hypot(north, east) > 25000:
            home = math.atan2(east, north)
            heading += 0.1 * math.sin(home - heading)
        speed = min(14.0 * pace, max(2.0 * pace, speed + rng.gauss(0, 0.3 * pace)))
        step = speed * interval
        lat += step * math.cos(heading) / METRES_PER_DEGREE
        lon += step * math.sin(heading) / (METRES_PER_DEGREE * math.cos(math.radians(lat)))
        climb = rng.gauss(0, 0.4) * interval
        ele = min(900.0, max(0.0, ele + climb))
        hr = min(185.0, max(95.0, hr + rng.gauss(0, 1.0) + 0.5 * climb))
        cad = 0 if speed < 3 * pace else min(110.0, max(60.0, cad + rng.gauss(0, 2.0)))


def write(out, points, seed, lat, lon, interval, start, pace=1.0):
    stamp = lambda t: time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(t))
    out.write(HEADER.format(start=stamp(start), name=f"Ride {seed}"))
    for i, (plat, plon, ele, hr, cad) in enumerate(ride(points, seed, lat, lon, interval, pace)):
        out.write(POINT.format(lat=plat, lon=plon, ele=ele, time=stamp(start + i * interval),
                               hr=round(hr), cad=round(cad)))
    out.write(FOOTER)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--points", type=int, default=1000, help="number of track points")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--lat", type=float, default=52.4862, help="start latitude")
    parser.add_argument("--lon", type=float, default=13.2595, help="start longitude")
    parser.add_argument("--interval", type=int, default=1, help="seconds between points")
    parser.add_argument("--pace", type=float, default=1.0,
                        help="speed factor: 1 rides at 2-14 m/s, 0.2 walks")
    parser.add_argument("--start", type=int, default=1714809600, help="start time (Unix seconds)")
    parser.add_argument("-o", "--output", help="file to write (default: standard output)")
    a = parser.parse_args()
    if a.output:
        with open(a.output, "w", encoding="utf-8", newline="\n") as out:
            write(out, a.points, a.seed, a.lat, a.lon, a.interval, a.start, a.pace)
    else:
        write(sys.stdout, a.points, a.seed, a.lat, a.lon, a.interval, a.start, a.pace)


if __name__ == "__main__":
    main()
