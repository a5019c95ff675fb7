#include "gpx/track.h"

#include <locale.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

#include "common/failure.h"

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

track_segment read_segment(const Tag&, Reader& reader) {
    return xmlm_shit::filter_children(reader, xmlm_shit::match_element("trkpt", read_point));
}

track read_track(const Tag&, Reader& reader) {
    return xmlm_shit::filter_children(reader, xmlm_shit::match_element("trkseg", read_segment));
}

track_list read_tracks(const Tag&, Reader& reader) {
    return xmlm_shit::filter_children(reader, xmlm_shit::match_element("trk", read_track));
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

track_list read_gpx(xmlm_shit::Byte_source& input) {
    Reader reader(input);
    return xmlm_shit::find_element("gpx", reader, read_tracks);
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
