#!/usr/bin/env python3
"""A map tile server for tests and the demo, on 127.0.0.1 only.

Prints its port and a newline once it listens, then answers
GET /{z}/{x}/{y}.png with a 256 x 256 PNG until SIGTERM or SIGINT.

  --style grid     a calm map-like tile with its z/x/y label (the default)
  --style checker  one solid colour per tile, tile_color(x, y)
  --fail 404       every request answers 404
  --fail garbage   tiles answer 200 with a body that is not a picture
  --log FILE       append each request's path (with its query) to FILE

The tests import tile_color from here.
"""

import argparse
import functools
import http.server
import re
import signal
import sys

import pngfile

TILE = 256
GARBAGE = b"this is not a picture\n"


def tile_color(x, y):
    """The checker style's colour of tile (x, y). Each step in x or y moves a
    channel by at least 37, so every neighbour, diagonals too, differs
    clearly; no tile is white (the canvas) or pure blue (the line)."""
    return (64 + (x * 37) % 160, 64 + (y * 53) % 160, 96 + ((x + y) * 23) % 96)


# 3 x 5 glyphs, one text row per pixel row, '#' set.
GLYPHS = {
    "0": ["###", "#.#", "#.#", "#.#", "###"],
    "1": [".#.", "##.", ".#.", ".#.", "###"],
    "2": ["###", "..#", "###", "#..", "###"],
    "3": ["###", "..#", ".##", "..#", "###"],
    "4": ["#.#", "#.#", "###", "..#", "..#"],
    "5": ["###", "#..", "###", "..#", "###"],
    "6": ["###", "#..", "###", "#.#", "###"],
    "7": ["###", "..#", ".#.", ".#.", ".#."],
    "8": ["###", "#.#", "###", "#.#", "###"],
    "9": ["###", "#.#", "###", "..#", "###"],
    "/": ["..#", "..#", ".#.", "#..", "#.."],
}

PAPER = (242, 239, 233)
GRID = (226, 222, 214)
BORDER = (204, 199, 190)
INK = (128, 124, 118)


def grid_tile(z, x, y):
    """RGB bytes of the grid style's tile."""
    plain = bytes(PAPER) * TILE
    lined = bytearray(plain)
    for col in range(0, TILE, 32):
        lined[col * 3:col * 3 + 3] = bytes(GRID)
    rows = [bytearray(bytes(GRID) * TILE if r % 32 == 0 else lined) for r in range(TILE)]
    # The border over the grid: tiles side by side show a clean seam.
    for r in (0, TILE - 1):
        rows[r][:] = bytes(BORDER) * TILE
    for row in rows:
        row[0:3] = bytes(BORDER)
        row[-3:] = bytes(BORDER)
    # The label, 2x scaled, in the top-left corner on a patch of paper so
    # that grid lines do not run through it.
    label, left, top, scale = f"{z}/{x}/{y}", 6, 6, 2
    right = min(left + len(label) * 4 * scale + 1, TILE - 2)
    for r in range(top - 2, top + 5 * scale + 2):
        rows[r][(left - 2) * 3:right * 3] = bytes(PAPER) * (right - left + 2)
    for ch in label:
        for gy, line in enumerate(GLYPHS[ch]):
            for gx, bit in enumerate(line):
                if bit != "#":
                    continue
                for dy in range(scale):
                    for dx in range(scale):
                        px = left + gx * scale + dx
                        if px < TILE - 1:
                            rows[top + gy * scale + dy][px * 3:px * 3 + 3] = bytes(INK)
        left += 4 * scale
    return b"".join(rows)


@functools.lru_cache(maxsize=1024)
def encoded_tile(style, z, x, y):
    if style == "checker":
        return pngfile.encode(TILE, TILE, 3, bytes(tile_color(x, y)) * (TILE * TILE))
    return pngfile.encode(TILE, TILE, 3, grid_tile(z, x, y))


TILE_PATH = re.compile(r"/([0-9]+)/([0-9]+)/([0-9]+)\.png")


def make_handler(style, fail, log):
    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            if log:
                # The request line was read as Latin-1: this writes its bytes back unchanged.
                log.write(self.path + "\n")
                log.flush()
            m = TILE_PATH.fullmatch(self.path.split("?", 1)[0])
            if fail == "404" or not m:
                return self.answer(404, b"not found\n", "text/plain")
            z, x, y = (int(g) for g in m.groups())
            # A tile outside the world is a client's fault, as on a real server.
            if z > 30 or x >= 1 << z or y >= 1 << z:
                return self.answer(404, b"no such tile\n", "text/plain")
            if fail == "garbage":
                return self.answer(200, GARBAGE, "image/png")
            self.answer(200, encoded_tile(style, z, x, y), "image/png")

        def answer(self, status, body, kind):
            self.send_response(status)
            self.send_header("Content-Type", kind)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    return Handler


class Stop(BaseException):
    """Not an Exception: the server's request loop must not swallow it."""


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--style", choices=["grid", "checker"], default="grid")
    parser.add_argument("--fail", choices=["none", "404", "garbage"], default="none")
    parser.add_argument("--log", help="append each request's path to this file")
    args = parser.parse_args()

    def stop(signum, frame):
        raise Stop()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    log = open(args.log, "a", encoding="latin-1") if args.log else None
    server = http.server.HTTPServer(("127.0.0.1", 0), make_handler(args.style, args.fail, log))
    try:
        print(server.server_address[1], flush=True)
        server.serve_forever()
    except Stop:
        pass
    finally:
        server.server_close()
        if log:
            log.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
