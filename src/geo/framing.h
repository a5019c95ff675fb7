#pragma once

#include <optional>
#include <string>

#include "geo/bounds.h"
#include "geo/layout.h"
#include "geo/zoom.h"
#include "gpx/track.h"

namespace plotr {

/// A place in degrees.
struct geo_point {
    double lat;
    double lon;
    bool operator==(const geo_point&) const = default;
};

/// How the picture is to be framed: its size, the area the ground must fit,
/// and what the user fixed.
struct framing_request {
    int width;
    int height;
    int usable_width;   ///< the width less the horizontal padding
    int usable_height;  ///< the height less the vertical padding
    int zoom_limit = max_zoom;
    int zoom_floor = 0;  ///< the lowest zoom there are tiles for
    /// Pixels kept clear inside every edge; the ground with `reach` must fit
    /// within them. None: the plain fit.
    std::optional<int> margin = std::nullopt;
    drawing_reach reach = {};
    bool pins = true;  ///< `reach` holds the pins (for the message)
    std::optional<int> zoom = std::nullopt;
    std::optional<geo_point> center = std::nullopt;
    std::optional<bounds> box = std::nullopt;  ///< west past east: across the antimeridian
};

/// The zoom, the canvas and what to say about them.
struct framing {
    zoom_choice zoom;
    canvas_layout layout;
    /// The canvas may leave the world sideways and the map goes on there:
    /// tile columns are taken modulo 2^zoom.
    bool wraps = false;
    std::string report;   ///< for standard output: the zoom and layout lines
    std::string warning;  ///< for standard error; "" for none
};

/// Frames the picture: the ground is the request's box, else the tracks' box;
/// the centre is the request's, else the ground's middle; the zoom is the
/// request's, else the largest at which the ground, centred there, fits the
/// usable area. Settles the tracks' points first (see settle_points), near
/// the centre asked for. Waypoints, when given, are settled and framed as
/// one more track after the others.
framing frame_picture(track_list& tracks, const framing_request& request,
                      track_segment* waypoints = nullptr);

}  // namespace plotr
