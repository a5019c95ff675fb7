#pragma once

// Text in any script: MagickCore draws each call in one font and falls back
// to no other, so a line is cut into runs, each in the font that has its script.

#include <string>
#include <vector>

#include "render/imaging.h"

namespace plotr {

/// Where Debian's fonts-noto-core, fonts-noto-cjk and fonts-symbola put theirs. Emoji
/// come from Symbola: MagickCore cannot draw the colour bitmaps of Noto Color Emoji.
inline constexpr const char* noto_folder = "/usr/share/fonts/truetype/noto/";
inline constexpr const char* noto_cjk_font = "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc";
inline constexpr const char* emoji_font = "/usr/share/fonts/truetype/ancient-scripts/Symbola_hint.ttf";

/// A piece of a line drawn in one font, in the order it is drawn (left to right).
struct text_run {
    std::string text;
    std::string font;
};

/// Cuts valid UTF-8 text into runs: Arabic, Hebrew, Thai, Devanagari, Chinese,
/// Japanese, Korean in their Noto font and emoji in Symbola where installed, all else in
/// `base`; spaces, digits and punctuation stay in the run they stand in. Right-to-left
/// runs are given in the order they are seen. Text all in `base` is one run, as given.
std::vector<text_run> script_runs(const std::string& text, const std::string& base);

/// The runs' extent in `style` (its font replaced by each run's): the widths summed,
/// the tallest ascent and descent. A run whose font does not load is taken in the
/// style's font. Fails as measure_text does.
text_extent measure_runs(image_handle& image, const std::vector<text_run>& runs,
                         const text_style& style);

/// Draws the runs one after the other from (x, y) on the baseline, as measure_runs
/// measures them; fails as draw_text.
void draw_runs(image_handle& image, const std::vector<text_run>& runs, const text_style& style,
               long x, long y);

}  // namespace plotr
