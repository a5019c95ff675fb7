#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "geo/layout.h"
#include "geo/projection.h"
#include "gpx/track.h"
#include "render/imaging.h"

namespace plotr {

/// The line's colour: the colour text as MagickCore parses it, its alpha (if
/// any) included; for an empty text "#4400FF", 70 % opaque. A text MagickCore
/// refuses fails as color_of_string does.
color_quad track_color(const std::string& text = "");

/// What a pair of start and end pins marks.
enum class pin_unit { segment, track, file };

/// "segment", "track" or "file" as a pin_unit; anything else is segment.
pin_unit pin_unit_of(const std::string& text);

/// The colours of a line coloured by a measure: for every segment in document order
/// (every segment of every track, empty ones included) the colour of each point, as an
/// index into `colors` (whose opacity is ignored: the track colour's applies).
struct line_shades {
    std::vector<std::vector<unsigned char>> points;
    std::vector<color_quad> colors;
};

/// Everything drawing needs, fixed for the run.
struct drawing_context {
    bool nomarkers;
    int zoom;
    /// The canvas's top-left corner in world pixels at `zoom`, times `scale`.
    double canvas_top;
    double canvas_left;
    image_handle& canvas;
    const image_handle& start_pin;
    const image_handle& end_pin;
    const image_handle& shadow;
    color_quad color;
    double line_width = 4.0;  ///< pixels
    int scale = 1;            ///< canvas pixels per world pixel; pins made for it
    pin_unit pins = pin_unit::segment;
    std::optional<color_quad> outline = std::nullopt;  ///< the casing's colour; none: no casing
    const line_shades* shades = nullptr;  ///< none: every line in `color`
};

/// The casing's width under a line of `line_width`: a third of it more on each side, at
/// least a pixel.
double outline_width(double line_width);

/// The segment's points on the canvas.
std::vector<canvas_point> projected(const drawing_context& context, const track_segment& segment);

/// The part of the canvas a line of `width` through the runs can touch (right and bottom
/// exclusive): a layer of that box is all the line needs.
struct line_box {
    long left, top, right, bottom;
};

/// The runs' box, their points moved into it; none when the line misses the canvas.
std::optional<line_box> fit_to_box(const drawing_context& context, std::span<track_run> runs,
                                   double width);

/// Draws the segment's line, evenly translucent along its whole length: opaque as
/// polylines of at most 401 points (or pieces of one colour each, with `shades`, the
/// segment's colours) onto a layer laid once at the colour's opacity; then (unless
/// markers are off) the start pin at its first point and the end pin at its last. An
/// empty segment draws nothing.
void draw_track_segment(const drawing_context& context, const track_segment& segment,
                        const std::vector<unsigned char>* shades = nullptr);

/// Draws every track in order; `ends` splits them into documents (tracks.size() after
/// each). Per segment as draw_track_segment does; per track or file, all lines of the unit
/// first, then the start pin at its first point and the end pin at its last (an empty
/// unit draws no pins). With an outline, every casing goes under every line and pin.
void draw_tracks(const drawing_context& context, const track_list& tracks,
                 const std::vector<size_t>& ends);

}  // namespace plotr
