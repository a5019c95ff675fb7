"""An independent model of what plotr prints for a track, written from the
documented formulas, to compare the program's standard output with.

It works on a Transcript of the program's actual output: where the result is
fixed, the text must match byte for byte; where the program is free to choose
(a zoom bound that is not a finite number), the transcript reads the
program's integer and the model carries on with it.
"""

import itertools
import math
import re
import xml.etree.ElementTree as ET
import xml.parsers.expat

PI = 3.141592653589793
EARTH_RADIUS = 6378137.0
MAX_ZOOM = 18
INT_MAX = 2147483647


class NotFound(Exception):
    """A trkpt without a lat or lon attribute."""


class BadNumber(Exception):
    """A coordinate text that is not a number."""


class NoBound(Exception):
    """A bound that no point could set."""


class NotGpx(Exception):
    """No gpx element where one is looked for; the root's local name."""


# --- C library semantics: Python's math raises where C returns inf or nan ---


def c_div(a, b):
    try:
        return a / b
    except ZeroDivisionError:
        if a == 0 or math.isnan(a):
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)


def c_log(x):
    if math.isnan(x) or x < 0:
        return math.nan
    if x == 0:
        return -math.inf
    return math.log(x)


def c_trig(f, x):
    return f(x) if math.isfinite(x) else math.nan


def c_pow(a, b):
    try:
        return math.pow(a, b)
    except OverflowError:
        return math.inf
    except ValueError:
        return math.nan


def c_sqrt(x):
    return math.nan if x < 0 else math.sqrt(x)


def c_floor(x):
    return float(math.floor(x)) if math.isfinite(x) else x


def to_int(x):
    """Truncation toward zero; None where the program picks the value itself.
    The project decided that +inf becomes INT_MAX."""
    if math.isfinite(x):
        return int(x)
    if x == math.inf:
        return INT_MAX
    return None


# --- Geometry ---


def log2(v):
    return c_div(c_log(v), math.log(2.0))


def mercator_y(lat):
    phi = (PI / 180.0) * lat
    return c_log(c_trig(math.tan, phi) + c_div(1.0, c_trig(math.cos, phi)))


def pixel_x(z, lon):
    return (((lon + 180.0) / 360.0) * c_pow(2.0, float(z))) * 256.0


def pixel_y(z, lat):
    return ((1.0 - mercator_y(lat) / PI) * c_pow(2.0, float(z - 1))) * 256.0


def distance(lat1, lon1, lat2, lon2):
    pi = 4.0 * math.atan(1.0)
    dphi = ((lat2 - lat1) * pi) / 180.0
    dlambda = ((lon2 - lon1) * pi) / 180.0
    s = c_pow(c_trig(math.sin, dlambda / 2.0), 2.0)
    c1 = c_trig(math.cos, (pi * lat1) / 180.0)
    c2 = c_trig(math.cos, (pi * lat2) / 180.0)
    h = c_pow(c_trig(math.sin, dphi / 2.0), 2.0) + ((c1 * c2) * s)
    c = 2.0 * math.atan2(c_sqrt(h), c_sqrt(1.0 - h))
    return EARTH_RADIUS * c


# --- Reading coordinates and documents ---

_NUMBER = re.compile(
    r"[+-]?(?:"
    r"(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?"
    r"|0[xX](?:[0-9a-fA-F]+\.?[0-9a-fA-F]*|\.[0-9a-fA-F]+)(?:[pP][+-]?[0-9]+)?"
    r"|[iI][nN][fF](?:[iI][nN][iI][tT][yY])?"
    r"|[nN][aA][nN](?:\([0-9A-Za-z]*\))?"
    r")",
    re.ASCII,
)


def parse_coordinate(text):
    """strtod over the whole text after dropping underscores; BadNumber if not."""
    s = text.replace("_", "")
    if not s:
        raise BadNumber(text)
    s = s.lstrip(" \t\n\v\f\r")
    if not _NUMBER.fullmatch(s):
        raise BadNumber(text)
    body = s.lstrip("+-")
    sign = -1.0 if s.startswith("-") else 1.0
    if body[:3].lower() == "nan":
        return math.copysign(math.nan, sign)
    if body[:2].lower() == "0x":
        return sign * float.fromhex(body)
    return sign * float(body)


