#pragma once

#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/console.h"
#include "common/shell.h"
#include "geo/layout.h"
#include "tiles/curl_commands.h"
#include "tiles/tile_cache.h"

namespace plotr {

/// One tile ready to paste: its column, row and file. All tiles of a run share
/// its zoom. `cached`: the file is a cache entry, not yet read by this run.
struct tile_entry {
    int x;
    int y;
    std::string file;
    bool cached = false;
    bool operator==(const tile_entry&) const = default;
};

/// What a tile source needs besides the tile range.
struct tile_source_settings {
    /// Gives the directory to download into; asked once, before the first
    /// download, so a run that downloads nothing creates nothing.
    std::function<std::string()> temp_dir;
    int zoom;
    std::string url_template;
    int last_tile_index;
    /// Runs the "mkdir -p" and "curl" command lines.
    const Shell& shell;
    Console& console;
    /// The folder of tiles kept between runs; none when empty.
    std::string cache_dir = {};
    /// Downloads at once: above 1, all tiles go to one curl command.
    int parallel = 1;
    /// A provider's manners, or a user agent alone; none by default.
    Manners manners = {};
    /// The clock that ages cache entries and reads Retry-After dates.
    std::function<std::time_t()> now = [] { return std::time(nullptr); };
};

/// Reads a tile and lays it on the picture; throws Fatal_error when the file
/// is no picture.
using Tile_paste = std::function<void(const tile_entry&)>;

/// Every tile of a range, from the cache or the server: the one place that
/// knows where a tile comes from, when it is fresh, and what is kept.
class Tile_source {
public:
    /// Clamps the range to the world and opens the cache (see Tile_cache, which
    /// throws Failure for a folder it cannot use) for the columns that remain.
    Tile_source(tile_source_settings settings, const tile_range& range);

    /// Brings every tile to a file: columns ascending, rows ascending within a
    /// column, each with "mkdir -p" and "curl", printing "downloading tile <url>"
    /// (flushed) before each download. A fresh cache entry is used as it is,
    /// with no line and no command; a stale one is asked for with its time as
    /// condition and kept (and marked fresh) when the server has nothing newer.
    /// With `parallel` above 1, the lines come first and one curl command then
    /// downloads them all; a failed transfer ends the run as the one-tile
    /// command of the first failed tile would. Politely, failed transfers are
    /// retried as retry_wait says (in the batch, as a new batch) and a final
    /// failure adds its http_status_line. Gives the tiles with the last
    /// column first and each column's rows ascending.
    std::vector<tile_entry> fetch();

    /// Fetches, then hands each tile to `paste` in that order, at a safe point
    /// of the shell each. A cache entry that cannot be read is downloaded
    /// anew, without condition; a downloaded tile that was read enters the cache.
    void deliver(const Tile_paste& paste);

private:
    // One tile still to be had from the server.
    struct download {
        int x;
        int y;
        std::string url;
        std::string file;
        std::optional<std::time_t> since;  // a stale cache entry's time
    };

    void plan();
    download planned(int x, int y, std::optional<std::time_t> since);
    void download_one(const download& tile) const;
    void download_batch() const;
    void pause(int seconds) const;
    void confirm_not_modified();
    std::vector<tile_entry> listed() const;
    tile_entry fetch_again(int x, int y);

    tile_source_settings settings_;
    int first_column_;
    int last_column_;
    int first_row_;
    int last_row_;
    std::optional<Tile_cache> cache_;
    std::string temp_dir_;
    std::vector<std::vector<tile_entry>> columns_;
    std::vector<download> downloads_;
};

}  // namespace plotr
