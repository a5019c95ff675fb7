#!/usr/bin/env python3
"""A map tile server for tests and the demo, on 127.0.0.1 only.

Prints its port and a newline once it listens, then answers
GET /{z}/{x}/{y}.png with a 256 x 256 PNG until SIGTERM or SIGINT, and
GET /{z}/{x}/{y}@2x.png (@1x to @9x) with the same tile N times as large.

  --style grid     a calm map-like tile with its z/x/y label (the default)
  --style checker  one solid colour per tile, tile_color(x, y)
  --style noise    random pixels, the same for each z/x/y; they hardly compress
  --style dark     the grid tile in the colours of a dark map style
  --size N         checker and noise tiles of N x N pixels instead of 256
  --fail 404       every request answers 404
  --fail garbage   tiles answer 200 with a body that is not a picture
  --log FILE       append each request's path (with its query) to FILE
  --delay MS       wait MS milliseconds before each answer, as a distant server

It answers many requests at once, each connection kept open between them
(HTTP/1.1), so that parallel downloads gain as they would from a real server.

Tiles carry "Last-Modified: Thu, 01 Jan 2015 00:00:00 GMT"; a request whose
If-Modified-Since is that time or later is answered 304 without a body.

Servers that misbehave, for the tests that prove a client survives them:
  --fail 500        tiles answer 500
  --fail hang       requests are read and never answered, until the client leaves
  --fail cut        the answer announces the whole tile and stops half way
  --fail truncated  tiles answer 200 with the first half of the PNG
  --fail warning    the PNG holds a tEXt chunk with a wrong CRC, a warning to decoders
  --fail bomb       a PNG of 74 bytes whose header claims 100000 x 100000 pixels
  --fail frames     a GIF of 100000 one-pixel frames, 1.5 MB
  --fail endless    a body without length that never ends
  --fail redirect   302 to --redirect-to BASE followed by the same path
  --fail stall      the answer announces the whole tile, sends half and then
                    nothing more, holding the connection until the client leaves
  --fail 429        every request answers 429 Too Many Requests, Retry-After: 0
  --fail drip       the answer announces the whole tile and sends it two bytes
                    a second

Providers' habits, beside any of the above:
  --busy N          one tile in N (by z/x/y) answers its first request, and
                    every other one after, with 429 and Retry-After: 1; the
                    requests in between are served
  --want-agent TEXT requests with another User-Agent (or none) answer 403
  --retry-after WHEN  the Retry-After of --fail 429 and --busy: seconds, or
                    imf:N, rfc850:N or asctime:N, a date N seconds ahead in
                    that HTTP date form

The tests import tile_color, GARBAGE and the bodies of the misbehaving modes
from here, and the tests, the soak and the benchmarks start the server with
Serving.
"""

import argparse
import email.utils
import functools
import http.server
import os
import random
import re
import select
import signal
import struct
import subprocess
import sys
import threading
import time
import zlib

import pngfile

TILE = 256
# When every tile was last changed, for conditional requests.
TILES_MODIFIED = 1420070400  # 2015-01-01 00:00:00 UTC
GARBAGE = b"this is not a picture\n"
BOMB_SIDE = 100000
FRAMES = 100000
HOSTILE = ["500", "hang", "cut", "truncated", "warning", "bomb", "frames", "endless", "redirect",
           "stall", "429", "drip"]
DATE_FORMS = {"imf": "%a, %d %b %Y %H:%M:%S GMT", "rfc850": "%A, %d-%b-%y %H:%M:%S GMT",
              "asctime": "%a %b %e %H:%M:%S %Y"}


def retry_after_text(when):
    """The header for --retry-after WHEN, at the time of asking."""
    form, _, ahead = when.rpartition(":")
    if not form:
        return when
    # The C locale's English names, whatever the server's locale.
    t = time.gmtime(time.time() + int(ahead))
    days = ["Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"]
    months = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
    text = DATE_FORMS[form].replace("%A", days[t.tm_wday]).replace("%a", days[t.tm_wday][:3])
    return time.strftime(text.replace("%b", months[t.tm_mon - 1]), t)


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


def enlarged(pixels, side, n):
    """RGB rows of side x side pixels, each pixel made n x n."""
    out = []
    for r in range(side):
        row = b"".join(pixels[(r * side + c) * 3:(r * side + c) * 3 + 3] * n for c in range(side))
        out.append(row * n)
    return b"".join(out)


