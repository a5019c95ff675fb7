#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "common/console.h"
#include "geo/layout.h"
#include "tiles/tile_source.h"

struct sqlite3;
struct sqlite3_stmt;

namespace plotr {

/// What an MBTiles file says of itself in its metadata table.
struct mbtiles_metadata {
    std::string name;         ///< empty: none
    std::string attribution;  ///< the credit line; empty: none
    int min_zoom = 0;
    int max_zoom = 18;  ///< none given: 18, or min_zoom when that is deeper
};

/// An MBTiles file, open read-only for the whole run: one SQLite read
/// transaction from the metadata to the last tile, so that a writer's changes
/// are seen all or not at all. The file is never written.
class Mbtiles {
public:
    /// How long a file locked by a writer is waited for before giving up.
    static constexpr int busy_milliseconds = 5000;
    /// The largest value read from the file (a tile, a metadata text).
    static constexpr int max_value_bytes = 16 << 20;
    static constexpr size_t max_text_bytes = 4096;
    /// The most memory SQLite may take, for all its work together.
    static constexpr long long max_heap_bytes = 512LL << 20;
    /// How long one query may run.
    static constexpr std::chrono::seconds query_time{10};

    /// Opens `path` and reads its metadata. Throws Failure("<path>: <reason>")
    /// when it is no regular file, cannot be opened, is no SQLite database, is locked past
    /// busy_milliseconds, damaged, has no `tiles` table or view with the
    /// MBTiles columns, holds vector tiles, or metadata values that are not
    /// as they must be (zooms 0..22 as integers, min no more than max, texts
    /// of at most max_text_bytes).
    explicit Mbtiles(std::string path);
    ~Mbtiles();
    Mbtiles(const Mbtiles&) = delete;
    Mbtiles& operator=(const Mbtiles&) = delete;

    const std::string& path() const { return path_; }
    const mbtiles_metadata& metadata() const { return metadata_; }

    /// The bytes of tile (z, x, y), y counted from the north as slippy maps
    /// do (the file counts from the south); nullopt when the file has none,
    /// or an empty one. Throws Failure as the constructor does.
    std::optional<std::string> tile(int z, int x, int y) const;

    /// Prints "reading tiles from <path> (<name>)" (without a name, no
    /// parentheses), flushed; hands every tile of the range that lies in the
    /// world and in the file to `paste`, columns ascending, rows ascending;
    /// then one line on standard error when some were not in the file:
    /// "plotr: 3 of 12 tiles are not in <path>". Columns wrap as
    /// deliver_tiles's do.
    void deliver(int zoom, int last_tile_index, const tile_range& range, bool wraps,
                 Console& console, const Tile_paste& paste) const;

private:
    [[noreturn]] void fail(const std::string& reason) const;
    void check(int code) const;
    void read_metadata();
    void start_query() const;

    struct Closer {
        void operator()(sqlite3* db) const;
        void operator()(sqlite3_stmt* statement) const;
    };

    std::unique_ptr<sqlite3_stmt, Closer> prepare(const char* sql) const;

    std::string path_;
    std::unique_ptr<sqlite3, Closer> db_;
    std::unique_ptr<sqlite3_stmt, Closer> tile_query_;  // finalized before db_ closes
    mbtiles_metadata metadata_;
    // A query past it is stopped: a view in a hostile file may never end.
    mutable std::chrono::steady_clock::time_point deadline_;
};

/// The file of -mbtiles opened, or none when `path` is empty.
std::unique_ptr<const Mbtiles> open_mbtiles(const std::string& path);

}  // namespace plotr
