"""Shared harness of the end-to-end suites: runs the installed plotr as a user
would and counts checks. Python standard library only."""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
from dataclasses import dataclass

import gpx_oracle

SKIP = 77
TIMEOUT = 120

DEFAULT_URL = "http://{s}.tile.thunderforest.com/landscape/{z}/{x}/{y}.png"

HELP = (
    "plotr - GPX to PNG tool\n"
    "usage: plotr [OPTIONS] < /path/to/gpx/file.gpx\n"
    "\n"
    '  -o FILE\twrite output to <file>; default is "out.png"\n'
    "  -height \timage height; default is 600\n"
    "  -width \timage width; default is 800\n"
    "  -url \t\tURL to download tiles from;\n\t\tdefault is " + DEFAULT_URL + "\n"
    "  -horizontal-padding \tCSS-like property for canvas; default is 0\n"
    "  -vertical-padding \tCSS-like property for canvas; default is 0\n"
    "  -compress \t\tenable aggressive compresion\n"
    "  -nomarkers \t\tdo not place markers at the beginning and at the end\n"
    "  -help  Display this list of options\n"
    "  --help  Display this list of options\n"
)

PARSING = "parsing gpx file\n"

# Whole-line patterns for the fatal failures whose details are the program's choice.
ASSERT_FAILURE = r'Assert_failure\("src/[a-z_/]+\.cpp", \d+, \d+\)'
NOT_FOUND = re.escape("Not_found")
BAD_NUMBER = re.escape('Failure("float_of_string")')


def xml_error(fault=None, line=None, column=None):
    """Pattern of Xml_error(line, column, "fault"); None means any value."""
    num = lambda v: r"\d+" if v is None else str(v)
    text = r'[^"\n]+' if fault is None else re.escape(fault)
    return rf'Xml_error\({num(line)}, {num(column)}, "{text}"\)'


def fatal(pattern):
    """Pattern of the whole standard error of a fatal failure."""
    return rf"Fatal error: exception {pattern}\n"


_SANITIZER = re.compile(r"runtime error:|AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer")


@dataclass
class Result:
    status: int
    stdout: str
    stderr: str
    timed_out: bool = False

    def crash(self):
        """Why this run counts as a crash, or None."""
        if self.timed_out:
            return "did not finish"
        if self.status < 0:
            return f"killed by signal {-self.status}"
        if _SANITIZER.search(self.stderr):
            return "sanitizer report on stderr:\n" + self.stderr[:2000]
        if self.status not in (0, 1, 2):
            return f"exit status {self.status}"
        return None


