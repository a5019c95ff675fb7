#pragma once

#include <string>

#include "geo/layout.h"
#include "gpx/track.h"
#include "render/imaging.h"

namespace plotr {

/// The line's colour: the colour text as MagickCore parses it, its alpha (if
/// any) included; for an empty text "#4400FF", 70 % opaque. A text MagickCore
/// refuses fails as color_of_string does.
color_quad track_color(const std::string& text = "");

/// Everything drawing needs, fixed for the run.
struct drawing_context {
    bool nomarkers;
    int zoom;
    double canvas_top;
    double canvas_left;
    image_handle& canvas;
    const image_handle& start_pin;
    const image_handle& end_pin;
    const image_handle& shadow;
    color_quad color;
    double line_width = 4.0;  ///< pixels
};

/// How far a line of `line_width` pixels reaches past the points it joins,
/// on every side: its half width, the antialiased pixel and the truncation
/// of the points to whole pixels.
drawing_reach line_reach(double line_width);

/// How far `pin` and `shadow`, pasted by place_marker, reach past the point
/// on each side, the truncation of the point included.
drawing_reach marker_reach(const image_handle& pin, const image_handle& shadow);

/// Draws the segment as polylines of at most 401 points, then (unless markers
/// are off) the start pin at its first point and the end pin at its last. An
/// empty segment draws nothing.
void draw_track_segment(const drawing_context& context, const track_segment& segment);

/// Pastes the pin so that its row h-5, centre column, lies on the point; then
/// the shadow at the same offsets, over the pin.
void place_marker(const drawing_context& context, const image_handle& pin,
                  const track_point& point);

}  // namespace plotr
