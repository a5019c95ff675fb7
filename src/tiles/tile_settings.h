#pragma once

#include <optional>
#include <string>

#include "geo/layout.h"
#include "tiles/curl_commands.h"
#include "tiles/provider.h"
#include "tiles/tile_source.h"

namespace plotr {

/// The folder of tiles kept between runs: the one asked for, else with a
/// provider (providers ask for a cache) the default one, else none ("").
std::string cache_folder_for(const std::string& asked, bool provider);

/// How downloads behave: a provider's manners, or a user agent alone.
/// Throws Failure as provider_manners does.
Manners manners_for(const std::optional<Provider>& provider, const std::string& url_template,
                    const std::optional<std::string>& user_agent);

/// The columns a canvas that wraps takes tiles for, as a range of columns
/// of a map that goes on past the antimeridian: all of them, or, for a canvas
/// wider than the world, the 2^zoom (`n`) around its middle, so that each
/// column of the world comes at most once. Rows as they are.
tile_range wrapped_columns(const tile_range& range, int n);

/// `a` divided by `n` (positive), rounded down.
int floor_div(int a, int n);

/// Every tile of the range handed to `paste`, as Tile_source::deliver does.
/// Where the canvas `wraps`, the columns are those of a map that goes on past
/// the antimeridian: each is fetched as its column modulo 2^zoom (at most once,
/// so a canvas wider than the world keeps the columns around its middle), and
/// pasted at its own place.
void deliver_tiles(const tile_source_settings& settings, const tile_range& range, bool wraps,
                   const Tile_paste& paste);

}  // namespace plotr
