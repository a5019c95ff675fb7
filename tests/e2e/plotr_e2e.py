"""Shared harness of the end-to-end suites: runs the installed plotr as a user
would and counts checks. Python standard library only."""

import argparse
import glob
import math
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field

import gpx_oracle

SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts")
sys.path.insert(0, SCRIPTS)
import pngfile  # noqa: E402  (found through the path above)
import tile_server  # noqa: E402

SKIP = 77
TIMEOUT = 120

DEFAULT_URL = "http://{s}.tile.thunderforest.com/landscape/{z}/{x}/{y}.png"

# The one copy of the help text, from the source tree the program was built from.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src", "cli",
                       "help.txt"), encoding="utf-8") as _help:
    HELP = _help.read()

PARSING = "parsing gpx file\n"

# A template that makes the first download fail (curl exits with 37): the run
# stops right after the layout, for picture sizes no one could render.
MISSING_TILES = "file:///nonexistent-plotr-e2e/{z}/{x}/{y}.png"
# The whole standard error of a run whose canvas the imaging library refused.
CANVAS_REFUSED = r'Fatal error: exception Failure\("width or height exceeds limit [^\n]*"\)\n'


def command_failed(command, code):
    """Pattern of the whole standard error of a run that the shell command
    `command` (curl, mkdir, rm) ended with exit code `code`; the removal of a
    directory that is not there may add rm's own complaints."""
    return (rf'(rm: [^\n]*\n)*"{command} [^\n]*" failed with exit code {code}\n'
            r"(rm: [^\n]*\n)*")


# The twelve tiles of the worked example, (x, y) at zoom 13 in download order,
# and the first of them.
EXAMPLE_TILES = [(x, y) for x in range(4399, 4403) for y in range(2685, 2688)]
FIRST_TILE = "13/4399/2685.png"


def tile_paths(z, tiles):
    """The request paths of `tiles`, (x, y) at zoom `z`."""
    return [f"/{z}/{x}/{y}.png" for x, y in tiles]


def requests_problem(server, wanted):
    """None when `server` was asked for the paths `wanted`, in that order,
    since the last look."""
    got = server.requests()
    return None if got == wanted else f"server was asked for {got}, expected {wanted}"


def curl_failed(url, temp_dir, code):
    """Pattern of the failure line of the first tile's download from `url`
    into `temp_dir`; `code` is a number or a pattern."""
    line = f'"curl -f -s {url} -o {temp_dir}/{FIRST_TILE}" failed with exit code '
    return re.escape(line) + f"({code})\n"


def batch_failed(temp_dir, code, parallel, batch=""):
    """Pattern of the failure line of the batch download `batch` ("", "-2")."""
    files = f"{temp_dir}/curl{batch}"
    line = (f'"curl --parallel --parallel-max {parallel} --no-progress-meter -K {files}.conf '
            f'2> {files}.out" failed with exit code ')
    return re.escape(line) + f"({code})\n"


def distance_to(p, a, b):
    """Distance from point p to the segment a-b."""
    (px, py), (ax, ay), (bx, by) = p, a, b
    dx, dy = bx - ax, by - ay
    t = 0.0 if dx == dy == 0 else max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy)
                                                / (dx * dx + dy * dy)))
    return math.hypot(px - ax - t * dx, py - ay - t * dy)

# Options that take the next argument, whatever it looks like.
VALUE_OPTIONS = {"-o", "-height", "-width", "-url", "-horizontal-padding", "-vertical-padding",
                 "-cache", "-parallel", "-attribution", "-color", "-line-width", "-provider",
                 "-user-agent", "-scale", "-tile-size", "-gpx", "-pins", "-margin",
                 "-privacy", "-privacy-zone", "-outline"}


def setting(args, option, default):
    """The value the program takes for a text option: its last occurrence."""
    value, i = default, 0
    while i < len(args):
        if args[i] in VALUE_OPTIONS and i + 1 < len(args):
            if args[i] == option:
                value = args[i + 1]
            i += 2
        else:
            i += 1
    return value


