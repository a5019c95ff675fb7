#!/usr/bin/env python3
"""Termination requests at each stage of a run, and a system that refuses to
store: the run ends with its status and message, and leaves no temporary
directory and no half-written picture behind. Tiles come from a local HTTP
server; the file system faults are made in a private mount namespace."""

import glob
import os
import re
import shutil
import signal
import stat
import tempfile

import gpx_oracle
from plotr_e2e import (EXAMPLE_GPX, EXAMPLE_LAYOUT, EXAMPLE_TRACKS, FIRST_TILE, NO_NAMESPACE,
                       OLD_TMP, Suite, Tile_server, can_unshare, fatal, gpx, left_problem,
                       mount_namespace, outside, request_taken, track, wait_until)
import pngfile  # noqa: E402  (found through the path plotr_e2e sets)

suite = Suite(__doc__)
STRACE = shutil.which("strace")
# strace stops plotr at a chosen system call, with a signal; LeakSanitizer
# cannot work under it.
UNDER_STRACE = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"}


def at_call(path, call, signum, nth=1):
    """A prefix for Suite.start: the `nth` `call` (openat, write) of plotr on
    the file `path` (absolute) brings `signum`, as the call is made."""
    return [STRACE, "-o", "/dev/null", "-P", path, "-e", f"trace={call}", "-e",
            f"inject={call}:signal={signal.Signals(signum).name}:when={nth}"]
WRITE_FAILED = fatal(re.escape('Failure("write_image failed")'))
# MagickCore's PNG encoder loses its quantum buffer when a write fails part
# way; the process ends right after, and a sanitized build must not count it.
ENCODER_LEAK = suite.path("encoder-leak.supp")
with open(ENCODER_LEAK, "w") as f:
    f.write("leak:AcquireQuantumInfo\n")
WRITE_FAILS = {"LSAN_OPTIONS": f"suppressions={ENCODER_LEAK}:print_suppressions=0"}


def status_problem(result, signum):
    """None when the run was ended by `signum`'s default action."""
    if result.status == -signum:
        return None
    return f"exit status {result.status}, expected death by {signal.Signals(signum).name}"


def magick_files(tmp):
    return set(glob.glob(os.path.join(tmp, "magick-*")))


def own_tmp():
    """A folder to be a run's /tmp, so that MagickCore's files there are its
    own, and the prefix for Suite.start that makes it so (plotr, or the
    command given, runs in place of the shell); None and the problem where no
    mount namespace can be made."""
    if not can_unshare():
        return None, NO_NAMESPACE
    folder = tempfile.mkdtemp(prefix="own-tmp-", dir=suite.workdir)
    return folder, mount_namespace(f"mount --bind {folder} /tmp")


def thread_count(pid):
    """The threads of a process, or None when it is gone."""
    try:
        return len(os.listdir(f"/proc/{pid}/task"))
    except OSError:
        return None


# Before the directory is named on disk a request ends the process at once,
# by the signal's default action: a run blocked on its input does not hang.
name = "SIGTERM while reading the track"
if suite.wanted(name):
    running = suite.start([], stdin=None)
    running.wait_for("parsing gpx file\n")
    running.signal(signal.SIGTERM)
    r = running.finish(timeout=30)
    suite.check(name, [
        status_problem(r, signal.SIGTERM),
        None if r.stdout == "parsing gpx file\n" else f"stdout {r.stdout!r}",
        None if r.stderr == "" else f"stderr {r.stderr!r}"])

# During a download the request goes on to the command, which fails like an
# interrupted one; its own processes end with it.
with Tile_server(suite.workdir, fail="hang") as server:
    for signum in (signal.SIGTERM, signal.SIGHUP):
        name = f"{signal.Signals(signum).name} to plotr alone during a download"
        if not suite.wanted(name):
            continue
        running = suite.start(["-url", server.template], EXAMPLE_GPX)
        asked = wait_until(lambda: server.requests() == ["/" + FIRST_TILE])
        running.signal(signum)
        r = running.finish()
        temp_dir = suite.expect(name, r, 1, tracks=EXAMPLE_TRACKS, end=gpx_oracle.DOWNLOAD_FAILED)
        line = (f'"curl -f -s {server.base}/{FIRST_TILE} -o {temp_dir}/{FIRST_TILE}" '
                "failed with exit code 255\n")
        suite.check(name + ": failure line", [
            None if asked else "the server was never asked",
            None if r.stderr == line else f"stderr {r.stderr!r}\n expected {line!r}",
            left_problem(r)])

