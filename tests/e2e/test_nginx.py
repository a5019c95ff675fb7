#!/usr/bin/env python3
"""The caching proxy of docs/nginx-tile-cache.conf in front of the local tile
server: a second run of the same track gets every tile from nginx's cache and
makes the same picture. Skipped when nginx is not installed."""

import os
import shutil
import signal
import socket
import subprocess
import tempfile

from plotr_e2e import (EXAMPLE_GPX, EXAMPLE_TILES, EXAMPLE_TRACKS, Suite, Tile_server, tile_paths,
                       wait_until)
from pngfile import read_png

NGINX = "/usr/sbin/nginx"
EXAMPLE_CONF = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs",
                            "nginx-tile-cache.conf")

suite = Suite(__doc__)
if not os.access(NGINX, os.X_OK):
    suite.skip(f"no {NGINX}")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


def config(upstream, port):
    """The shipped example with only the provider and the port replaced; the
    lines it must hold, or None when one is missing."""
    with open(EXAMPLE_CONF) as f:
        text = f.read()
    for old, new in (("proxy_pass https://tile.example.org;", f"proxy_pass {upstream};"),
                     ("listen 127.0.0.1:8080;", f"listen 127.0.0.1:{port};")):
        if text.count(old) != 1:
            return None, old
        text = text.replace(old, new)
    return text, None


def pixels(path):
    png = read_png(path)
    return png.width, png.height, png._rows


def start_nginx(prefix, text, port):
    """nginx in the foreground with the configuration `text`, or None and why."""
    conf = os.path.join(prefix, "nginx.conf")
    with open(conf, "w") as f:
        f.write(text)
    nginx = subprocess.Popen([NGINX, "-p", prefix + "/", "-e", "error.log", "-c", conf,
                              "-g", "daemon off;"], stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, process_group=0)
    if wait_until(lambda: listening(port) or nginx.poll() is not None) and nginx.poll() is None:
        return nginx, None
    stop_nginx(nginx)
    try:
        with open(os.path.join(prefix, "error.log"), errors="replace") as f:
            return None, f"nginx did not start:\n{f.read()}"
    except OSError:
        return None, "nginx did not start, and wrote no error log"


def stop_nginx(nginx):
    """Ends nginx by its process id; its workers end with it."""
    if nginx.poll() is None:
        os.kill(nginx.pid, signal.SIGQUIT)
    try:
        nginx.wait(timeout=10)
    except subprocess.TimeoutExpired:
        os.killpg(nginx.pid, signal.SIGKILL)  # the master and its workers
        nginx.wait()


def round_trip(server, port):
    """Two runs of the example through the proxy: the second asks the tile
    server for nothing and makes the same picture."""
    template = f"http://127.0.0.1:{port}/{{z}}/{{x}}/{{y}}.png"
    tiles = tile_paths(13, EXAMPLE_TILES)
    for label, wanted in (("first", tiles), ("second", [])):
        r = suite.run(["-url", template, "-o", f"{label}.png"], EXAMPLE_GPX)
        suite.expect(f"{name}: {label} run", r, 0, stderr="", tracks=EXAMPLE_TRACKS)
        got = server.requests()
        suite.check(f"{name}: {label} run's requests", [
            None if got == wanted else f"tile server was asked for {got}, expected {wanted}"])
    if all(os.path.exists(suite.path(f"{label}.png")) for label in ("first", "second")):
        suite.check(f"{name}: same picture", [
            None if pixels(suite.path("first.png")) == pixels(suite.path("second.png"))
            else "the pictures differ"])


name = "nginx caching proxy"
if suite.wanted(name):
    # Its own folder, searchable by everyone: nginx's workers run as another
    # user when it is started by root.
    prefix = tempfile.mkdtemp(prefix="plotr-nginx-")
    os.chmod(prefix, 0o755)
    try:
        with Tile_server(suite.workdir) as server:
            port = free_port()
            text, missing = config(server.base, port)
            nginx, problem = start_nginx(prefix, text, port) if text else (None, None)
            if text is None:
                suite.check(name, [f"{EXAMPLE_CONF} has no line {missing!r}"])
            elif nginx is None:
                suite.check(name, [problem])
            else:
                try:
                    round_trip(server, port)
                finally:
                    stop_nginx(nginx)
    finally:
        shutil.rmtree(prefix, ignore_errors=True)

suite.finish()
