#include "geo/tile_grid.h"

#include <algorithm>
#include <cmath>

namespace plotr {

namespace {

const char* const retina_suffixes[] = {"", "", "@2x", "@3x", "@4x"};

}  // namespace

tile_grid plan_tile_grid(const canvas_layout& layout, int scale, int provider_side,
                         bool retina_tiles, int zoom_limit, bool wraps) {
    const int z = layout.zoom;
    // A 512-pixel tile covers the ground of a 256-pixel one a level deeper.
    int zoom = provider_side > tile_size ? z - 1 : z;
    if (!retina_tiles) {
        // The first zoom whose tiles, at their own size, are at least as
        // sharp as the canvas.
        while (std::ldexp(provider_side, zoom - z) < tile_size * scale) {
            ++zoom;
        }
    }
    zoom = std::clamp(zoom, 0, std::max(z, zoom_limit));

    tile_grid g{};
    g.zoom = zoom;
    g.scale = scale;
    g.retina = retina_tiles ? retina_suffixes[scale] : "";
    g.expected_side =
        retina_tiles && scale > 1 ? static_cast<long>(provider_side) * scale : provider_side;
    // A tile of `zoom` covers the ground of 2^(z - zoom) layout tiles a side.
    g.side = static_cast<long>(std::ldexp(tile_size * scale, z - zoom));
    // Times 1 is exact: at scale 1 these are the layout's own edges.
    g.origin_left = layout.canvas_left * scale;
    g.origin_top = layout.canvas_top * scale;
    const auto side = static_cast<double>(g.side);
    const double first_column = g.origin_left / side;
    g.tiles = {truncate_to_int(wraps ? std::floor(first_column) : first_column),
               truncate_to_int(layout.canvas_right * scale / side),
               truncate_to_int(g.origin_top / side),
               truncate_to_int(layout.canvas_bottom * scale / side)};
    g.last_tile_index = truncate_to_int(std::pow(2.0, zoom)) - 1;
    return g;
}

}  // namespace plotr