# Between commands the request waits for the next safe point, here the next
# paste. The cache holds every tile but the last pasted, so the run downloads
# that one (the directory is guarded) and pastes the first listed from the
# cache: the request comes as plotr opens it through its column's folder.
# Ctrl-C there, with no command to reach, is a request like any other.
with Tile_server(suite.workdir) as server:
    cache = suite.path("pasting-cache")
    filled = suite.run(["-url", server.template, "-cache", cache, "-o", "pasting.png"], EXAMPLE_GPX)
    server.requests()
    entry = lambda tile: (glob.glob(os.path.join(cache, "*", tile)) or [tile])[0]
    for signum in (signal.SIGTERM, signal.SIGINT):
        name = f"{signal.Signals(signum).name} while pasting"
        if not suite.wanted(name):
            continue
        if not STRACE:
            suite.check(name, ["no strace here"])
            continue
        if os.path.exists(entry("13/4399/2687.png")):
            os.remove(entry("13/4399/2687.png"))
        running = suite.start(["-url", server.template, "-cache", cache], EXAMPLE_GPX,
                              prefix=at_call(os.path.dirname(entry("13/4402/2685.png")),
                                             "openat", signum),
                              env=UNDER_STRACE)
        r = running.finish()
        m = re.fullmatch(re.escape(EXAMPLE_LAYOUT + f"downloading tile {server.base}/13/4399/2687.png\n")
                         + r"removing temporary directory (/tmp/plotr-\d+)\n", r.stdout)
        suite.check(name, [
            r.crash(), None if filled.status == 0 else f"filling the cache: {filled.stderr!r}",
            None if r.status == 1 else f"exit status {r.status}, expected 1",
            None if m else f"stdout {r.stdout!r}", None if r.stderr == "" else f"stderr {r.stderr!r}",
            f"{m.group(1)} is still there" if m and os.path.exists(m.group(1)) else None,
            "a picture was written" if os.path.exists(suite.path("out.png")) else None])

# The final removal is let finish; then the request ends the process by its
# default action. An rm first in PATH tells when it has begun, and waits on a
# pipe until plotr has taken the request.
name = "SIGTERM during the final removal"
if suite.wanted(name):
    slow = suite.path("slow-rm")
    os.makedirs(slow, exist_ok=True)
    begun, go_on = suite.path("rm-begun"), suite.path("rm-go-on")
    os.mkfifo(go_on)
    with open(os.path.join(slow, "rm"), "w") as f:
        f.write(f"#!/bin/sh\n: > {begun}\nread line < {go_on}\nexec {shutil.which('rm')} \"$@\"\n")
    os.chmod(os.path.join(slow, "rm"), 0o755)
    with Tile_server(suite.workdir) as server:
        running = suite.start(["-url", server.template], EXAMPLE_GPX,
                              env={"PATH": slow + os.pathsep + os.environ["PATH"]})
        removing = wait_until(lambda: os.path.exists(begun) or not running.alive())
        running.signal(signal.SIGTERM)
        taken = wait_until(lambda: request_taken(running.pid, signal.SIGTERM))

        def release():
            try:
                fd = os.open(go_on, os.O_WRONLY | os.O_NONBLOCK)
            except OSError:
                return False  # no reader yet, or none any more
            os.write(fd, b"\n")
            os.close(fd)
            return True

        released = wait_until(lambda: release() or not running.alive())
        r = running.finish()
    m = re.search(r"removing temporary directory (/tmp/plotr-\d+)\n$", r.stdout)
    suite.check(name, [
        status_problem(r, signal.SIGTERM), None if removing else "rm never began",
        None if taken else "the request was never taken",
        None if released else "rm was never let go on",
        None if r.stderr == "" else f"stderr {r.stderr!r}",
        None if m else f"stdout {r.stdout[-200:]!r}",
        f"{m.group(1)} is still there" if m and os.path.exists(m.group(1)) else None,
        "a picture was written" if os.path.exists(suite.path("out.png")) else None])

