#pragma once

#include <functional>
#include <string>

#include "common/console.h"
#include "geo/tile_grid.h"
#include "render/imaging.h"
#include "tiles/tile_source.h"

namespace plotr {

/// Where the tiles go on the canvas: the canvas's top-left corner in the tile
/// grid's pixels, and the sides of a tile as sent and as pasted.
struct assembly_context {
    image_handle& canvas;
    double canvas_top;
    double canvas_left;
    long side = 256;           ///< on the canvas
    long expected_side = 256;  ///< as the provider sends it
    /// Told the size of a tile that is not expected_side square, each time.
    std::function<void(long width, long height)> odd_tile = {};
};

/// The line that says tiles came width x height instead of expected_side
/// square, and which -tile-size fits them (their side, divided by the scale
/// when `retina` tiles were asked for), or that neither does.
std::string tile_size_hint(long width, long height, long expected_side, int scale, bool retina);

/// Reads the tile's file (its open descriptor when it has one) and pastes it with its top-left
/// corner at grid pixel (side x, side y), relative to the floored canvas origin. A tile of the
/// expected size is first resized to `side` when that differs; any other is
/// pasted at its own size, and reported to odd_tile. Fails as read_image,
/// resize_image and composite_image do; a tile that does not read has its URL in the note.
void paste_tile(const assembly_context& context, const tile_entry& entry);

/// The run's map: every tile pasted where the grid puts it; the first tile of
/// an odd size is told of on standard error (tile_size_hint), once.
class Map_assembly {
public:
    Map_assembly(image_handle& canvas, const tile_grid& grid, Console& console);
    void paste(const tile_entry& entry);
    /// Whether any tile came.
    bool any_tile() const { return any_tile_; }

private:
    assembly_context context_;
    bool any_tile_ = false;
    bool told_ = false;
};

/// Tones the map on the canvas: "grey" turns it grey, "dim" fades it halfway toward white,
/// anything else ("normal") leaves it as it is. Fails as desaturate and fade_toward_white do.
void tone_map(image_handle& canvas, const std::string& tone);

/// Whether the file reads as a picture.
bool reads_as_picture(const std::string& file);

}  // namespace plotr
