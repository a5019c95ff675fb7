#pragma once

#include <string>

#include "geo/bounds.h"

namespace plotr {

/// Inclusive tile columns and rows that the canvas touches. They may lie
/// outside the world (negative, or past last_tile_index).
struct tile_range {
    int first_column;
    int last_column;
    int first_row;
    int last_row;
};

/// How far the drawing reaches past the track's box, in pixels, on each side:
/// the line's half width, and the pins beside and above their points.
struct drawing_reach {
    double left = 0;
    double right = 0;
    double top = 0;
    double bottom = 0;
};

/// The larger of the two reaches on every side.
drawing_reach widest(const drawing_reach& a, const drawing_reach& b);

/// The reach of a drawing made `scale` times as large, in pixels of scale 1.
drawing_reach scaled_down(const drawing_reach& reach, int scale);

/// Whether the box at zoom z, widened by `reach`, fits into width x height
/// pixels.
bool drawing_fits(int z, const bounds& box, int width, int height, const drawing_reach& reach);

/// The canvas placed in the world pixel plane of its zoom: it covers
/// left <= x < right and top <= y < bottom.
struct canvas_layout {
    int zoom;
    double gpx_height;
    double gpx_width;
    double canvas_top;
    double canvas_bottom;
    double canvas_left;
    double canvas_right;
    tile_range tiles;
    int last_tile_index;  // 2^zoom - 1
};

/// The canvas's extent in degrees (east past 180 across the antimeridian).
bounds layout_bounds(const canvas_layout& layout);

/// Tile column or row of a world pixel coordinate, truncated toward zero
/// (-100 gives 0, -300 gives -1); saturating for values that are not finite.
int tile_index(double v);

/// Centres a width x height canvas on the box at zoom z, widened by `reach`
/// (the box alone without it). gpx_height and gpx_width stay the box's own.
/// Prints nothing.
canvas_layout lay_out_canvas(int z, const bounds& box, int width, int height,
                             const drawing_reach& reach = {});

/// The six report lines: gpx height and width, then the four canvas edges.
std::string layout_messages(const canvas_layout& layout);

}  // namespace plotr