def _local(name):
    return name.rsplit("}", 1)[-1]


def _attribute(element, name):
    for key, value in element.attrib.items():
        if _local(key) == name:
            return value
    raise NotFound(name)


def is_position(lat, lon):
    """A place on Earth: both finite and within -90..90 and -180..180."""
    return -90.0 <= lat <= 90.0 and -180.0 <= lon <= 180.0


def positions(tracks):
    """The tracks without the points that are not positions (segments stay)."""
    return [[[p for p in seg if is_position(*p)] for seg in segments] for segments in tracks]


def _start_tags(data):
    """(line, column from 1) of every start tag, in document order, which is
    the order of ElementTree's iter(); what follows the root is not read."""
    found = []
    parser = xml.parsers.expat.ParserCreate(namespace_separator=" ")
    parser.StartElementHandler = lambda *_: found.append(
        (parser.CurrentLineNumber, parser.CurrentColumnNumber + 1))
    try:
        parser.Parse(data, True)
    except xml.parsers.expat.ExpatError:
        pass
    return found


def read_document(data, routes=False):
    """(tracks, skipped, waypoints) of a GPX document, read with ElementTree:
    tracks > segments > (lat, lon) of the points that are positions, the
    (line, column) of each point left out, and the count of wpt. The gpx
    element is the first one met before any element ends: the root or the
    first child of the first child, and so on. Each rte is a track of one
    segment of its rtept, after the tracks, taken with `routes` or when no
    track point is a position; a route's faults count only then."""
    root = ET.fromstring(data)
    node = root
    while _local(node.tag) != "gpx":
        children = list(node)
        if not children:
            raise NotGpx(_local(root.tag))
        node = children[0]

    def points_of(parent, name, left_out):
        points = []
        for pt in (e for e in parent if _local(e.tag) == name):
            lat_text = _attribute(pt, "lat")
            lon_text = _attribute(pt, "lon")
            lon = parse_coordinate(lon_text)
            lat = parse_coordinate(lat_text)
            if is_position(lat, lon):
                points.append((lat, lon))
            else:
                left_out.append(pt)
        return points

    tracks, left_out = [], []
    for trk in (e for e in node if _local(e.tag) == "trk"):
        tracks.append([points_of(seg, "trkpt", left_out)
                       for seg in trk if _local(seg.tag) == "trkseg"])
    if routes or not any(p for segments in tracks for p in segments):
        for rte in (e for e in node if _local(e.tag) == "rte"):
            tracks.append([points_of(rte, "rtept", left_out)])
    waypoints = sum(1 for e in node if _local(e.tag) == "wpt")
    skipped = []
    if left_out:
        order = {id(e): i for i, e in enumerate(root.iter())}
        tags = _start_tags(data)
        skipped = sorted(tags[order[id(e)]] for e in left_out)
    return tracks, skipped, waypoints


def no_points(documents, waypoints):
    """The program's failure text for documents without any point."""
    count = ("no waypoints" if waypoints == 0 else "1 waypoint" if waypoints == 1
             else f"{waypoints} waypoints")
    if documents == 1:
        return f"no track or route points in the document (it holds {count})"
    return f"no track or route points in the {documents} documents (they hold {count})"


def tracks_of_document(data, routes=False):
    """The tracks of read_document."""
    return read_document(data, routes)[0]


def skip_note(data, routes=False):
    """What the program says on standard error of the points it leaves out of
    the document: one line, or nothing."""
    skipped = read_document(data, routes)[1]
    if not skipped:
        return ""
    line, column = skipped[0]
    if len(skipped) == 1:
        return ("plotr: skipped 1 track point that is not a position on Earth, "
                f"at line {line}, column {column}\n")
    return (f"plotr: skipped {len(skipped)} track points that are not positions on Earth, "
            f"the first at line {line}, column {column}\n")


