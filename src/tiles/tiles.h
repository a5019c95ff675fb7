#pragma once

#include <functional>
#include <string>
#include <vector>

#include "cli/shell.h"
#include "common/console.h"
#include "geo/layout.h"

namespace plotr {

/// One downloaded tile: its column, row and file. All tiles of a run share its zoom.
struct tile_entry {
    int x;
    int y;
    std::string file;
    bool operator==(const tile_entry&) const = default;
};

/// What downloading needs besides the tile range.
struct download_context {
    /// Gives the directory to download into; asked once, before the first tile,
    /// so a run without tiles creates nothing.
    std::function<std::string()> temp_dir;
    int zoom;
    std::string url_template;
    int last_tile_index;
    /// Runs the "mkdir -p" and "curl" command lines.
    const Shell& shell;
    Console& console;
};

/// The template with the first "{s}" replaced by "a", then the first "{z}",
/// "{x}" and "{y}" by the numbers. Other occurrences stay as they are.
std::string tile_url(const std::string& url_template, int z, int x, int y);

/// Downloads every tile of the range that lies in the world: columns ascending,
/// rows ascending within a column, each with "mkdir -p" and "curl", printing
/// "downloading tile <url>" (flushed) before each download. Returns the entries
/// with the last column first and each column's rows ascending.
std::vector<tile_entry> fetch_tiles(const download_context& context, const tile_range& range);

}  // namespace plotr
