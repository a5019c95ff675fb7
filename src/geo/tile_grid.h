#pragma once

#include "geo/layout.h"
#include "geo/projection.h"

namespace plotr {

/// The largest number of device pixels per picture pixel.
inline constexpr int max_scale = 4;

/// Which tiles cover a canvas drawn `scale` times as large as its layout, and
/// where they go on it. At scale 1 with 256-pixel tiles and no retina tiles it
/// is the layout's own zoom, range and 256-pixel grid.
struct tile_grid {
    int zoom;             ///< of the tiles fetched
    int scale;            ///< device pixels per layout pixel
    const char* retina;   ///< what "{r}" becomes: "@<scale>x", or "" at scale 1
    long expected_side;   ///< pixels of a tile as the provider sends it
    long side;            ///< pixels of a tile on the canvas
    double origin_left;   ///< the canvas's top-left corner, in the grid's
    double origin_top;    ///< pixels (scale times the layout's edges)
    tile_range tiles;     ///< columns and rows at `zoom`; may leave the world
    int last_tile_index;  ///< 2^zoom - 1
};

/// The grid for a layout drawn at `scale` (1..4) from a provider of
/// `provider_side` (256 or 512) pixel tiles; `retina_tiles` when the template
/// holds "{r}". Retina tiles come at the layout's zoom (one less for 512);
/// otherwise the zoom is the shallowest whose tiles need no enlarging, within
/// 0..zoom_limit, and the tiles are resized to `side`. Where the map `wraps`
/// sideways, the first column is that of the canvas's left edge even west of
/// the world (rounded down, not toward zero). Pure arithmetic.
tile_grid plan_tile_grid(const canvas_layout& layout, int scale, int provider_side,
                         bool retina_tiles, int zoom_limit = max_zoom, bool wraps = false);

}  // namespace plotr
