#include "gpx/track.h"

#include <locale.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <functional>
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

track_point read_point(const Tag& tag, Reader& reader) {
    const std::string* lat = tag.attribute("lat");
    if (!lat) throw not_found();
    const std::string* lon = tag.attribute("lon");
    if (!lon) throw not_found();
    // Converted while the tag is at hand, but a bad text only fails once the content is
    // read, so malformed content inside the trkpt is reported first.
    const std::optional<double> lon_value = to_coordinate(*lon);
    const std::optional<double> lat_value = to_coordinate(*lat);
    xmlm_shit::skip_element(reader);
    if (!lon_value || !lat_value) throw failure("float_of_string");
    return {*lat_value, *lon_value};
}

// Not filter_children: a trkpt that is read but left out is neither a result nor skipped.
track_segment read_segment(Reader& reader, skipped_points& skipped) {
    track_segment points;
    for (;;) {
        const xmlm_shit::Signal signal = reader.next();
        if (signal.kind == xmlm_shit::Signal::Kind::element_end) return points;
        if (signal.tag->name() != "trkpt") {
            xmlm_shit::skip_element(reader);
            continue;
        }
        const long line = signal.tag->line();
        const long column = signal.tag->column();
        const track_point point = read_point(*signal.tag, reader);
        if (is_position(point)) {
            points.push_back(point);
        } else if (skipped.count++ == 0) {
            skipped.line = line;
            skipped.column = column;
        }
    }
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

track_list read_gpx(xmlm_shit::Byte_source& input, skipped_points& skipped) {
    using xmlm_shit::filter_children;
    using xmlm_shit::match_element;
    const auto read_track = [&skipped](const Tag&, Reader& reader) {
        return filter_children(reader, match_element("trkseg", [&skipped](const Tag&, Reader& r) {
                                   return read_segment(r, skipped);
                               }));
    };
    const auto read_tracks = [&read_track](const Tag&, Reader& reader) {
        return filter_children(reader, match_element("trk", read_track));
    };
    Reader reader(input);
    return xmlm_shit::find_element("gpx", reader, read_tracks);
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

double parse_coordinate(std::string_view text) {
    if (const std::optional<double> value = to_coordinate(text)) return *value;
    throw failure("float_of_string");
}

}  // namespace plotr