# Whole-line patterns for the fatal failures whose details are the program's choice.
NOT_FOUND = re.escape("Not_found")
BAD_NUMBER = re.escape('Failure("float_of_string")')
# The line before the fatal one of a failure that a document caused.
DOCUMENT_NOTE = r"plotr: (in [^\n]*, )?line \d+, column \d+: [^\n]*\n"


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
    args: list = field(default_factory=list)
    # Largest resident size in kB, from Suite.start only. It counts what the
    # harness's fork held before the exec too: a bound for plotr's, not a measure.
    max_rss_kb: int = 0
    # Command lines of processes of the run's group that outlived it, from
    # Suite.start only; they are killed.
    left_running: list = field(default_factory=list)

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
        parser.add_argument("--section", default="", help="run only the cases of this section")
        self.args = parser.parse_args()
        self.plotr = os.path.abspath(self.args.plotr)
        self.passed = 0
        self.current_section = ""
        self.failed = 0
        # Runs happen in a scratch folder, where they write their pictures.
        self.workdir = tempfile.mkdtemp(prefix="plotr-e2e-")
        if not os.access(self.plotr, os.X_OK):
            print(f"FAIL: no executable at {self.plotr}")
            self.failed += 1
        # No run may reach a public tile server: by default every tile is
        # this one file, which curl reads through file://.
        tile = os.path.join(self.workdir, "tile.png")
        with open(tile, "wb") as f:
            f.write(pngfile.encode(256, 256, 3, bytes(tile_server.tile_color(0, 0)) * 256 * 256))
        self.tile_url = "file://" + tile

    def _clear_output(self, args):
        """Removes the run's earlier output, but only inside the work directory:
        an absolute -o such as /dev/full is not the suite's to delete."""
        path = os.path.realpath(self.path(setting(args, "-o", "out.png")))
        if os.path.dirname(path) == os.path.realpath(self.workdir):
            _remove(path)

    def path(self, name):
        """Where a file that a run names relative to its directory lands."""
        return os.path.join(self.workdir, name)

    def data(self, name):
        return os.path.join(self.args.data, name)

    def run(self, args=(), stdin=b"", argv0="plotr", keep_stdin_open=False, local_tiles=True,
            executable=None):
        """Runs plotr (or `executable`) with `args`, argument 0 set to `argv0`
        and `stdin` as input. With keep_stdin_open the input never reaches its
        end: the program must finish without waiting for more. With
        local_tiles, "-url <the suite's tile file>" goes first; a later -url wins.
        The output file is removed beforehand, so a file after the run is its own."""
        if isinstance(stdin, str):
            stdin = stdin.encode()
        args = (["-url", self.tile_url] if local_tiles else []) + list(args)
        self._clear_output(args)
        in_r, in_w = os.pipe()
        err_path = os.path.join(self.workdir, "stderr")
        with open(err_path, "wb") as err_file:
            proc = subprocess.Popen([argv0, *args], executable=executable or self.plotr, stdin=in_r,
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
        return Result(proc.returncode, dec(chunks[0] if chunks else b""), dec(err), timed_out, args)

    def start(self, args=(), stdin=b"", local_tiles=True, prefix=(), keep_output=False, env=None):
        """Starts plotr with `args` as a shell starts a job: in a process group
        of its own, led by plotr. Standard input is `stdin`, or with None a
        pipe that stays open until the end. With `prefix`, that command runs
        plotr, given as its last arguments (see mount_namespace). The output
        file is removed first unless `keep_output` (say, for a device). `env`
        adds to the environment. Returns a Running; its finish() gives the
        Result."""
        args = (["-url", self.tile_url] if local_tiles else []) + list(args)
        if not keep_output:
            self._clear_output(args)
        return Running(self, [*prefix, self.plotr, *args], args, stdin, env)

    def run_in_own_tmp(self, args=(), stdin=b"", **options):
        """Runs plotr as start() does (`options` are start()'s), over an empty
        /tmp of its own in a mount namespace (root only), so that what it
        leaves there is its own even while other suites run: gives the Result
        and the problem of anything left in /tmp, or of no namespace."""
        result, own_tmp = self.run_with_own_tmp(args, stdin, **options)
        if result is None:
            return self.start(args, stdin, **options).finish(), own_tmp  # own_tmp: the problem
        left = sorted(os.listdir(own_tmp))
        return result, f"left in /tmp: {left}" if left else None

    def run_with_own_tmp(self, args=(), stdin=b"", setup="", **options):
        """As run_in_own_tmp, but gives the Result and the folder that was the
        run's /tmp, to look into; (None, the problem) where no mount namespace
        can be made. `setup`: shell commands to run first (see mount_namespace)."""
        if not can_unshare():
            return None, NO_NAMESPACE
        own_tmp = tempfile.mkdtemp(prefix="own-tmp-", dir=self.workdir)
        setup = (f"{setup} && " if setup else "") + f"mount --bind {own_tmp} /tmp"
        return self.start(args, stdin, prefix=mount_namespace(setup), **options).finish(), own_tmp

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

    def section(self, name):
        """Starts the part of a long suite that ctest may run as a test of its own."""
        self.current_section = name

    def wanted(self, name):
        return self.args.only in name and self.args.section in ("", self.current_section)

    def expect(self, name, result, status, stdout=None, stderr=None, stderr_re=None, tracks=None,
               size=(800, 600), pads=(0, 0), stdout_start=None, end=gpx_oracle.WRITTEN,
               documents=1):
        """Checks one run: its exit status, and standard output and error
        either exact, as a whole-text pattern, or (`tracks`) against the model,
        which ends the output as `end` says. With `tracks`, the temporary
        directory must be gone and the picture there exactly when the run
        succeeded, width x height when it is a PNG; returns the directory
        that the output names."""
        problems, temp_dir = [result.crash()], None
        if stdout_start is not None and not result.stdout.startswith(stdout_start):
            problems.append(f"stdout {_clip(result.stdout)!r}\n does not start with {stdout_start!r}")
        if result.status != status:
            problems.append(f"exit status {result.status}, expected {status}")
        if stdout is not None and result.stdout != stdout:
            problems.append(f"stdout {_clip(result.stdout)!r}\n expected {_clip(stdout)!r}")
        if tracks is not None:
            output = setting(result.args, "-o", "out.png")
            error, temp_dir = gpx_oracle.check_run_output(
                result.stdout, tracks, *size, *pads, url=setting(result.args, "-url", DEFAULT_URL),
                output=output, end=end, documents=documents)
            problems.append(error)
            if temp_dir and os.path.exists(temp_dir) and end != gpx_oracle.DOWNLOADED:
                problems.append(f"{temp_dir} is still there")
            problems.append(self.picture_problem(output, size if status == 0 else None))
        if stderr is not None and result.stderr != stderr:
            problems.append(f"stderr {_clip(result.stderr)!r}\n expected {_clip(stderr)!r}")
        if stderr_re is not None and not re.fullmatch(stderr_re, result.stderr):
            problems.append(f"stderr {_clip(result.stderr)!r}\n expected /{stderr_re}/")
        self.check(name, problems)
        return temp_dir

    def picture_problem(self, output, size):
        """None when the picture `output` is there exactly when `size` is given,
        and then of that size if it is a PNG."""
        path = self.path(output)
        if not output:
            return None  # no file can have an empty name
        if size is None:
            return f"a picture {_clip(output, 80)!r} was written" if _exists(path) else None
        if not os.path.isfile(path):
            return f"no picture {output!r}"
        with open(path, "rb") as f:
            head = f.read(24)
        if head.startswith(pngfile.PNG_SIGNATURE) and pngfile.png_size(head) != tuple(size):
            return f"{output} is {pngfile.png_size(head)}, expected {tuple(size)}"
        return None

    def skip(self, reason):
        shutil.rmtree(self.workdir, ignore_errors=True)
        print(f"skipped: {reason}")
        sys.exit(SKIP)

    def skip_rest(self, reason):
        """Ends a suite whose remaining cases cannot run here: failed if a
        case failed, otherwise skipped (never passed)."""
        if self.failed:
            print(f"not run: {reason}")
            self.finish()
        print(f"{self.passed} passed")
        self.skip(reason)

    def finish(self):
        shutil.rmtree(self.workdir, ignore_errors=True)
        print(f"{self.passed} passed, {self.failed} failed")
        sys.exit(0 if self.failed == 0 else 1)


class Running:
    """A plotr run under way, from Suite.start."""

    def __init__(self, suite, command, args, stdin, env=None):
        self.args = args
        # Files of its own: runs started side by side must not share them.
        err_fd, self._err_path = tempfile.mkstemp(prefix="stderr-", dir=suite.workdir)
        self._stdin_w = None
        self.stdin_path = None  # the file on its standard input, if any
        if stdin is None:
            in_r, self._stdin_w = os.pipe()
        else:
            in_fd, in_path = tempfile.mkstemp(prefix="stdin-", dir=suite.workdir)
            self.stdin_path = in_path
            with open(in_fd, "wb") as f:
                f.write(stdin.encode() if isinstance(stdin, str) else stdin)
            in_r = os.open(in_path, os.O_RDONLY)
        with open(err_fd, "wb") as err_file:
            self.proc = subprocess.Popen(command, stdin=in_r, stdout=subprocess.PIPE,
                                         stderr=err_file, cwd=suite.workdir, process_group=0,
                                         env={**os.environ, **env} if env else None)
        os.close(in_r)
        self.pid = self.proc.pid
        self._out = b""
        self._ended = False
        self._changed = threading.Condition()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        fd = self.proc.stdout.fileno()
        while chunk := os.read(fd, 65536):
            with self._changed:
                self._out += chunk
                self._changed.notify_all()
        with self._changed:
            self._ended = True
            self._changed.notify_all()

    @property
    def stdout(self):
        with self._changed:
            return self._out.decode("utf-8", "surrogateescape")

    def wait_for(self, text, timeout=TIMEOUT):
        """True once standard output holds `text`; False when the output ended
        or `timeout` seconds passed first."""
        with self._changed:
            self._changed.wait_for(lambda: text.encode() in self._out or self._ended, timeout)
            return text.encode() in self._out

    def alive(self):
        """Whether plotr still runs (it is not reaped before finish())."""
        try:
            with open(f"/proc/{self.pid}/stat", "rb") as f:
                return f.read().rsplit(b")", 1)[1].split()[0] != b"Z"
        except OSError:
            return False

    def children(self):
        """Process ids of plotr's children: its shell command, if one runs."""
        return _children(self.pid)

    def signal(self, signum, group=False):
        """Sends `signum` to plotr alone, or with `group` to its process group,
        as a terminal sends Ctrl-C."""
        (os.killpg if group else os.kill)(self.pid, signum)

    def finish(self, timeout=TIMEOUT):
        """Waits for the end (killing the group after `timeout` seconds) and
        gives the Result, with the largest resident size."""
        expired = threading.Event()

        def expire():
            expired.set()
            _kill_group(self.pid)

        deadline = threading.Timer(timeout, expire)
        deadline.start()
        # Not reaped yet: until then no other process can take over the group's id.
        os.waitid(os.P_PID, self.pid, os.WEXITED | os.WNOWAIT)
        deadline.cancel()
        # What outlived plotr would hold its standard output open for ever.
        left = _group_members(self.pid)
        _kill_group(self.pid)
        _, status, usage = os.wait4(self.pid, 0)
        self.proc.returncode = os.waitstatus_to_exitcode(status)
        self._reader.join()
        self.proc.stdout.close()
        if self._stdin_w is not None:
            os.close(self._stdin_w)
        with open(self._err_path, "rb") as f:
            err = f.read().decode("utf-8", "surrogateescape")
        return Result(self.proc.returncode, self.stdout, err, expired.is_set(), self.args,
                      usage.ru_maxrss, left)


def wait_until(condition, timeout=30):
    """True once `condition()` is; False after `timeout` seconds."""
    end = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > end:
            return False
        time.sleep(0.005)
    return True


def request_taken(pid, signum):
    """Whether process `pid` has taken the signal sent to it (none pending)
    and gone back to sleep, as a handler that returned leaves it."""
    try:
        with open(f"/proc/{pid}/status") as f:
            fields = dict(line.split(":", 1) for line in f if ":" in line)
    except OSError:
        return True  # gone: nothing more to wait for
    bit = 1 << (signum - 1)
    pending = any(int(fields[k], 16) & bit for k in ("SigPnd", "ShdPnd"))
    return not pending and fields["State"].split()[0] == "S"


def left_problem(result):
    """Processes of the run that outlived it: a command not ended with it."""
    return f"still running after the run: {result.left_running}" if result.left_running else None


def _kill_group(pgid):
    try:
        os.killpg(pgid, signal.SIGKILL)
    except OSError:
        pass


def _group_members(pgid):
    """Command lines of the live processes of process group `pgid`."""
    members = []
    for stat_path in glob.glob("/proc/[0-9]*/stat"):
        try:
            with open(stat_path, "rb") as f:
                fields = f.read().rsplit(b")", 1)[1].split()
            if int(fields[2]) == pgid and fields[0] != b"Z":
                with open(stat_path[:-len("stat")] + "cmdline", "rb") as f:
                    members.append(f.read().replace(b"\0", b" ").decode("utf-8", "replace").strip())
        except (OSError, IndexError, ValueError):
            pass
    return members


def _children(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [int(p) for p in f.read().split()]
    except OSError:
        return []


def temp_dirs(tmp="/tmp"):
    """The plotr-<N> directories in `tmp` (a run's /tmp)."""
    return {d for d in glob.glob(os.path.join(tmp, "plotr-*"))
            if re.fullmatch(r"plotr-\d+", os.path.basename(d))}


NO_NAMESPACE = "no mount namespace here (needs root and unshare)"


def can_unshare():
    """Whether plotr can run in a mount namespace of its own here (root only)."""
    try:
        return subprocess.run(["unshare", "-m", "true"], stderr=subprocess.DEVNULL).returncode == 0
    except OSError:
        return False


# The original /tmp inside a namespace whose /tmp is replaced.
OLD_TMP = "/mnt"


def outside(path):
    """Where `path` under /tmp is found inside mount_namespace."""
    return OLD_TMP + path[len("/tmp"):] if path.startswith("/tmp/") else path


def mount_namespace(setup, after=""):
    """A prefix for Suite.start that runs plotr in a private mount namespace.
    The original /tmp stays reachable at OLD_TMP (see outside()), so setup may
    mount over /tmp; then the shell commands `setup` run (status 99 when they
    fail; a cd there moves plotr), plotr, and `after`. Plotr's status is kept;
    without `after` plotr takes the shell's place, so signals reach it."""
    run = f'"$@"; status=$?\n{after}\nexit $status\n' if after else 'exec "$@"\n'
    # Paths under the original /tmp, plotr's (or a prefix command's) among
    # them, are reached through OLD_TMP.
    script = (f"mount --bind /tmp {OLD_TMP} && {{ {setup}; }} || exit 99\n"
              f'for a do shift; case $a in /tmp/*) a={OLD_TMP}${{a#/tmp}};; esac; '
              f'set -- "$@" "$a"; done\n' + run)
    return ["unshare", "-m", "sh", "-c", script, "sh"]


def _remove(path):
    try:
        os.remove(path)
    except OSError:
        pass


def _exists(path):
    try:
        return os.path.lexists(path)
    except (OSError, ValueError):
        return False


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
EXAMPLE_LAYOUT = (
    "parsing gpx file\n"
    "calculated maximum zoom to fit width:  13\n"
    "calculated maximum zoom to fit height: 14\n"
    "calculated minimum zoom: 13\n"
    "gpx height: 287.177077\n"
    "gpx width:  407.779556\n"
    "canvas top:    687519.662458\n"
    "canvas bottom: 688119.662458\n"
    "canvas left:   1126149.276444\n"
    "canvas right:  1126949.276444\n"
)
EXAMPLE_GPX = gpx(track(EXAMPLE_POINTS))
EXAMPLE_TRACKS = numeric(EXAMPLE_POINTS)


def provider_file(workdir, name, url, **keys):
    """Writes a provider file of one entry [name] with this url, a credit line
    and `keys` (max_zoom=12, ...); gives its path, which holds a "/"."""
    path = os.path.join(workdir, f"{name}.provider")
    lines = [f"[{name}]", "title = a local server", f"url = {url}",
             "attribution = © Local Tiles", *(f"{k} = {v}" for k, v in keys.items())]
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    return path


# --- The tile server ---


class Tile_server(tile_server.Serving):
    """scripts/tile_server.py on a free port of 127.0.0.1, for a with block.
    `template` is its tile URL template; `requests()` the paths it was asked for."""

    def __init__(self, workdir, style="checker", fail="none", size=None, redirect_to=None,
                 busy=0, want_agent=None, retry_after=None, delay=0):
        self.log = os.path.join(workdir, f"requests-{style}-{fail}" + (f"-{size}" if size else "")
                                + (f"-busy{busy}" if busy else "") + ("-agent" if want_agent else "")
                                + (f"-after-{retry_after}" if retry_after else "")
                                + (f"-delay{delay}" if delay else ""))
        self.seen = 0
        options = ["--style", style, "--fail", fail, "--log", self.log, "--delay", str(delay)]
        if busy:
            options += ["--busy", str(busy)]
        if want_agent is not None:
            options += ["--want-agent", want_agent]
        if retry_after is not None:
            options += ["--retry-after", retry_after]
        if size:
            options += ["--size", str(size)]
        if redirect_to:
            options += ["--redirect-to", redirect_to]
        super().__init__(*options)

    def requests(self):
        """The request paths since the last call."""
        try:
            with open(self.log, encoding="latin-1") as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            lines = []
        new, self.seen = lines[self.seen:], len(lines)
        return new