def bounds(tracks):
    """(min_lat, max_lat, min_lon, max_lon) of the points that are positions;
    NoBound when a pass sets nothing."""
    points = [p for segments in positions(tracks) for seg in segments for p in seg]

    def one(index, start, better):
        current = start
        for p in points:
            if better(p[index], current):
                current = p[index]
        if current == start:
            raise NoBound()
        return current

    return (
        one(0, 666.0, lambda v, c: v < c),
        one(0, -666.0, lambda v, c: v > c),
        one(1, 666.0, lambda v, c: v < c),
        one(1, -666.0, lambda v, c: v > c),
    )


# --- Comparing with the program's output ---


class Transcript:
    """Walks the program's standard output; the first difference is kept."""

    def __init__(self, text):
        self.text = text
        self.pos = 0
        self.error = None

    def _fail(self, wanted):
        line_no = self.text.count("\n", 0, self.pos) + 1
        got = self.text[self.pos :].split("\n", 1)[0]
        self.error = f"stdout line {line_no}: expected {wanted!r}, got {got!r}"

    def expect(self, text):
        if self.error is None:
            if self.text.startswith(text, self.pos):
                self.pos += len(text)
            else:
                self._fail(text)

    def expect_re(self, pattern, wanted):
        if self.error is None:
            m = re.compile(pattern).match(self.text, self.pos)
            if m:
                self.pos = m.end()
                return m
            self._fail(wanted)
        return None

    def expect_int(self, prefix, value, suffix="\n"):
        """The printed integer: `value` exactly, or any integer when None."""
        if value is not None:
            self.expect(f"{prefix}{value}{suffix}")
            return value
        m = self.expect_re(re.escape(prefix) + r"(-?[0-9]+)" + re.escape(suffix), prefix + "<int>")
        return int(m.group(1)) if m else 0

    def expect_float(self, prefix, value):
        if math.isnan(value):
            self.expect_re(re.escape(prefix) + r"-?nan\n", prefix + "nan")
        else:
            self.expect("%s%f\n" % (prefix, value))

    def expect_end(self):
        if self.error is None and self.pos != len(self.text):
            self._fail("<end of output>")


def choose_zoom(t, min_lat, max_lat, min_lon, max_lon, usable_width, usable_height):
    d = distance(min_lat, min_lon, max_lat, max_lon)
    if d < 20.0:
        t.expect("we got %f meters GPX, choose maximum zoom level (%d)\n" % (d, MAX_ZOOM))
        return MAX_ZOOM
    product = float(usable_width * 360)
    span = (max_lon - min_lon) * 256.0
    zw = to_int(c_floor(log2(c_div(product, span))))
    zw = t.expect_int("calculated maximum zoom to fit width:  ", zw)
    ya = mercator_y(min_lat)
    yb = mercator_y(max_lat)
    zh = to_int(1.0 + log2(c_div(float(usable_height) * PI, 256.0 * (yb - ya))))
    zh = t.expect_int("calculated maximum zoom to fit height: ", zh)
    z = zw if zw < zh else zh
    t.expect("calculated minimum zoom: %d\n" % z)
    if z > MAX_ZOOM:
        t.expect("zoom is too high, choose %d\n" % MAX_ZOOM)
        return MAX_ZOOM
    if z < 0:
        t.expect("zoom is too low, choose 0")
        return 0
    return z


def layout(t, z, min_lat, max_lat, min_lon, max_lon, width, height):
    """Prints the six layout lines; returns (top, bottom, left, right)."""
    w, h = float(width), float(height)
    gpx_height = pixel_y(z, min_lat) - pixel_y(z, max_lat)
    t.expect_float("gpx height: ", gpx_height)
    gpx_width = pixel_x(z, max_lon) - pixel_x(z, min_lon)
    t.expect_float("gpx width:  ", gpx_width)
    top = pixel_y(z, max_lat) - (h - gpx_height) / 2.0
    t.expect_float("canvas top:    ", top)
    bottom = pixel_y(z, min_lat) + (h - gpx_height) / 2.0
    t.expect_float("canvas bottom: ", bottom)
    left = pixel_x(z, min_lon) - (w - gpx_width) / 2.0
    t.expect_float("canvas left:   ", left)
    right = pixel_x(z, max_lon) + (w - gpx_width) / 2.0
    t.expect_float("canvas right:  ", right)
    return top, bottom, left, right


