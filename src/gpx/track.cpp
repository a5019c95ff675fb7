#include "gpx/track.h"

#include <locale.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <functional>
#include <iterator>
#include <optional>
#include <string>

#include "common/failure.h"
#include "common/text.h"

namespace plotr {

namespace {

using xmlm_shit::Reader;
using xmlm_shit::Tag;

// strtod follows the process locale; coordinates always use ".". Kept for the whole run.
locale_t c_locale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    return locale;
}

bool is_plain_decimal(char c) {
    return (c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '-' || c == '+';
}

std::optional<double> to_coordinate(std::string_view text) {
    // Most coordinates are plain decimals, which from_chars rounds exactly as strtod does
    // but much faster; anything it does not take whole goes the strtod way.
    if (!text.empty() && std::ranges::all_of(text, is_plain_decimal)) {
        double value = 0;
        const auto [end, fault] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (fault == std::errc() && end == text.data() + text.size()) return value;
    }
    std::string number;
    number.reserve(text.size());
    std::ranges::copy_if(text, std::back_inserter(number), [](char c) { return c != '_'; });
    // strtod would also take "nan(chars)", which is not a coordinate.
    if (number.empty() || number.find('(') != std::string::npos) return std::nullopt;
    char* end = nullptr;
    const double value = strtod_l(number.c_str(), &end, c_locale());
    if (end != number.c_str() + number.size()) return std::nullopt;
    return value;
}

bool is_space_char(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Days from 1970-01-01 to the date of the proleptic Gregorian calendar.
long days_from_civil(long y, long m, long d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const long yoe = y - era * 400;
    const long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// A number of the point's content; NaN when it is none.
float to_measure(std::string_view t) {
    while (!t.empty() && is_space_char(t.front())) t.remove_prefix(1);
    while (!t.empty() && is_space_char(t.back())) t.remove_suffix(1);
    double value = 0;
    const auto [end, fault] = std::from_chars(t.data(), t.data() + t.size(), value);
    if (t.empty() || fault != std::errc() || end != t.data() + t.size() || !std::isfinite(value))
        return no_value;
    return static_cast<float>(value);
}

// The point's ele and time among its children, and an hr at any depth of its extensions;
// takes the point's end.
void read_extras(Reader& reader, track_point& point) {
    // Depth below the point, and the depth of the extensions element we are in (0: none).
    long depth = 0;
    long extensions = 0;
    std::string_view last;
    for (;;) {
        const xmlm_shit::Signal signal = reader.next();
        if (signal.kind == xmlm_shit::Signal::Kind::element_start) {
            last = signal.tag->name();
            if (++depth == 1 && last == "extensions") extensions = 1;
            continue;
        }
        if (depth == 0) return;
        if (depth == 1 && last == "ele") point.elevation = to_measure(reader.text());
        if (depth == 1 && last == "time") point.time = parse_time(reader.text());
        if (extensions > 0 && depth > 1 && last == "hr") point.heart_rate = to_measure(reader.text());
        if (depth == 1) extensions = 0;
        last = {};
        --depth;
    }
}

enum class point_fault { none, missing, bad_number };

// A missing lat or lon is found before the content is read, a bad text only once it is,
// so malformed content inside the point is reported first. `why` tells a person which.
point_fault read_point(const Tag& tag, Reader& reader, track_point& point, std::string& why,
                       bool extras) {
    const std::string* lat = tag.attribute("lat");
    const std::string* lon = lat ? tag.attribute("lon") : nullptr;
    if (!lon) {
        why = format("the %s has no %s attribute", std::string(tag.name()).c_str(),
                     lat ? "lon" : "lat");
        return point_fault::missing;
    }
    // Converted while the tag is at hand, lon first.
    const std::optional<double> lon_value = to_coordinate(*lon);
    const std::optional<double> lat_value = to_coordinate(*lat);
    if (!lon_value || !lat_value) {
        why = !lon_value ? "the lon value " + quoted_excerpt(*lon) + " is not a number"
                         : "the lat value " + quoted_excerpt(*lat) + " is not a number";
    }
    if (extras) {
        read_extras(reader, point);
    } else {
        xmlm_shit::skip_element(reader);
    }
    if (!lon_value || !lat_value) return point_fault::bad_number;
    point.lat = *lat_value;
    point.lon = *lon_value;
    return point_fault::none;
}

// The points named `name` among the children of the element just started. A track's faults
// end the run at once; a route's (`fault` given) are kept in `fault`, the first one only,
// since they count only if the route is drawn. Not filter_children: a point that is read
// but left out is neither a result nor skipped.
track_segment read_points(Reader& reader, std::string_view name, skipped_points& skipped,
                          std::exception_ptr* fault, bool extras) {
    track_segment points;
    for (;;) {
        const xmlm_shit::Signal signal = reader.next();
        if (signal.kind == xmlm_shit::Signal::Kind::element_end) return points;
        if (signal.tag->name() != name) {
            xmlm_shit::skip_element(reader);
            continue;
        }
        const long line = signal.tag->line();
        const long column = signal.tag->column();
        track_point point{};
        std::string why;
        const point_fault result = read_point(*signal.tag, reader, point, why, extras);
        if (result != point_fault::none) {
            Fatal_error error =
                result == point_fault::missing ? not_found() : failure("float_of_string");
            error.note = format("line %ld, column %ld: ", line, column) + why;
            if (!fault) throw error;
            if (!*fault) *fault = std::make_exception_ptr(error);
            if (result == point_fault::missing) xmlm_shit::skip_element(reader);
        } else if (is_position(point)) {
            points.push_back(point);
        } else if (skipped.count++ == 0) {
            skipped.line = line;
            skipped.column = column;
        }
    }
}

// Takes signals up to the gpx element's start, at any depth, as long as no element ends.
void find_gpx(Reader& reader) {
    std::string root;
    for (;;) {
        const xmlm_shit::Signal signal = reader.next();
        if (signal.kind == xmlm_shit::Signal::Kind::element_end)
            throw failure("not a GPX document: the root element is <" + root + ">");
        if (root.empty()) root = signal.tag->name();
        if (signal.tag->name() == "gpx") return;
    }
}

// A waypoint's place, when it is a position.
std::optional<track_point> waypoint_place(const Tag& tag) {
    const std::string* lat = tag.attribute("lat");
    const std::string* lon = tag.attribute("lon");
    const std::optional<double> lat_value = lat ? to_coordinate(*lat) : std::nullopt;
    const std::optional<double> lon_value = lon ? to_coordinate(*lon) : std::nullopt;
    if (!lat_value || !lon_value) return std::nullopt;
    const track_point point{*lat_value, *lon_value};
    return is_position(point) ? std::optional(point) : std::nullopt;
}

// The text of the waypoint's first name child, its end taken; kept with `place` when the
// waypoint is a position.
void read_waypoint(Reader& reader, const std::optional<track_point>& place,
                   waypoint_list& marks) {
    std::optional<std::string> name;
    bool in_name = false;
    for (long depth = 1; depth > 0;) {
        const xmlm_shit::Signal signal = reader.next();
        if (signal.kind == xmlm_shit::Signal::Kind::element_start) {
            in_name = ++depth == 2 && signal.tag->name() == "name";
        } else if (depth-- == 2 && in_name && !name) {
            name = std::string(reader.text());
        }
    }
    if (!place) return;
    marks.points.push_back(*place);
    marks.names.push_back(name.value_or(""));
}

bool has_points(const track& t) {
    return std::ranges::any_of(t, [](const track_segment& s) { return !s.empty(); });
}

bool has_points(const track_list& tracks) {
    return std::ranges::any_of(tracks, [](const track& t) { return has_points(t); });
}

// The first of two skipped counts, in document order, with their total.
skipped_points merged(const skipped_points& a, const skipped_points& b) {
    if (a.count == 0) return b;
    if (b.count == 0) return a;
    const bool a_first = a.line < b.line || (a.line == b.line && a.column < b.column);
    skipped_points first = a_first ? a : b;
    first.count = a.count + b.count;
    return first;
}

// One pass over all points in order; a point replaces the current value only when strictly
// better, so NaN and ties never do.
template <class Better>
double best(const track_list& tracks, double track_point::*field, double start, Better better) {
    double current = start;
    for (const track& track : tracks)
        for (const track_segment& segment : track)
            for (const track_point& point : segment)
                if (better(point.*field, current)) current = point.*field;
    return current;
}

}  // namespace

bool is_position(const track_point& point) {
    // NaN fails every comparison, infinities the ranges.
    return point.lat >= -90.0 && point.lat <= 90.0 && point.lon >= -180.0 && point.lon <= 180.0;
}

gpx_document read_document(xmlm_shit::Byte_source& input, bool routes, const reading_options& options) {
    using xmlm_shit::filter_children;
    using xmlm_shit::match_element;
    gpx_document document;
    track_list route_tracks;
    skipped_points route_skipped;
    std::exception_ptr route_fault;
    // Once a track point is in, routes are not drawn without the flag: not even kept.
    bool routes_dropped = false;
    long routes_hidden = 0;
    const auto hidden = [&](track& t) {
        if (!options.hide) return false;
        const bool had = has_points(t);
        const bool whole = options.hide(t);
        // Sparse points can all fall within the ends of a long track, or in zones.
        if (had && !has_points(t)) document.emptied = true;
        return whole;
    };

    Reader reader(input, options.waypoints || options.extras);
    find_gpx(reader);
    for (;;) {
        const xmlm_shit::Signal signal = reader.next();
        if (signal.kind == xmlm_shit::Signal::Kind::element_end) break;
        const std::string_view name = signal.tag->name();
        if (name == "trk") {
            document.tracks.push_back(
                filter_children(reader, match_element("trkseg", [&document, &options](const Tag&, Reader& r) {
                                    return read_points(r, "trkpt", document.skipped, nullptr,
                                                       options.extras);
                                })));
            if (hidden(document.tracks.back())) ++document.hidden_tracks;
            if (!routes && !routes_dropped && has_points(document.tracks.back())) {
                routes_dropped = true;
                route_tracks.clear();
                route_tracks.shrink_to_fit();
            }
        } else if (name == "rte" && !routes_dropped) {
            route_tracks.push_back({read_points(reader, "rtept", route_skipped, &route_fault,
                                                options.extras)});
            if (hidden(route_tracks.back())) ++routes_hidden;
        } else if (name == "wpt") {
            std::optional<track_point> place;
            if (options.waypoints || options.hides_waypoint) place = waypoint_place(*signal.tag);
            // One in a zone is as if deleted from the document: not even counted.
            const bool hidden = place && options.hides_waypoint && options.hides_waypoint(*place);
            if (hidden) place.reset();
            if (!hidden) ++document.waypoints;
            if (options.waypoints) {
                read_waypoint(reader, place, document.marks);
            } else {
                xmlm_shit::skip_element(reader);
            }
        } else {
            xmlm_shit::skip_element(reader);
        }
    }
    if (routes_dropped || (!routes && has_points(document.tracks))) return document;
    if (route_fault) std::rethrow_exception(route_fault);
    document.skipped = merged(document.skipped, route_skipped);
    document.hidden_tracks += routes_hidden;
    std::ranges::move(route_tracks, std::back_inserter(document.tracks));
    return document;
}

track_list read_gpx(xmlm_shit::Byte_source& input, skipped_points& skipped) {
    gpx_document document = read_document(input, false);
    skipped = document.skipped;
    return std::move(document.tracks);
}

track_list read_gpx(xmlm_shit::Byte_source& input) {
    skipped_points skipped;
    return read_gpx(input, skipped);
}

std::string skipped_message(const skipped_points& skipped) {
    if (skipped.count == 0) return "";
    if (skipped.count == 1)
        return format(
            "plotr: skipped 1 track point that is not a position on Earth, at line %ld, "
            "column %ld\n",
            skipped.line, skipped.column);
    return format(
        "plotr: skipped %ld track points that are not positions on Earth, the first at "
        "line %ld, column %ld\n",
        skipped.count, skipped.line, skipped.column);
}

double min_lat(const track_list& tracks) {
    const double value = best(tracks, &track_point::lat, 666.0, std::less<>());
    if (value == 666.0) throw assert_failure();
    return value;
}

double max_lat(const track_list& tracks) {
    const double value = best(tracks, &track_point::lat, -666.0, std::greater<>());
    if (value == -666.0) throw assert_failure();
    return value;
}

double min_lon(const track_list& tracks) {
    const double value = best(tracks, &track_point::lon, 666.0, std::less<>());
    if (value == 666.0) throw assert_failure();
    return value;
}

double max_lon(const track_list& tracks) {
    const double value = best(tracks, &track_point::lon, -666.0, std::greater<>());
    if (value == -666.0) throw assert_failure();
    return value;
}

double parse_time(std::string_view t) {
    while (!t.empty() && is_space_char(t.front())) t.remove_prefix(1);
    while (!t.empty() && is_space_char(t.back())) t.remove_suffix(1);
    size_t at = 0;
    // `count` digits, or -1.
    const auto digits = [&](size_t count) {
        long value = 0;
        for (size_t i = 0; i < count; ++i, ++at) {
            if (at >= t.size() || t[at] < '0' || t[at] > '9') return -1L;
            value = value * 10 + (t[at] - '0');
        }
        return value;
    };
    const auto take = [&](char c) { return at < t.size() && t[at] == c ? (++at, true) : false; };
    const long year = digits(4);
    if (!take('-')) return no_value;
    const long month = digits(2);
    if (!take('-')) return no_value;
    const long day = digits(2);
    if (!take('T') && !take('t')) return no_value;
    const long hour = digits(2);
    if (!take(':')) return no_value;
    const long minute = digits(2);
    if (!take(':')) return no_value;
    const long second = digits(2);
    if (year < 0 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 24 ||
        minute < 0 || minute > 59 || second < 0 || second > 60)
        return no_value;
    double fraction = 0;
    if (take('.') || take(',')) {
        double weight = 0.1;
        const size_t first = at;
        for (; at < t.size() && t[at] >= '0' && t[at] <= '9'; ++at, weight /= 10)
            fraction += (t[at] - '0') * weight;
        if (at == first) return no_value;
    }
    long offset = 0;  // seconds east of UTC
    if (take('Z') || take('z')) {
    } else if (at < t.size() && (t[at] == '+' || t[at] == '-')) {
        const long sign = t[at++] == '-' ? -1 : 1;
        const long hours = digits(2);
        take(':');
        const long minutes = digits(2);
        if (hours < 0 || hours > 23 || minutes < 0 || minutes > 59) return no_value;
        offset = sign * (hours * 3600 + minutes * 60);
    }
    if (at != t.size()) return no_value;
    return static_cast<double>(days_from_civil(year, month, day) * 86400 + hour * 3600 +
                               minute * 60 + second - offset) +
           fraction;
}

double parse_coordinate(std::string_view text) {
    if (const std::optional<double> value = to_coordinate(text)) return *value;
    throw failure("float_of_string");
}

}  // namespace plotr
