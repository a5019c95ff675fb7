#pragma once

// The ride's story on the picture: the palette of a measured line, its legend, and the
// elevation profile strip.

#include <optional>
#include <string>

#include "geo/ride_story.h"
#include "render/imaging.h"
#include "render/track_drawing.h"

namespace plotr {

/// The points' colours for `ride`: viridis for a sequential measure, a blue-white-red
/// diverging palette (blue for descents) for grade; 64 steps from low to high.
line_shades shades_of(const measured_ride& ride);

/// The legend in the top-left corner: the palette between its lowest and highest value,
/// with the unit, on a translucent white box, in the credit line's font.
void draw_legend(image_handle& canvas, const measured_ride& ride, const std::string& font,
                 int scale);

/// The strip in the bottom `height` pixels: the elevation over the distance as a filled
/// area (in `color`, or `ride`'s colours when given), a distance axis with round ticks,
/// the lowest and highest elevation, and the figures line.
void draw_profile(image_handle& canvas, long height, const ride_figures& figures,
                  color_quad color, const measured_ride* ride, const line_shades* shades,
                  unit_system units, const std::string& font, int scale);

/// What a run tells of its ride besides the line, worked out before any download.
struct ride_story {
    std::optional<measured_ride> ride;  ///< with -color-by
    line_shades shades;
    std::optional<ride_figures> figures;  ///< with -profile
    unit_system units = unit_system::metric;
    long strip = 0;  ///< the strip's height in canvas pixels; 0: none
};

/// The story for `color_by` ("" for none), a strip `profile` pixels high (times `scale`)
/// and `units` ("metric" or "imperial"). Throws what measure_ride and ride_figures_of throw.
ride_story tell_story(const track_list& tracks, const std::string& color_by,
                      std::optional<int> profile, const std::string& units, int scale);

/// The legend and the strip of the story, if any.
void draw_story(image_handle& canvas, const ride_story& story, color_quad color,
                const std::string& font, int scale);

}  // namespace plotr
