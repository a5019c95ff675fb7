#pragma once

#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cli/shell.h"
#include "common/console.h"
#include "geo/layout.h"
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

/// How downloads behave beyond the plain "curl -f -s"; nothing of it without
/// -provider or -user-agent.
struct Manners {
    /// Sent as User-Agent; none: curl's own. An empty text sends none.
    std::optional<std::string> user_agent;
    /// A provider's manners: redirects (5, http and https only), timeouts (15 s
    /// to connect, 30 s without a byte), retries of busy answers and timeouts,
    /// the HTTP status of a failure, and the URL handed to curl in a file.
    bool polite = false;
    /// Fills "{apikey}" in what curl is given, never in what is printed.
    std::string api_key;
};

/// What a failed transfer tells: curl's exit code, the HTTP status (0: none)
/// and the Retry-After header as the server sent it.
struct Transfer_outcome {
    int code;
    int http = 0;
    std::string retry_after;
};

/// The retries of one tile so far.
struct Retries {
    int busy = 0;      ///< after 429, 500, 502, 503 or 504
    int timeouts = 0;  ///< after curl's exit code 28
};

/// Seconds to wait before trying a failed transfer again, counting the retry;
/// nullopt when the failure is final. A 429/500/502/503/504 is retried 4 times,
/// after 1, 2, 4, 8 s or the Retry-After (seconds or an HTTP date, against
/// `now`) up to 60 s, whichever is longer; a timeout once, after 1 s.
std::optional<int> retry_wait(const Transfer_outcome& outcome, Retries& retries, std::time_t now);

/// "plotr: the server answered 429 Too Many Requests for <url>\n" when the
/// server's answer failed the transfer (an HTTP error, too many redirects);
/// "" otherwise.
std::string http_status_line(const Transfer_outcome& outcome, const std::string& url);

/// What downloading needs besides the tile range.
struct download_context {
    /// Gives the directory to download into; asked once, before the first
    /// download, so a run that downloads nothing creates nothing.
    std::function<std::string()> temp_dir;
    int zoom;
    std::string url_template;
    int last_tile_index;
    /// Runs the "mkdir -p" and "curl" command lines.
    const Shell& shell;
    Console& console;
    /// Tiles kept between runs; none when null.
    const Tile_cache* cache = nullptr;
    /// Downloads at once: above 1, all tiles go to one curl command.
    int parallel = 1;
    Manners manners = {};
    /// The clock that ages cache entries and reads Retry-After dates.
    std::function<std::time_t()> now = [] { return std::time(nullptr); };
};

/// The template with the first "{s}" replaced by "a", then the first "{z}",
/// "{x}" and "{y}" by the numbers. Other occurrences stay as they are.
std::string tile_url(const std::string& url_template, int z, int x, int y);

/// The command that downloads one tile, "curl -f -s <url> -o <file>" with both
/// quoted for the shell; curl is told to take the URL as it is: "-g" when it
/// holds [ ] { }, "--url" before it when it begins with "-". With `since`, the
/// server is asked for the tile only if it changed after that time; with a
/// user agent, "-A <agent>" follows "-s".
std::string curl_command(const std::string& url, const std::string& file,
                         std::optional<std::time_t> since = std::nullopt,
                         const std::optional<std::string>& user_agent = std::nullopt);

/// The command of a polite transfer: curl with the provider's manners, the
/// URL in the configuration file `config`, writing the file and its
/// "<HTTP status> <Retry-After>" line into `status`.
std::string polite_curl_command(const std::string& config, const std::string& file,
                                const std::string& status);

/// Downloads every tile of the range that lies in the world: columns ascending,
/// rows ascending within a column, each with "mkdir -p" and "curl", printing
/// "downloading tile <url>" (flushed) before each download. Returns the entries
/// with the last column first and each column's rows ascending.
/// With a cache, a fresh entry is used as it is, with no line and no command;
/// a stale one is asked for with its time as condition and kept (and marked
/// fresh) when the server has nothing newer. With `parallel` above 1, the lines
/// come first and one curl command then downloads them all; a failed transfer
/// ends the run as the one-tile command of the first failed tile would.
std::vector<tile_entry> fetch_tiles(const download_context& context, const tile_range& range);

/// Downloads tile (x, y) anew, as the one-tile path does, without condition:
/// for a cache entry that cannot be read.
tile_entry fetch_tile_again(const download_context& context, int x, int y);

}  // namespace plotr
