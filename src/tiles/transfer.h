#pragma once

#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/shell.h"
#include "tiles/curl_commands.h"

namespace plotr {

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
/// after 1, 2, 4, 8 s or the Retry-After (seconds or an HTTP date in any of
/// its three forms, against `now`) up to 60 s, whichever is longer; a timeout
/// once, after 1 s.
std::optional<int> retry_wait(const Transfer_outcome& outcome, Retries& retries, std::time_t now);

/// An HTTP date (IMF-fixdate, RFC 850 or asctime form) as a time; nullopt
/// when the text is none of them.
std::optional<std::time_t> parse_http_date(const std::string& text);

/// "plotr: the server answered 429 Too Many Requests for <url>\n" when the
/// server's answer failed the transfer (an HTTP error, too many redirects);
/// "" otherwise.
std::string http_status_line(const Transfer_outcome& outcome, const std::string& url);

/// A transfer that failed for good, as the run reports it.
struct Transfer_failure {
    std::string command;  ///< the command line that ran
    int code;             ///< its exit code
    std::string detail;   ///< whole lines that say what the server did; may be empty
    std::string reason;   ///< the same in a few words, for the line on older copies
    /// Interrupted (a signal ended the command): nothing may stand in for the tile.
    bool interrupted = false;
};

/// What the transfers need from outside, and what their unit tests replace.
struct Transfer_seams {
    /// Runs a command line, asking `watch` about every tenth of a second
    /// whether it may go on (see Shell::run_watched); gives its exit code.
    std::function<int(const std::string& command_line, const Watch& watch)> run;
    /// Waits so many seconds, or ends the run when a termination request comes.
    std::function<void(int seconds)> pause;
    /// The time of day, for Retry-After dates.
    std::function<std::time_t()> now;
    /// Seconds on a steady clock, for stalls.
    std::function<double()> clock;
    /// A small file's text; "" when it cannot be read.
    std::function<std::string(const std::string& path)> read;
    /// Writes a new private file in place of any file or link of that name.
    std::function<void(const std::string& path, const std::string& text)> write;
    /// A file's size; -1 when there is none.
    std::function<long long(const std::string& path)> size;
};

/// The seams of a real run: commands through `shell`, files from the disk.
Transfer_seams shell_seams(const Shell& shell, std::function<std::time_t()> now);

/// One tile to transfer: the URL as printed (its key unfilled), the file to
/// write and, for a stale cache entry, the time it is asked to be newer than.
struct Transfer_request {
    std::string url;
    std::string file;
    std::optional<std::time_t> since;
};

/// Downloads tiles with curl, one command a tile or, with `parallel` above 1,
/// one command for all, and owns what follows a failure: retries, waits,
/// timeouts. Without politeness a failure is final at once, and a download
/// that moves no byte for `limits.stall` seconds is stopped. A server that
/// cannot be reached, times out twice or stays busy is taken as down: the
/// tiles after it are not asked for and fail as it did.
class Transfers {
public:
    Transfers(Manners manners, int parallel, Transfer_limits limits, Transfer_seams seams);

    using Done = std::function<void(std::size_t index)>;
    /// Ends the run or returns, when something else stands in for the tile.
    using Failed = std::function<void(std::size_t index, const Transfer_failure& failure)>;

    /// Brings each tile of `tiles` to its file, calling `done` for each that
    /// came and `failed` for each that did not, in the order of `tiles`
    /// within each round. `work_dir` holds a batch's files.
    void fetch(const std::vector<Transfer_request>& tiles, const std::string& work_dir,
               const Done& done, const Failed& failed);

    /// The failure that took the server down, if one did: no tile is asked for since.
    const std::optional<Transfer_failure>& down() const { return down_; }

private:
    struct Attempt {
        Transfer_outcome outcome{0, 0, {}};
        bool unfinished = false;  // stopped with the batch before its turn
        bool stalled = false;     // stopped for moving no byte
    };
    // One command's run over some tiles.
    struct Round {
        std::string command;
        int code = 0;
        bool stopped = false;  // by plotr: its code is not the tiles'
        std::vector<Attempt> attempts;
    };

    Round attempt_one(const Transfer_request& tile);
    Round attempt_batch(const std::vector<Transfer_request>& tiles, const std::string& work_dir);
    Transfer_failure failure(const Transfer_request& tile, const Attempt& attempt,
                             const Round& round) const;
    bool takes_down(const Attempt& attempt) const;
    Watch stall_watch(std::vector<std::string> files, bool& stalled) const;

    Manners manners_;
    int parallel_;
    Transfer_limits limits_;
    Transfer_seams seams_;
    int batches_ = 0;
    std::optional<Transfer_failure> down_;  // the failure that took the server down
};

}  // namespace plotr
