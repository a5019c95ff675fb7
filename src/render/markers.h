#pragma once

#include <optional>
#include <string>

#include "geo/layout.h"
#include "gpx/track.h"
#include "render/imaging.h"

namespace plotr {

struct drawing_context;

/// The three pin images, found beside the program as <exe_dir>/../share/plotr.
struct marker_paths {
    std::string start_icon;
    std::string end_icon;
    std::string shadow_icon;
};

/// Plain concatenation, no normalisation: /usr/bin gives
/// /usr/bin/../share/plotr/pin-icon-start.png and so on; at a scale above 1,
/// the images made for it, pin-icon-start@2x.png and so on.
marker_paths marker_paths_for(const std::string& exe_dir, int scale = 1);

/// The start and end pins and their shadow.
struct marker_images {
    image_handle start;
    image_handle end;
    image_handle shadow;
};

/// The run's pins: read once, when first needed, in the order start, end, shadow.
class Markers {
public:
    Markers(const std::string& exe_dir, int scale);

    /// Reads them if not yet read; fails as read_image does.
    const marker_images& images();

    /// How far a line of `line_width` and (unless `nomarkers`) the pins reach
    /// past the points, in pixels of scale 1. Reads the pins.
    drawing_reach reach(int line_width, bool nomarkers);

private:
    marker_paths paths_;
    int scale_;
    std::optional<marker_images> images_;
};

/// How far a line of `line_width` pixels reaches past the points it joins,
/// on every side: its half width, the antialiased pixel and the truncation
/// of the points to whole pixels.
drawing_reach line_reach(double line_width);

/// How far `pin` and `shadow`, pasted by place_marker at `scale`, reach past
/// the point on each side, the truncation of the point included.
drawing_reach marker_reach(const image_handle& pin, const image_handle& shadow, int scale = 1);

/// How far a waypoint's marker reaches past its point at scale 1, the truncation of the
/// point included.
drawing_reach waypoint_reach();

/// Draws each waypoint as a dark dot in a white ring, about 9 pixels across at scale 1
/// (times the context's scale), then their names beside them in `font` (each script in
/// its font), dark on a light halo, cut with "…" past 40 characters, on the left where
/// the right would leave the picture and the left would not. A name that would
/// overlap one drawn before it is left out; its marker stays.
void draw_waypoints(const drawing_context& context, const waypoint_list& waypoints,
                    const std::string& font);

/// Pastes the pin so that its row h-5*scale, centre column, lies on the point; then
/// the shadow at the same offsets, over the pin.
void place_marker(const drawing_context& context, const image_handle& pin,
                  const track_point& point);

}  // namespace plotr
