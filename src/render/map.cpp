#include "render/map.h"

#include <algorithm>
#include <cmath>

namespace plotr {

namespace {

// The tile's offset from the canvas origin, worked out in doubles: an origin
// may lie beyond any integer type, or be no number at all. Whole numbers below
// 2^53 subtract exactly, so ordinary offsets are those of integer arithmetic.
// Anything past `far` is clamped there, well off any canvas, where the paste
// leaves the canvas as it is, while MagickCore's own sums of offset and size
// stay in range.
long offset_on_canvas(int tile_index, double canvas_origin) {
    constexpr double far = 1L << 40;
    // Floor, not truncation: a canvas reaching west of the world has a negative origin.
    const double offset = static_cast<double>(tile_size) * tile_index - std::floor(canvas_origin);
    return std::isnan(offset) ? static_cast<long>(far)
                              : static_cast<long>(std::clamp(offset, -far, far));
}

}  // namespace

void paste_tile(const assembly_context& context, const tile_entry& entry) {
    const image_handle tile = read_image(entry.file, entry.fd);
    const long left = offset_on_canvas(entry.x, context.canvas_left);
    const long top = offset_on_canvas(entry.y, context.canvas_top);
    composite_image(context.canvas, tile, OverCompositeOp, left, top);
}

}  // namespace plotr
