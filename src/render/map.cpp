#include "render/map.h"

#include <algorithm>
#include <cmath>

#include "common/failure.h"
#include "common/text.h"

namespace plotr {

namespace {

// The tile's offset from the canvas origin, worked out in doubles: an origin
// may lie beyond any integer type, or be no number at all. Whole numbers below
// 2^53 subtract exactly, so ordinary offsets are those of integer arithmetic.
// Anything past `far` is clamped there, well off any canvas, where the paste
// leaves the canvas as it is, while MagickCore's own sums of offset and size
// stay in range.
long offset_on_canvas(long side, int tile_index, double canvas_origin) {
    constexpr double far = 1L << 40;
    // Floor, not truncation: a canvas reaching west of the world has a negative origin.
    const double offset = static_cast<double>(side) * tile_index - std::floor(canvas_origin);
    return std::isnan(offset) ? static_cast<long>(far)
                              : static_cast<long>(std::clamp(offset, -far, far));
}

}  // namespace

std::string tile_size_hint(long width, long height, long expected_side, int scale, bool retina) {
    const long per_scale = retina ? scale : 1;
    const long side = width / per_scale;
    const bool fits = width == height && width % per_scale == 0 && (side == 256 || side == 512);
    return format("plotr: the tiles are %ldx%ld pixels, not %ldx%ld; ", width, height,
                  expected_side, expected_side) +
           (fits ? format("-tile-size %ld fits them\n", side)
                 : std::string("neither -tile-size 256 nor 512 fits them\n"));
}

void paste_tile(const assembly_context& context, const tile_entry& entry) {
    image_handle tile = [&] {
        try {
            return entry.data.empty() ? read_image(entry.file, entry.fd)
                                      : read_image_data(entry.data, entry.file);
        } catch (Fatal_error& error) {
            if (!entry.url.empty()) {
                error.note = "the tile from " + entry.url + " could not be read as a picture";
            }
            throw;
        }
    }();
    const long width = image_width(tile);
    const long height = image_height(tile);
    if (width != context.expected_side || height != context.expected_side) {
        if (context.odd_tile) {
            context.odd_tile(width, height);
        }
    } else if (context.side != context.expected_side) {
        tile = resize_image(tile, context.side, context.side);
    }
    const long left = offset_on_canvas(context.side, entry.x, context.canvas_left);
    const long top = offset_on_canvas(context.side, entry.y, context.canvas_top);
    composite_image(context.canvas, tile, OverCompositeOp, left, top);
}

Map_assembly::Map_assembly(image_handle& canvas, const tile_grid& grid, Console& console)
    : context_{.canvas = canvas,
               .canvas_top = grid.origin_top,
               .canvas_left = grid.origin_left,
               .side = grid.side,
               .expected_side = grid.expected_side,
               .odd_tile = [this, &console, grid](long width, long height) {
                   if (!told_) {
                       told_ = true;
                       // "@2x" at scale 3: the density asked for, not the scale.
                       const bool retina = grid.retina[0] != '\0';
                       console.err(tile_size_hint(width, height, grid.expected_side,
                                                  retina ? grid.retina[1] - '0' : grid.scale,
                                                  retina));
                   }
               }} {}

void Map_assembly::paste(const tile_entry& entry) {
    any_tile_ = true;
    paste_tile(context_, entry);
}

void tone_map(image_handle& canvas, const std::string& tone) {
    if (tone == "grey") desaturate(canvas);
    if (tone == "dim") fade_toward_white(canvas, 0.5);
}

bool reads_as_picture(const std::string& file) {
    try {
        read_image(file);
        return true;
    } catch (const Fatal_error&) {
        return false;
    }
}

}  // namespace plotr