def saturate(x):
    """The project's integer of a double: truncated toward zero, +inf and
    values too large give INT_MAX, -inf, NaN and values too small INT_MIN."""
    if math.isnan(x) or x <= -INT_MAX - 1:
        return -INT_MAX - 1
    return INT_MAX if x >= INT_MAX else int(x)


def tile_ranges(z, top, bottom, left, right):
    """The columns and the rows of the tiles downloaded, as ranges."""
    last = saturate(c_pow(2.0, float(z))) - 1
    index = lambda v: saturate(v / 256.0)
    return (range(max(0, index(left)), min(index(right), last) + 1),
            range(max(0, index(top)), min(index(bottom), last) + 1))


def tile_url(template, z, x, y):
    for holder, value in (("{s}", "a"), ("{z}", z), ("{x}", x), ("{y}", y)):
        template = template.replace(holder, str(value), 1)
    return template


# How a run's standard output ends (see check_run_output).
WRITTEN = "written"
DOWNLOADED = "downloaded"
DOWNLOAD_FAILED = "download failed"
REMOVED = "removed"
NOT_DOWNLOADED = "not downloaded"
BATCH_FAILED = "batch failed"

_TEMP_DIR = r"(/tmp/plotr-(?:0|[1-9][0-9]{0,9}))\n"


def canvas(tracks, width=800, height=600, hpad=0, vpad=0):
    """(zoom, top, bottom, left, right) of the canvas for `tracks` of finite
    coordinates, whatever the output."""
    t = Transcript("")
    b = bounds(tracks)
    z = choose_zoom(t, *b, width - hpad, height - vpad)
    return (z, *layout(t, z, *b, width, height))


def check_run_output(stdout, tracks, width=800, height=600, hpad=0, vpad=0, *, url,
                     output="out.png", end=WRITTEN, documents=1):
    """(None, temp_dir) when `stdout` is what a run with the tile URL template
    `url` and the output file `output` prints for `tracks`, otherwise (the
    first difference, temp_dir or None). Past the layout, the output ends as
    `end` says: WRITTEN, the whole run; DOWNLOADED, after the last download
    line (a tile that cannot be read); DOWNLOAD_FAILED, after the first
    download line and the removal line; REMOVED, after the removal line (a
    marker image that cannot be read); BATCH_FAILED, after every download line
    and the removal line (a failed batch download); NOT_DOWNLOADED, right after the layout
    (a canvas the imaging library refuses, a cache folder that cannot
    be used: nothing downloaded). With no tile
    to download, the final removal fails and its line comes twice. The
    tracks are those of `documents` documents (a number: from standard input; a
    list: the files named), each announced by one line."""
    t = Transcript(stdout)
    t.expect("parsing gpx file\n" * documents if isinstance(documents, int)
             else "".join(f"parsing gpx file {name}\n" for name in documents))
    b = bounds(tracks)
    z = choose_zoom(t, *b, width - hpad, height - vpad)
    columns, rows = tile_ranges(z, *layout(t, z, *b, width, height))
    # Ranges can be huge for odd input: walk them lazily, up to the first difference.
    wanted = ((x, y) for x in columns for y in rows)
    if end == NOT_DOWNLOADED:
        t.expect_end()
        return t.error, None
    for x, y in itertools.islice(wanted, 1 if end == DOWNLOAD_FAILED else None):
        t.expect("downloading tile %s\n" % tile_url(url, z, x, y))
        if t.error:
            break
    temp_dir = None
    if end != DOWNLOADED:
        m = t.expect_re("removing temporary directory " + _TEMP_DIR,
                        "removing temporary directory /tmp/plotr-<N>")
        temp_dir = m.group(1) if m else None
        if m and int(temp_dir[len("/tmp/plotr-"):]) >= 1073741823:
            t.error = f"{temp_dir}: the number must be below 1073741823"
        if not columns or not rows:
            t.expect(f"removing temporary directory {temp_dir}\n")
        elif end == WRITTEN:
            t.expect(f"writing to {output}\n")
    t.expect_end()
    return t.error, temp_dir
