#pragma once

#include <string>

#include "geo/layout.h"
#include "geo/projection.h"

namespace plotr {

/// How the zoom was chosen: every value that the zoom messages report.
struct zoom_choice {
    double diagonal;    // metres from the south-west to the north-east corner
    bool short_track;   // diagonal below 20 m: maximum zoom at once, no bounds
    int width_bound;    // largest zoom at which the box fits the usable width
    int height_bound;   // the same for the usable height
    int smaller_bound;  // the smaller of the two
    int zoom;           // the result, clamped to 0 .. limit
    int limit;          // the highest zoom allowed
    bool fits = true;   // the drawing fits at `zoom` (choose_zoom_within only)
};

/// The largest zoom (0 to `limit`, max_zoom unless a tile provider serves
/// less or more) at which the box fits into usable_width x usable_height
/// pixels. Bounds that are not finite saturate (see truncate_to_int), so any
/// input gives a zoom in range. Prints nothing.
zoom_choice choose_zoom(const bounds& box, int usable_width, int usable_height,
                        int limit = max_zoom);

/// The largest zoom at which the box widened by `reach` fits into
/// usable_width x usable_height: the bounds are those of choose_zoom for the
/// usable sizes less the reach. A short track keeps the
/// maximum zoom only where the drawing fits there. `fits` is false when even
/// zoom 0 is too large. Prints nothing.
zoom_choice choose_zoom_within(const bounds& box, int usable_width, int usable_height,
                               const drawing_reach& reach, int limit = max_zoom);

/// The messages that explain the choice, in order. "zoom is too low, choose 0"
/// has no line break: the next message continues its line.
std::string zoom_messages(const zoom_choice& choice);

}  // namespace plotr
