#pragma once

// A heat map: how many rides pass each pixel, drawn in place of their lines.

#include <string>
#include <vector>

#include "gpx/track.h"
#include "render/attribution.h"
#include "render/track_drawing.h"

namespace plotr {

/// Where on the palette (0..1) a pixel that `count` rides cover lies, when at most
/// `most` rides cover one pixel: logarithmic, 1 at `most`; one ride gives a little above 0.
double heat_level(double count, double most);

/// Draws the rides of `tracks` (`ends` splits them into documents, one ride each) as a
/// heat map over the canvas of `context` (its zoom, origin, scale and line width; pins
/// and colour are not used): each ride covers the pixels its line covers, once however
/// often it passes; the counts go through a heat palette, transparent where none is.
/// A legend in the top-left corner names the count of the brightest colour, in `font`.
/// Fails as the imaging operations do.
void draw_heatmap(const drawing_context& context, const track_list& tracks,
                  const std::vector<size_t>& ends, const std::string& font = attribution_font);

}  // namespace plotr
