#!/usr/bin/env python3
"""The Debian package as a user gets it: its name, control fields and file
list, and the program unpacked from it (never installed on this machine),
which must find its pins through ../share/plotr and draw the sample ride.

The package folder and version come from the environment (PLOTR_DEB_DIR,
PLOTR_VERSION), which the build's test list sets; without them the suite
is skipped."""

import gzip
import os
import re
import shutil
import subprocess

import gpx_oracle
from plotr_e2e import Suite, Tile_server
from pngfile import read_png

suite = Suite(__doc__)
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(suite.args.data)))
deb_dir, version = os.environ.get("PLOTR_DEB_DIR"), os.environ.get("PLOTR_VERSION")
if not deb_dir or not version:
    suite.skip("PLOTR_DEB_DIR and PLOTR_VERSION are not set")
if not shutil.which("dpkg-deb"):
    suite.skip("no dpkg-deb")


def output(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


arch = output("dpkg", "--print-architecture").strip()
debs = [n for n in os.listdir(deb_dir) if n.endswith(".deb")] if os.path.isdir(deb_dir) else []
suite.check("one package, named plotr_<version>_<arch>.deb", [
    None if debs == [f"plotr_{version}_{arch}.deb"] else f"{deb_dir} holds {debs}"])
if not debs:
    suite.finish()
deb = os.path.join(deb_dir, debs[0])

# The pins, for each -scale.
PINS = [f"pin-{n}{s}.png" for s in ("", "@2x", "@3x", "@4x")
        for n in ("icon-start", "icon-end", "shadow")]
# Every file with its mode and owner: nothing missing, nothing stray.
FILES = {
    "usr/bin/plotr": "-rwxr-xr-x",
    **{f"usr/share/plotr/{n}": "-rw-r--r--" for n in PINS},
    "usr/share/plotr/providers": "-rw-r--r--",
    "usr/share/man/man1/plotr.1.gz": "-rw-r--r--",
    "usr/share/bash-completion/completions/plotr": "-rw-r--r--",
    "usr/share/doc/plotr/copyright": "-rw-r--r--",
    "usr/share/doc/plotr/changelog.gz": "-rw-r--r--",
    "usr/share/doc/plotr/README.md.gz": "-rw-r--r--",
    "usr/share/doc/plotr/examples/nginx-tile-cache.conf": "-rw-r--r--",
}
listed, problems = {}, []
for line in output("dpkg-deb", "--contents", deb).splitlines():
    mode, owner, _, _, _, path = line.split(None, 5)
    path = path.removeprefix("./")
    if mode.startswith("d"):
        if mode != "drwxr-xr-x" or owner != "root/root":
            problems.append(f"directory {path}: {mode} {owner}")
    else:
        listed[path] = mode
        if owner != "root/root":
            problems.append(f"{path} belongs to {owner}")
problems += [f"{p}: {listed.get(p, 'missing')}, expected {m}" for p, m in FILES.items()
             if listed.get(p) != m]
problems += [f"stray file {p}" for p in listed if p not in FILES]
suite.check("file list and modes", problems)

scratch = os.path.join(suite.workdir, "unpacked")
output("dpkg-deb", "-x", deb, scratch)
plotr = os.path.join(scratch, "usr", "bin", "plotr")


def unpacked(path):
    """The file's content, uncompressed; None when it is not there."""
    try:
        with open(os.path.join(scratch, path), "rb") as f:
            data = f.read()
    except OSError:
        return None
    return gzip.decompress(data) if path.endswith(".gz") else data


def source(path):
    with open(os.path.join(SOURCE, path), "rb") as f:
        return f.read()


# The files are the tree's own, compressed where Debian wants it.
SAME = [("usr/share/man/man1/plotr.1.gz", "man/plotr.1"),
        ("usr/share/bash-completion/completions/plotr", "completions/plotr"),
        ("usr/share/doc/plotr/copyright", "packaging/copyright"),
        ("usr/share/doc/plotr/changelog.gz", "packaging/changelog"),
        ("usr/share/doc/plotr/README.md.gz", "README.md"),
        ("usr/share/doc/plotr/examples/nginx-tile-cache.conf", "docs/nginx-tile-cache.conf")] + [
            (f"usr/share/plotr/{n}", f"share/plotr/{n}") for n in PINS + ["providers"]]
suite.check("files match the tree", [None if unpacked(p) == source(s) else f"{p} differs from {s}"
                                     for p, s in SAME])

sections = output("readelf", "--sections", "--wide", plotr)
suite.check("binary is stripped", [f"{s} is left" for s in (".symtab", ".debug_info")
                                   if s in sections])

# Depends: curl, which runs through the shell, the credit line's font, and the
# package of every library the binary links directly (MagickCore among them).
fields = dict(re.findall(r"^(\S+): (.*)$", output("dpkg-deb", "--field", deb), re.M))
depends = {re.match(r"[^\s(:]+", d.strip()).group(0)
           for alt in fields.get("Depends", "").split(",") for d in alt.split("|") if d.strip()}
needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+)\]", output("readelf", "-d", plotr))
paths = dict(re.findall(r"^\s*(\S+) => (\S+)", output("ldd", plotr), re.M))


