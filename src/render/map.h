#pragma once

#include "render/imaging.h"
#include "tiles/tile_source.h"

namespace plotr {

/// Where the canvas lies in the world pixel plane of the run's zoom.
struct assembly_context {
    image_handle& canvas;
    double canvas_top;
    double canvas_left;
};

/// Reads the tile's file (its open descriptor when it has one) and pastes it with its top-left corner at world pixel
/// (256 x, 256 y), relative to the floored canvas origin. Fails as read_image
/// and composite_image do.
void paste_tile(const assembly_context& context, const tile_entry& entry);

}  // namespace plotr