class Suite:
    """Command line of a suite, the program runner and the pass/fail count."""

    def __init__(self, description):
        parser = argparse.ArgumentParser(description=description)
        parser.add_argument("--plotr", required=True, help="the installed plotr")
        parser.add_argument("--corpus", required=True, help="folder of real-world GPX files")
        parser.add_argument("--data", required=True, help="tests/data of the source tree")
        parser.add_argument("-k", dest="only", default="", help="run the cases whose name holds this")
        self.args = parser.parse_args()
        self.plotr = os.path.abspath(self.args.plotr)
        self.passed = 0
        self.failed = 0
        # Runs happen in a scratch folder: later stages write pictures to the current directory.
        self.workdir = tempfile.mkdtemp(prefix="plotr-e2e-")
        if not os.access(self.plotr, os.X_OK):
            print(f"FAIL: no executable at {self.plotr}")
            self.failed += 1

    def data(self, name):
        return os.path.join(self.args.data, name)

    def run(self, args=(), stdin=b"", argv0="plotr", keep_stdin_open=False):
        """Runs plotr with `args`, argument 0 set to `argv0` and `stdin` as input.
        With keep_stdin_open the input never reaches its end: the program must
        finish without waiting for more."""
        if isinstance(stdin, str):
            stdin = stdin.encode()
        in_r, in_w = os.pipe()
        err_path = os.path.join(self.workdir, "stderr")
        with open(err_path, "wb") as err_file:
            proc = subprocess.Popen([argv0, *args], executable=self.plotr, stdin=in_r,
                                    stdout=subprocess.PIPE, stderr=err_file, cwd=self.workdir)
        os.close(in_r)

        # Threads feed and drain the pipes, so a program that stops reading
        # early, or never reads, cannot block the harness.
        def feed():
            try:
                _write_all(in_w, stdin)
            except OSError:
                pass
            if not keep_stdin_open:
                os.close(in_w)

        chunks = []
        writer = threading.Thread(target=feed, daemon=True)
        reader = threading.Thread(target=lambda: chunks.append(proc.stdout.read()), daemon=True)
        writer.start()
        reader.start()
        timed_out = False
        try:
            proc.wait(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            timed_out = True
            proc.kill()
            proc.wait()
        reader.join()
        writer.join()
        proc.stdout.close()
        if keep_stdin_open:
            os.close(in_w)
        with open(err_path, "rb") as f:
            err = f.read()
        dec = lambda b: b.decode("utf-8", "surrogateescape")
        return Result(proc.returncode, dec(chunks[0] if chunks else b""), dec(err), timed_out)

    def check(self, name, problems):
        """Counts one case: it passes when `problems` is empty."""
        problems = [p for p in problems if p]
        if problems:
            self.failed += 1
            print(f"FAIL {name}")
            for p in problems:
                print("    " + p.replace("\n", "\n    "))
        else:
            self.passed += 1

    def wanted(self, name):
        return self.args.only in name

    def expect(self, name, result, status, stdout=None, stderr=None, stderr_re=None, tracks=None,
               size=(800, 600), pads=(0, 0), stdout_start=None):
        """Checks one run: its exit status, and standard output and error
        either exact, as a whole-text pattern, or (`tracks`) against the model."""
        problems = [result.crash()]
        if stdout_start is not None and not result.stdout.startswith(stdout_start):
            problems.append(f"stdout {_clip(result.stdout)!r}\n does not start with {stdout_start!r}")
        if result.status != status:
            problems.append(f"exit status {result.status}, expected {status}")
        if stdout is not None and result.stdout != stdout:
            problems.append(f"stdout {_clip(result.stdout)!r}\n expected {_clip(stdout)!r}")
        if tracks is not None:
            problems.append(gpx_oracle.check_run_output(result.stdout, tracks, *size, *pads))
        if stderr is not None and result.stderr != stderr:
            problems.append(f"stderr {_clip(result.stderr)!r}\n expected {_clip(stderr)!r}")
        if stderr_re is not None and not re.fullmatch(stderr_re, result.stderr):
            problems.append(f"stderr {_clip(result.stderr)!r}\n expected /{stderr_re}/")
        self.check(name, problems)

    def skip(self, reason):
        shutil.rmtree(self.workdir, ignore_errors=True)
        print(f"skipped: {reason}")
        sys.exit(SKIP)

    def finish(self):
        shutil.rmtree(self.workdir, ignore_errors=True)
        print(f"{self.passed} passed, {self.failed} failed")
        sys.exit(0 if self.failed == 0 else 1)


def _write_all(fd, data):
    view = memoryview(data)
    while view:
        n = os.write(fd, view)
        view = view[n:]


def _clip(text, limit=600):
    return text if len(text) <= limit else text[:limit] + "..."


def gpx(body, declaration='<?xml version="1.0" encoding="UTF-8"?>\n'):
    """A GPX 1.1 document around `body`."""
    return (declaration + '<gpx version="1.1" creator="e2e" xmlns="http://www.topografix.com/GPX/1/1">'
            + body + "</gpx>\n")


def track(*segments):
    """A trk element; each segment is a list of (lat, lon), as numbers or texts."""
    segs = "".join(
        "<trkseg>" + "".join(f'<trkpt lat="{lat}" lon="{lon}"/>' for lat, lon in seg) + "</trkseg>"
        for seg in segments)
    return f"<trk>{segs}</trk>"


def numeric(*segments):
    """The model's tracks for one track with these segments of (lat, lon)."""
    return [[[(float(lat), float(lon)) for lat, lon in seg] for seg in segments]]


# The worked example: two points, 800 x 600, zoom 13.
EXAMPLE_POINTS = [(52.50, 13.35), (52.53, 13.42)]
EXAMPLE_GPX = gpx(track(EXAMPLE_POINTS))
EXAMPLE_TRACKS = numeric(EXAMPLE_POINTS)