@functools.lru_cache(maxsize=1024)
def encoded_tile(style, z, x, y, size=TILE, density=1):
    if style == "checker":
        side = size * density
        return pngfile.encode(side, side, 3, bytes(tile_color(x, y)) * (side * side))
    if style == "noise":
        side = size * density
        return pngfile.encode(side, side, 3, random.Random(f"{z}/{x}/{y}").randbytes(side * side * 3))
    if style == "dark":
        # Each colour a dark blue-grey of the same contrast, as night styles draw.
        return pngfile.encode(TILE, TILE, 3, bytes(
            min(255, 36 + (255 - v) * 4 // 5 + (14 if i % 3 == 2 else 0))
            for i, v in enumerate(grid_tile(z, x, y))))
    if density > 1:
        return pngfile.encode(TILE * density, TILE * density, 3,
                              enlarged(grid_tile(z, x, y), TILE, density))
    return pngfile.encode(TILE, TILE, 3, grid_tile(z, x, y))


def write_mbtiles(path, tiles, style="checker", layout="tables", metadata=()):
    """An MBTiles file of this server's `tiles` ((z, x, y) or (z, x, y, data)
    with a body of one's own) and `metadata` ((name, value) pairs): "tables"
    keeps them in a tiles table, "dedup" in the map and images tables that
    tools write to keep a picture once, with tiles as a view over them."""
    import hashlib
    import sqlite3
    db = sqlite3.connect(path)
    db.execute("CREATE TABLE metadata (name TEXT, value TEXT)")
    db.executemany("INSERT INTO metadata VALUES (?, ?)", metadata)
    rows = [(z, x, (1 << z) - 1 - y, t[3] if len(t) > 3 else encoded_tile(style, z, x, y))
            for t in tiles for z, x, y in [t[:3]]]
    if layout == "tables":
        db.execute("CREATE TABLE tiles (zoom_level INTEGER, tile_column INTEGER,"
                   " tile_row INTEGER, tile_data BLOB)")
        db.execute("CREATE UNIQUE INDEX tile_index ON tiles (zoom_level, tile_column, tile_row)")
        db.executemany("INSERT INTO tiles VALUES (?, ?, ?, ?)", rows)
    else:
        db.execute("CREATE TABLE map (zoom_level INTEGER, tile_column INTEGER, tile_row INTEGER,"
                   " tile_id TEXT)")
        db.execute("CREATE UNIQUE INDEX map_index ON map (zoom_level, tile_column, tile_row)")
        db.execute("CREATE TABLE images (tile_data BLOB, tile_id TEXT)")
        db.execute("CREATE UNIQUE INDEX images_id ON images (tile_id)")
        db.execute("CREATE VIEW tiles AS SELECT map.zoom_level AS zoom_level,"
                   " map.tile_column AS tile_column, map.tile_row AS tile_row,"
                   " images.tile_data AS tile_data FROM map JOIN images"
                   " ON images.tile_id = map.tile_id")
        for z, x, row, data in rows:
            key = hashlib.md5(data).hexdigest()
            db.execute("INSERT OR IGNORE INTO images VALUES (?, ?)", (data, key))
            db.execute("INSERT INTO map VALUES (?, ?, ?, ?)", (z, x, row, key))
    db.commit()
    db.close()


def _chunk(kind, data, crc=None):
    if crc is None:
        crc = zlib.crc32(kind + data) & 0xFFFFFFFF
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", crc)


def with_bad_text_chunk(png):
    """`png` with a tEXt chunk after IHDR whose CRC is wrong: libpng warns and
    skips it, as it may for an ancillary chunk, and the picture still decodes."""
    ihdr_end = len(pngfile.PNG_SIGNATURE) + 25
    text = b"Comment\0" + b"damaged on the way"
    bad_crc = (zlib.crc32(b"tEXt" + text) ^ 1) & 0xFFFFFFFF
    return png[:ihdr_end] + _chunk(b"tEXt", text, bad_crc) + png[ihdr_end:]


@functools.lru_cache(maxsize=1)
def bomb():
    """A PNG that claims BOMB_SIDE x BOMB_SIDE RGB pixels and holds a few rows."""
    header = struct.pack(">IIBBBBB", BOMB_SIDE, BOMB_SIDE, 8, 2, 0, 0, 0)
    return (pngfile.PNG_SIGNATURE + _chunk(b"IHDR", header)
            + _chunk(b"IDAT", zlib.compress(bytes(1000), 9)) + _chunk(b"IEND", b""))


@functools.lru_cache(maxsize=1)
def frames():
    """A 256 x 256 GIF of FRAMES frames of one black pixel each."""
    screen = b"GIF89a" + struct.pack("<HHBBB", TILE, TILE, 0x80, 0, 0) + bytes(3) + b"\xff" * 3
    # Image descriptor at (0, 0), 1 x 1; LZW minimum code size 2; one data
    # block of clear code, index 0 and end code; block terminator.
    frame = b"\x2c" + struct.pack("<HHHHB", 0, 0, 1, 1, 0) + b"\x02\x02\x44\x01\x00"
    return screen + frame * FRAMES + b"\x3b"


TILE_PATH = re.compile(r"/([0-9]+)/([0-9]+)/([0-9]+)(?:@([1-9])x)?\.png")


def is_busy_tile(z, x, y, every):
    """Whether --busy every answers tile z/x/y's first request with a 429."""
    return every > 0 and zlib.crc32(f"{z}/{x}/{y}".encode()) % every == 0


def make_handler(style, fail, log, size=TILE, redirect_to=None, delay=0.0, busy=0,
                 want_agent=None, retry_after=None):
    log_lock = threading.Lock()
    asked = {}  # requests of each busy tile so far

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        # Headers and body go out as two writes: without this, a kept-alive
        # connection waits for the client's delayed acknowledgement between them.
        disable_nagle_algorithm = True

        def do_GET(self):
            if log:
                # The request line was read as Latin-1: this writes its bytes back unchanged.
                with log_lock:
                    log.write(self.path + "\n")
                    log.flush()
            if delay:
                time.sleep(delay)
            if want_agent is not None and self.headers.get("User-Agent") != want_agent:
                return self.answer(403, b"identify yourself\n", "text/plain")
            m = TILE_PATH.fullmatch(self.path.split("?", 1)[0])
            if fail == "404" or not m:
                return self.answer(404, b"not found\n", "text/plain")
            z, x, y = (int(g) for g in m.groups()[:3])
            density = int(m.group(4) or 1)
            # A tile outside the world is a client's fault, as on a real server.
            if z > 30 or x >= 1 << z or y >= 1 << z:
                return self.answer(404, b"no such tile\n", "text/plain")
            if is_busy_tile(z, x, y, busy):
                with log_lock:
                    count = asked.get((z, x, y), 0)
                    asked[(z, x, y)] = count + 1
                if count % 2 == 0:
                    return self.answer(429, b"slow down\n", "text/plain",
                                       retry_after=retry_after_text(retry_after or "1"))
            if fail == "garbage":
                return self.answer(200, GARBAGE, "image/png")
            if fail in HOSTILE:
                return self.misbehave(encoded_tile(style, z, x, y, size, density))
            if self.not_modified():
                self.send_response(304)
                self.end_headers()
                return
            self.answer(200, encoded_tile(style, z, x, y, size, density), "image/png",
                        modified=TILES_MODIFIED)

        def not_modified(self):
            since = self.headers.get("If-Modified-Since")
            try:
                return since is not None and \
                    email.utils.parsedate_to_datetime(since).timestamp() >= TILES_MODIFIED
            except (TypeError, ValueError):
                return False

        def misbehave(self, tile):
            if fail == "500":
                self.answer(500, b"internal error\n", "text/plain")
            elif fail == "hang":
                self.hold()
            elif fail == "cut":
                self.answer(200, tile, "image/png", send=len(tile) // 2)
            elif fail == "truncated":
                self.answer(200, tile[:len(tile) // 2], "image/png")
            elif fail == "warning":
                self.answer(200, with_bad_text_chunk(tile), "image/png")
            elif fail == "bomb":
                self.answer(200, bomb(), "image/png")
            elif fail == "frames":
                self.answer(200, frames(), "image/gif")
            elif fail == "endless":
                self.stream_forever()
            elif fail == "stall":
                self.send_response(200)
                self.send_header("Content-Type", "image/png")
                self.send_header("Content-Length", str(len(tile)))
                self.end_headers()
                self.wfile.write(tile[:len(tile) // 2])
                self.wfile.flush()
                self.hold()
            elif fail == "429":
                self.answer(429, b"slow down\n", "text/plain",
                            retry_after=retry_after_text(retry_after or "0"))
            elif fail == "drip":
                self.send_response(200)
                self.send_header("Content-Type", "image/png")
                self.send_header("Content-Length", str(len(tile)))
                self.end_headers()
                self.close_connection = True
                try:
                    for at in range(0, len(tile), 2):
                        self.wfile.write(tile[at:at + 2])
                        self.wfile.flush()
                        time.sleep(1)
                except OSError:
                    pass  # the client gave up
            elif fail == "redirect":
                self.send_response(302)
                self.send_header("Location", redirect_to + self.path)
                self.send_header("Content-Length", "6")
                self.end_headers()
                self.wfile.write(b"moved\n")

        def answer(self, status, body, kind, send=None, modified=None, retry_after=None):
            """Sends the body, or only its first `send` bytes and then closes."""
            self.send_response(status)
            self.send_header("Content-Type", kind)
            if retry_after is not None:
                self.send_header("Retry-After", retry_after)
            self.send_header("Content-Length", str(len(body)))
            if modified is not None:
                self.send_header("Last-Modified", email.utils.formatdate(modified, usegmt=True))
            self.end_headers()
            self.wfile.write(body if send is None else body[:send])
            if send is not None:
                self.close_connection = True

        def hold(self):
            """Says nothing until the client closes the connection."""
            self.close_connection = True
            while True:
                readable, _, _ = select.select([self.connection], [], [], 1.0)
                if readable and not self.connection.recv(4096):
                    return

        def stream_forever(self):
            self.send_response(200)
            self.send_header("Content-Type", "image/png")
            self.end_headers()
            self.close_connection = True
            block = bytes(1 << 16)
            try:
                while True:
                    self.wfile.write(block)
            except OSError:
                pass  # the client gave up

        def log_message(self, *args):
            pass

    return Handler


class Serving:
    """This server in a process of its own, started with the command-line
    `options`, on a free port: use it in a with block, or start() and stop().
    `base` is its http://127.0.0.1:PORT and `template` its tile URL template."""

    def __init__(self, *options):
        self.command = [sys.executable, os.path.abspath(__file__), *options]

    def start(self):
        self.proc = subprocess.Popen(self.command, stdout=subprocess.PIPE,
                                     stdin=subprocess.DEVNULL)
        line = self.proc.stdout.readline()
        if not line.strip().isdigit():
            self.stop()
            raise RuntimeError(f"tile server printed {line!r}, not a port")
        self.port = int(line)
        self.base = f"http://127.0.0.1:{self.port}"
        self.template = self.base + "/{z}/{x}/{y}.png"
        return self

    def stop(self):
        """Ends it by its pid."""
        os.kill(self.proc.pid, signal.SIGTERM)
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


class Server(http.server.ThreadingHTTPServer):
    # socketserver's backlog of 5 drops the connections of a client that opens
    # more at once, and each dropped one waits a second to try again.
    request_queue_size = 128

    def handle_error(self, request, client_address):
        # A client that hangs up without reading the answer (curl -f on a 404,
        # a run that was killed) is no fault of the server's.
        if not isinstance(sys.exc_info()[1], (ConnectionResetError, BrokenPipeError)):
            super().handle_error(request, client_address)


class Stop(BaseException):
    """Not an Exception: the server's request loop must not swallow it."""


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--style", choices=["grid", "checker", "noise", "dark"], default="grid")
    parser.add_argument("--size", type=int, default=TILE,
                        help="side of checker and noise tiles, in pixels")
    parser.add_argument("--fail", choices=["none", "404", "garbage", *HOSTILE], default="none")
    parser.add_argument("--redirect-to", metavar="BASE", help="where --fail redirect points")
    parser.add_argument("--log", help="append each request's path to this file")
    parser.add_argument("--delay", type=float, default=0, metavar="MS",
                        help="milliseconds to wait before each answer")
    parser.add_argument("--busy", type=int, default=0, metavar="N",
                        help="answer the first request of one tile in N with 429")
    parser.add_argument("--want-agent", metavar="TEXT",
                        help="answer 403 to requests without this User-Agent")
    parser.add_argument("--retry-after", metavar="WHEN",
                        help="Retry-After of 429: seconds, or imf:N, rfc850:N, asctime:N")
    args = parser.parse_args()
    if args.size != TILE and args.style == "grid" or not 1 <= args.size <= 16384:
        parser.error("--size needs --style checker or noise, and 1 to 16384")
    if (args.fail == "redirect") != (args.redirect_to is not None):
        parser.error("--fail redirect and --redirect-to go together")
    if args.retry_after is not None and not re.fullmatch(
            r"[0-9]+|(imf|rfc850|asctime):[0-9]+", args.retry_after):
        parser.error("--retry-after takes seconds, or imf:N, rfc850:N or asctime:N")
    if not 0 <= args.delay <= 60000:
        parser.error("--delay takes 0 to 60000 milliseconds")

    def stop(signum, frame):
        raise Stop()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    log = open(args.log, "a", encoding="latin-1") if args.log else None
    handler = make_handler(args.style, args.fail, log, args.size, args.redirect_to,
                           args.delay / 1000, args.busy, args.want_agent, args.retry_after)
    server = Server(("127.0.0.1", 0), handler)
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
