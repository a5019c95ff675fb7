#pragma once

#include <string>

namespace plotr {

/// Inclusive tile columns and rows that the canvas touches. They may lie
/// outside the world (negative, or past last_tile_index).
struct tile_range {
    int first_column;
    int last_column;
    int first_row;
    int last_row;
};

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

/// Tile column or row of a world pixel coordinate, truncated toward zero
/// (-100 gives 0, -300 gives -1); saturating for values that are not finite.
int tile_index(double v);

/// Centres a width x height canvas on the box at zoom z. Prints nothing.
canvas_layout lay_out_canvas(int z, double min_lat, double max_lat, double min_lon, double max_lon,
                             int width, int height);

/// The six report lines: gpx height and width, then the four canvas edges.
std::string layout_messages(const canvas_layout& layout);

}  // namespace plotr