def owner(path):
    """The package that holds `path`, under either name that merged /usr gives it."""
    other = path[len("/usr"):] if path.startswith("/usr/") else "/usr" + path
    for candidate in (path, other):
        found = subprocess.run(["dpkg", "-S", candidate], capture_output=True, text=True)
        if found.returncode == 0:
            return found.stdout.split(":")[0]
    return None


owners = {lib: owner(os.path.realpath(paths[lib])) for lib in needed if lib in paths}
problems = [f"{k}: {fields.get(k)!r}" for k, want in (("Package", "plotr"), ("Version", version),
                                                       ("Architecture", arch))
            if fields.get(k) != want]
problems += [f"no {k} field" for k in ("Section", "Priority", "Maintainer") if not fields.get(k)]
problems += [f"{p} is not in Depends" for p in ("curl", "fonts-dejavu-core") if p not in depends]
problems += [f"{p} is not in Recommends" for p in ("fonts-noto-core", "fonts-noto-cjk", "fonts-symbola")
             if p not in fields.get("Recommends", "")]
problems += [None if any(lib.startswith("libMagickCore") for lib in owners)
             else f"MagickCore is not among the libraries {needed}"]
problems += [f"{lib} comes from {pkg}, which is not in Depends"
             for lib, pkg in owners.items() if pkg not in depends]
suite.check("control fields and Depends", problems)

# The unpacked program draws the sample ride, with a credit line in the
# font the package depends on; it fails without its pins.
sample = source("tests/data/sample-ride.gpx")
with Tile_server(suite.workdir) as server:
    name = "unpacked program draws the sample ride"
    pictures = {}
    for label, more in (("plain", []), ("credited", ["-attribution", "\u00a9 OpenStreetMap"])):
        r = suite.run(["-url", server.template, "-o", label + ".png"] + more, sample,
                      executable=plotr)
        suite.expect(f"{name}: {label}", r, 0, stderr="",
                     tracks=gpx_oracle.tracks_of_document(sample))
        suite.check(f"{name}: {label}, from the local server",
                    [None if server.requests() else "the tile server saw no request"])
        pictures[label] = read_png(suite.path(label + ".png")) if r.status == 0 else None
    # The credit line: only the bottom-right corner changes, with dark text.
    plain, credited = pictures["plain"], pictures["credited"]
    changed = [] if plain is None or credited is None else [
        (x, y) for y in range(600) for x in range(800) if plain.pixel(x, y) != credited.pixel(x, y)]
    suite.check(name + ": credit line", [
        None if changed else "no credit line",
        None if all(x >= 600 and y >= 600 - 18 for x, y in changed) else
        "changes outside the bottom-right corner",
        None if any(max(credited.pixel(x, y)[:3]) < 0x60 for x, y in changed) else
        "no dark text"])
suite.finish()