# The picture is encoded, written to a file of its own and renamed over the
# older one; the request comes as the rename is made. The older picture
# stays as it was, no file of the write is left, nor any of MagickCore's.
name = "SIGTERM while writing"
if suite.wanted(name):
    tmp, prefix = own_tmp()
    if tmp is None or not STRACE:
        suite.check(name, [prefix if tmp is None else "no strace here"])
    else:
        out = suite.path("out.png")
        with open(out, "w") as f:
            f.write("old")
        with Tile_server(suite.workdir, style="noise") as server:
            running = suite.start(["-url", server.template, "-o", outside(out), "-compress"],
                                  EXAMPLE_GPX, env=UNDER_STRACE, keep_output=True,
                                  # The run's only rename is the picture's.
                                  prefix=prefix + [
                                      STRACE, "-o", "/dev/null", "-e", "trace=rename,renameat",
                                      "-e", "inject=rename,renameat:error=EINTR:signal=SIGTERM"])
            # By now every kind of MagickCore work but the encoder's has run:
            # still one thread.
            writing = running.wait_for(f"writing to {outside(out)}\n")
            threads = thread_count((running.children() or [running.pid])[0])
            r = running.finish()
        with open(out, "rb") as f:
            kept = f.read()
        suite.check(name, [
            status_problem(r, signal.SIGTERM), None if writing else "never began to write",
            None if threads in (1, None) else f"plotr ran {threads} threads",
            None if kept == b"old" else "the older picture was replaced",
            f"left {glob.glob(suite.path('.out.png.*'))}" if glob.glob(suite.path(".out.png.*"))
            else None,
            f"MagickCore left {magick_files(tmp)}" if magick_files(tmp) else None])
        os.remove(out)

# A canvas past MagickCore's memory limit lives in a file of its own, mapped;
# a request removes it too. Zoom 0 has one tile, which keeps the run short.
name = "SIGTERM with the canvas on disk"
if suite.wanted(name):
    tmp, prefix = own_tmp()
    if tmp is None:
        suite.check(name, [prefix])
    else:
        running = suite.start(["-url", "file://" + outside(suite.path("tile.png")), "-width",
                               "6000", "-height", "6000", "-horizontal-padding", "5700",
                               "-vertical-padding", "5700"], gpx(track([(-80, -179), (80, 179)])),
                              prefix=prefix)
        on_disk = running.wait_for("removing temporary directory") and wait_until(
            lambda: magick_files(tmp) or not running.alive())
        running.signal(signal.SIGTERM)
        r = running.finish()
        suite.check(name, [status_problem(r, signal.SIGTERM),
                           None if on_disk else "the canvas was never on disk",
                           f"MagickCore left {magick_files(tmp)}" if magick_files(tmp) else None])

