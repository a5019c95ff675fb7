#pragma once

#include <cstdlib>
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
#include "tiles/transfer.h"

namespace plotr {

/// One tile ready to paste: its column, row and file. All tiles of a run share
/// its zoom. `cached`: the file is a cache entry, not yet read by this run;
/// `fd`: the file opened, for the paste to read instead of the path (-1: none);
/// `url`: where it comes from, as printed, for messages (deliver sets it);
/// `data`: the tile's bytes, read from a file of tiles, instead of `file`.
struct tile_entry {
    int x;
    int y;
    std::string file;
    bool cached = false;
    int fd = -1;
    std::string url = {};
    std::string data = {};
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
    /// Whether a downloaded file reads as a picture: only such a file enters
    /// the cache.
    std::function<bool(const std::string& file)> reads = [](const std::string&) { return true; };
    /// How long a transfer may take.
    Transfer_limits limits = transfer_limits(std::getenv("PLOTR_TEST_TIME_SCALE"));
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
    /// condition and kept (and marked fresh) when the server has nothing newer,
    /// or, with a line on standard error, when what it sends does not read.
    /// A downloaded tile that reads enters the cache at once, so a run that
    /// fails later keeps it. A tile that another run is downloading is waited
    /// for (at most `wait_seconds`, then downloaded here) and taken from the
    /// cache. With `parallel` above 1, the lines come first and one curl
    /// command then downloads them all; a failed transfer ends the run as the
    /// failed command, naming the batch's command line. Transfers behave as
    /// Transfers says. A tile that fails for good, the cache holding an older
    /// copy of it, is taken from that copy, and one line on standard error
    /// says how many were and why; an entry dated ahead of the clock is asked
    /// for without condition. Gives the tiles with the last column first and
    /// each column's rows ascending.
    std::vector<tile_entry> fetch();

    /// Fetches, then hands each tile to `paste` in that order, at a safe point
    /// of the shell each; a cache entry goes opened (see tile_entry::fd). An
    /// entry that cannot be read is downloaded anew, without condition.
    void deliver(const Tile_paste& paste);

    static constexpr int wait_seconds = 60;

private:
    // One tile still to be had from the server.
    struct download {
        int x;
        int y;
        std::string url;
        std::string file;
        std::optional<std::time_t> since;  // a stale cache entry's time
        std::string copy;                  // that entry, for when the server fails
    };

    void plan();
    download planned(int x, int y, const Tile_cache::Entry* stale);
    tile_entry& slot(int x, int y);
    void download_one(const download& tile);
    void download_batch();
    void settle(const download& tile);
    void give_up(const download& tile, const Transfer_failure& failure);
    void wait_for_others();
    std::vector<tile_entry> listed() const;

    tile_source_settings settings_;
    int first_column_;
    int last_column_;
    int first_row_;
    int last_row_;
    std::optional<Tile_cache> cache_;
    std::string temp_dir_;
    std::vector<std::vector<tile_entry>> columns_;
    std::vector<download> downloads_;
    std::vector<std::pair<int, int>> waiting_;  // tiles another run is downloading
    Transfers transfers_;
    int from_copies_ = 0;       // tiles taken from older copies
    std::string copies_reason_;  // the first one's
};

}  // namespace plotr
