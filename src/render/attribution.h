#pragma once

#include <string>

#include "render/imaging.h"

namespace plotr {

/// DejaVu Sans, where Debian's fonts-dejavu-core installs it.
inline constexpr const char* attribution_font = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

/// The credit line's look: the text's size in pixels, the smallest it may
/// shrink to, the box's margins around the text, and the height of the bottom
/// strip that nothing of it ever leaves.
inline constexpr double attribution_size = 11.0;
inline constexpr double attribution_min_size = 8.0;
inline constexpr long attribution_margin_x = 4;
inline constexpr long attribution_margin_y = 2;
inline constexpr long attribution_strip_height = 18;

/// The text on one line: control characters as blanks, blanks at either end dropped.
std::string single_line(const std::string& text);

/// Fails with Failure("draw_attribution failed: cannot read the font <path>
/// ...") unless the font file can be read and loads as a font.
void check_attribution_font(const std::string& font);

/// Writes the text over the bottom-right corner of the canvas: dark grey on a
/// translucent white box that hugs it with a few pixels of margin, within the
/// bottom strip, each script in its font (see script_runs). Control characters are drawn as blanks, and blanks at either
/// end are dropped; nothing is drawn when nothing is left. A text too wide for
/// the canvas is drawn smaller, down to attribution_min_size, and then cut at a
/// character with "…"; a canvas too narrow for even "…" gets nothing. At
/// `scale` every size and margin is that many times larger. Fails only when
/// the font cannot be read (see check_attribution_font).
/// With `lift`, the strip stands that many pixels above the canvas's bottom edge.
void draw_attribution(image_handle& canvas, const std::string& text,
                      const std::string& font = attribution_font, int scale = 1, long lift = 0);

}  // namespace plotr