with Tile_server(suite.workdir) as server:
    name = "output to a full device"
    if suite.wanted(name):
        r = suite.start(["-url", server.template, "-o", "/dev/full"], EXAMPLE_GPX,
                        keep_output=True, env=WRITE_FAILS).finish()
        suite.expect(name, r, 2, stderr_re=WRITE_FAILED)
        suite.check(name + ": device kept", [
            None if r.stdout.endswith("writing to /dev/full\n") else f"stdout {r.stdout[-200:]!r}",
            None if stat.S_ISCHR(os.stat("/dev/full").st_mode) else "/dev/full is gone"])

    # A pipe takes the picture as it comes, named as a descriptor or as stdout.
    for output, redirect in [("/dev/fd/3", "3>&1 >/dev/null"), ("/dev/stdout", "")]:
        name = f"output to {output}, a pipe"
        if suite.wanted(name):
            r = suite.start(["-url", server.template, "-o", output], EXAMPLE_GPX, keep_output=True,
                            prefix=["sh", "-c", f'exec "$0" "$@" {redirect}']).finish()
            out = r.stdout.encode("utf-8", "surrogateescape")
            picture = out.split(f"writing to {output}\n".encode())[-1]
            suite.check(name, [r.crash(), None if r.status == 0 else f"exit status {r.status}",
                               None if r.stderr == "" else f"stderr {r.stderr!r}",
                               None if picture.startswith(b"\x89PNG") and pngfile.png_size(
                                   picture[:24]) == (800, 600) else f"stdout {out[:200]!r}"])
            server.requests()

    # A file size limit stops the write as a full disk does, not by its signal;
    # the tiles, far smaller, still download.
    name = "file size limit"
    if suite.wanted(name):
        r = suite.start(["-url", server.template], EXAMPLE_GPX, env=WRITE_FAILS,
                        prefix=["sh", "-c", 'ulimit -f 4; exec "$0" "$@"']).finish()
        suite.expect(name, r, 2, stderr_re=WRITE_FAILED, tracks=EXAMPLE_TRACKS)
        server.requests()

    if not can_unshare():
        suite.skip_rest(f"the file system faults: {NO_NAMESPACE}")

    # A picture that does not fit: whatever the write began is removed, and
    # an older picture of the same name stays as it was.
    for name, existing in [("full file system", ""), ("full file system, older picture", "old")]:
        if not suite.wanted(name):
            continue
        full, listing = suite.path("full"), suite.path("listing")
        os.makedirs(full, exist_ok=True)
        setup = f"mount -t tmpfs -o size=8k tmpfs {full} && cd {full}"
        if existing:
            setup += f" && printf {existing} > out.png"
        r = suite.start(["-url", server.template], EXAMPLE_GPX, env=WRITE_FAILS,
                        prefix=mount_namespace(setup, f"ls -A {full} > {listing}; "
                                               f"if [ -e {full}/out.png ]; then cat {full}/out.png >> {listing}; fi")).finish()
        suite.expect(name, r, 2, stderr_re=WRITE_FAILED, tracks=EXAMPLE_TRACKS)
        with open(listing) as f:
            left = f.read()
        kept = f"out.png\n{existing}" if existing else ""
        suite.check(name + ": nothing left", [None if left == kept else f"left: {left!r}"])
        server.requests()

    name = "read-only current directory"
    if suite.wanted(name):
        ro = suite.path("read-only")
        os.makedirs(ro, exist_ok=True)
        setup = f"mount --bind {ro} {ro} && mount -o remount,bind,ro {ro} && cd {ro}"
        r = suite.start(["-url", server.template], EXAMPLE_GPX,
                        prefix=mount_namespace(setup)).finish()
        suite.expect(name, r, 2, stdout="", stderr='Fatal error: exception Failure("cannot write '
                     'the picture to out.png: Read-only file system")\n')
        suite.check(name + ": nothing left", [None if not os.listdir(ro) else os.listdir(ro)])
        server.requests()

    # The directory cannot be made: the run ends before the first download,
    # and no command ever makes it.
    name = "read-only /tmp"
    if suite.wanted(name):
        r = suite.start(["-url", server.template], EXAMPLE_GPX,
                        prefix=mount_namespace("mount -t tmpfs -o ro tmpfs /tmp")).finish()
        suite.expect(name, r, 2, stdout=EXAMPLE_LAYOUT, stderr_re=fatal(
            r'Failure\("cannot create a private temporary directory: /tmp/plotr-\d+: '
            r'Read-only file system"\)'))
        suite.check(name + ": nothing asked, nothing written", [
            "a picture was written" if os.path.exists(suite.path("out.png")) else None,
            None if server.requests() == [] else "the server was asked"])

    # Room for two tiles: the third download fails to write, and the removal
    # takes the two.
    name = "full /tmp"
    if suite.wanted(name):
        listing = suite.path("listing")
        r = suite.start(["-url", server.template], EXAMPLE_GPX, prefix=mount_namespace(
            "mount -t tmpfs -o size=8k tmpfs /tmp", f"ls -A /tmp > {outside(listing)}")).finish()
        downloads = "".join(f"downloading tile {server.base}/13/4399/{y}.png\n"
                            for y in (2685, 2686, 2687))
        m = re.fullmatch(re.escape(EXAMPLE_LAYOUT + downloads)
                         + r"removing temporary directory (/tmp/plotr-\d+)\n", r.stdout)
        third = f"{m.group(1) if m else '/tmp/plotr-N'}/13/4399/2687.png"
        line = f'"curl -f -s {server.base}/13/4399/2687.png -o {third}" failed with exit code 23\n'
        with open(listing) as f:
            left = f.read()
        suite.check(name, [
            r.crash(), None if r.status == 1 else f"exit status {r.status}, expected 1",
            None if m else f"stdout {r.stdout!r}",
            None if r.stderr == line else f"stderr {r.stderr!r}\n expected {line!r}",
            None if left == "" else f"left in /tmp: {left!r}",
            "a picture was written" if os.path.exists(suite.path("out.png")) else None])
        server.requests()

    # Standard output closed after the first line, as by `plotr | head -1`: the
    # progress lines that meet the broken pipe are dropped, and the run goes on.
    name = "standard output closed after the first line"
    if suite.wanted(name):
        listing, status = suite.path("listing"), suite.path("status")
        script = (f"mount --bind /tmp {OLD_TMP} && mount -t tmpfs tmpfs /tmp || exit 99\n"
                  f'plotr=$1; shift; case $plotr in /tmp/*) plotr={OLD_TMP}${{plotr#/tmp}};; esac\n'
                  f'{{ "$plotr" "$@"; echo $? > {outside(status)}; }} | head -1\n'
                  f"ls -A /tmp > {outside(listing)}\nexit $(cat {outside(status)})\n")
        r = suite.start(["-url", server.template], EXAMPLE_GPX,
                        prefix=["unshare", "-m", "sh", "-c", script, "sh"]).finish()
        suite.expect(name, r, 0, stdout="parsing gpx file\n", stderr="")
        with open(listing) as f:
            left = f.read()
        suite.check(name + ": nothing left, the picture written", [
            None if left == "" else f"left in /tmp: {left!r}", suite.picture_problem("out.png",
                                                                                   (800, 600))])
        server.requests()

suite.finish()
