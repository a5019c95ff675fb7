#include "render/map.h"

#include <cmath>

namespace plotr {

void paste_tile(const assembly_context& context, const tile_entry& entry) {
    const image_handle tile = read_image(entry.file);
    // Floor, not truncation: a canvas reaching west of the world has a negative origin.
    const long left =
        static_cast<long>(tile_size) * entry.x - static_cast<long>(std::floor(context.canvas_left));
    const long top =
        static_cast<long>(tile_size) * entry.y - static_cast<long>(std::floor(context.canvas_top));
    composite_image(context.canvas, tile, OverCompositeOp, left, top);
}

}  // namespace plotr
