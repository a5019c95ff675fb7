#pragma once

// The track points of a GPX document, grouped as the document groups them.

#include <string_view>
#include <vector>

#include "gpx/xmlm_shit.h"

namespace plotr {

/// One point in decimal degrees, exactly as converted from its attributes (no range check).
struct track_point {
    double lat;
    double lon;
};
using track_segment = std::vector<track_point>;
using track = std::vector<track_segment>;
using track_list = std::vector<track>;

/// Reads the points of gpx/trk/trkseg/trkpt from `input` (nothing after the gpx element),
/// in document order. Throws Xml_error on malformed input, Not_found for a trkpt without
/// lat or lon, Failure("float_of_string") for a bad coordinate, Assert_failure without gpx.
track_list read_gpx(xmlm_shit::Byte_source& input);

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
