#pragma once

// The track points of a GPX document, grouped as the document groups them.

#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "gpx/xmlm_shit.h"

namespace plotr {

inline constexpr double no_value = std::numeric_limits<double>::quiet_NaN();

/// One point in decimal degrees, exactly as converted from its attributes, and what
/// read_document was asked to read beside them (NaN where the point has none).
struct track_point {
    double lat;
    double lon;
    double time = no_value;        ///< seconds since 1970-01-01 UTC
    float elevation = no_value;    ///< metres
    float heart_rate = no_value;   ///< beats per minute
};
using track_segment = std::vector<track_point>;
using track = std::vector<track_segment>;
using track_list = std::vector<track>;

/// Whether the point is a place on Earth: lat within -90..90, lon within -180..180, both
/// finite. Points beyond the map's own latitude limit are places too.
bool is_position(const track_point& point);

/// The points that read_document left out as not positions: how many, and where the
/// first one's start tag stands (line and column from 1).
struct skipped_points {
    long count = 0;
    long line = 0;
    long column = 0;
};

/// Waypoints (wpt) that are positions: where each stands, and its name ("" for none),
/// in document order.
struct waypoint_list {
    track_segment points;
    std::vector<std::string> names;
};

/// What read_document does besides reading the points.
struct reading_options {
    bool waypoints = false;  ///< keep the waypoints in `marks`
    bool extras = false;     ///< read each point's elevation, time and heart rate
    /// Given each track (and each route taken) once it is read, before anything else
    /// looks at it; may remove points. Gives whether it hid the track whole.
    std::function<bool(track&)> hide = {};
    /// Whether a waypoint is to be left out.
    std::function<bool(const track_point&)> hides_waypoint = {};
};

/// One document's points, and what else reading it found.
struct gpx_document {
    track_list tracks;
    skipped_points skipped;
    long waypoints = 0;  ///< wpt children of gpx
    waypoint_list marks;     ///< with reading_options::waypoints only
    long hidden_tracks = 0;  ///< tracks and routes taken that `hide` hid whole
    bool emptied = false;    ///< `hide` left a track or route that had points without any
};

/// Reads the points of gpx/trk/trkseg/trkpt from `input` (nothing after the gpx element),
/// in document order, leaving out those that are not positions (counted in `skipped`; a
/// segment may end up empty). Each gpx/rte becomes one track of one segment of its rtept,
/// after the tracks, when `routes` is set or no track point is left. Throws Xml_error on
/// malformed input, Not_found for a point without lat or lon, Failure("float_of_string")
/// for a bad coordinate (a route's only when it is taken), Failure("not a GPX document: the
/// root element is <NAME>") when an element ends before a gpx element starts. With
/// `options.extras`, each point's ele, time and heart rate (an hr element at any depth in
/// its extensions) are read too; a text that is no number or time counts as none. A
/// waypoint without a position is left out, never a failure.
gpx_document read_document(xmlm_shit::Byte_source& input, bool routes,
                           const reading_options& options = {});

/// An ISO 8601 time such as 2024-05-01T08:30:00Z, 2024-05-01T10:30:00.5+02:00 or one
/// without a zone (taken as UTC), as seconds since 1970-01-01 UTC; NaN for anything else.
double parse_time(std::string_view text);

/// read_document without routes beside tracks: its tracks, and its skipped points.
track_list read_gpx(xmlm_shit::Byte_source& input, skipped_points& skipped);
track_list read_gpx(xmlm_shit::Byte_source& input);

/// The line on standard error that tells of skipped points, newline included; "" for none.
std::string skipped_message(const skipped_points& skipped);

/// The smallest or largest lat or lon of all points; NaN never counts. Throws
/// Assert_failure when no point passes the start value (666.0 for min, -666.0 for max).
double min_lat(const track_list& tracks);
double max_lat(const track_list& tracks);
double min_lon(const track_list& tracks);
double max_lon(const track_list& tracks);

/// A coordinate text as a double: underscores dropped, then C strtod rules with "." as the
/// decimal point, consuming the whole text; out of range gives infinity or zero.
/// Throws Failure("float_of_string") for anything else, "nan(...)" and "" included.
double parse_coordinate(std::string_view text);

}  // namespace plotr
