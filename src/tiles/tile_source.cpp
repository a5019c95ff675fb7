#include "tiles/tile_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "common/failure.h"
#include "common/fd.h"
#include "common/text.h"
#include "tiles/curl_commands.h"

namespace plotr {

namespace {

void write_file(const std::string& path, const std::string& text) {
    const Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0 || !write_all(fd.get(), text.data(), text.size())) {
        throw sys_error(path + ": " + std::strerror(errno));
    }
}

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// Each line of curl's batch report: "<exit code> <file>", politely followed
// by " <HTTP status> <Retry-After>".
std::map<std::string, Transfer_outcome> read_report(const std::string& report_file) {
    std::map<std::string, Transfer_outcome> outcomes;
    std::ifstream report(report_file);
    for (std::string line; std::getline(report, line);) {
        std::istringstream fields(line);
        Transfer_outcome outcome{0, 0, {}};
        std::string file;
        if (fields >> outcome.code >> file) {
            fields >> outcome.http;
            std::getline(fields >> std::ws, outcome.retry_after);
            outcomes[file] = outcome;
        }
    }
    return outcomes;
}

}  // namespace

Tile_source::Tile_source(tile_source_settings settings, const tile_range& range)
    : settings_(std::move(settings)),
      first_column_(std::max(0, range.first_column)),
      last_column_(std::min(range.last_column, settings_.last_tile_index)),
      first_row_(std::max(0, range.first_row)),
      last_row_(std::min(range.last_row, settings_.last_tile_index)) {
    if (!settings_.cache_dir.empty()) {
        cache_.emplace(settings_.cache_dir, settings_.url_template, settings_.zoom, first_column_,
                       last_column_);
    }
}

Tile_source::download Tile_source::planned(int x, int y, std::optional<std::time_t> since) {
    if (temp_dir_.empty()) {
        temp_dir_ = settings_.temp_dir();
    }
    const std::string file = format("%s/%d/%d/%d.png", temp_dir_.c_str(), settings_.zoom, x, y);
    return {x, y, tile_url(settings_.url_template, settings_.zoom, x, y), file, since};
}

tile_entry& Tile_source::slot(int x, int y) { return columns_[x - first_column_][y - first_row_]; }

// Fresh cache entries as they are; everything else to download, with the
// stale entry's time as condition, unless another run is downloading it.
void Tile_source::plan() {
    const std::time_t now = cache_ ? settings_.now() : 0;
    for (int x = first_column_; x <= last_column_; ++x) {
        auto& column = columns_.emplace_back();
        for (int y = first_row_; y <= last_row_; ++y) {
            std::optional<std::time_t> since;
            if (cache_) {
                Tile_cache::Entry entry = cache_->find(x, y, now);
                if (entry.state != Tile_cache::State::fresh) {
                    if (!cache_->try_lock(x, y)) {
                        waiting_.emplace_back(x, y);
                        column.push_back({x, y, entry.path, true});
                        continue;
                    }
                    // It may have come in just before the lock.
                    entry = cache_->find(x, y, now);
                    if (entry.state == Tile_cache::State::fresh) {
                        cache_->unlock(x, y);
                    }
                }
                if (entry.state == Tile_cache::State::fresh) {
                    column.push_back({x, y, entry.path, true});
                    continue;
                }
                if (entry.state == Tile_cache::State::stale) {
                    since = entry.mtime;
                }
            }
            const download tile = planned(x, y, since);
            downloads_.push_back(tile);
            column.push_back({x, y, tile.file, false});
        }
    }
}

void Tile_source::download_one(const download& tile) {
    settings_.shell.run_command("mkdir -p " +
                                shell_quote(tile.file.substr(0, tile.file.rfind('/'))));
    settings_.console.out_flushed("downloading tile " + tile.url + "\n");
    const Manners& manners = settings_.manners;
    if (!manners.polite) {
        settings_.shell.run_command(
            curl_command(tile.url, tile.file, tile.since, manners.user_agent));
        settle(tile);
        return;
    }
    // The URL, and with it the key, goes to curl in a file of the private
    // directory, never on a command line.
    const std::string config = tile.file + ".conf";
    const std::string status = tile.file + ".status";
    unlink(config.c_str());  // from an earlier download of the same tile
    write_file(config, polite_transfer_config(manners, tile.url, tile.since));
    const std::string command = polite_curl_command(config, tile.file, status);
    Retries retries;
    for (;;) {
        const int code = settings_.shell.run_for_code(command);
        if (code == 0) break;
        Transfer_outcome outcome{code, 0, {}};
        std::ifstream report(status);
        report >> outcome.http;
        std::getline(report >> std::ws, outcome.retry_after);
        const auto wait = retry_wait(outcome, retries, settings_.now());
        if (!wait) settings_.shell.fail(command, code, http_status_line(outcome, tile.url));
        pause(*wait);
    }
    settle(tile);
}

// Ended at once by a termination request, which the shell sends on to the
// command; the safe point then ends the run through its cleanup.
void Tile_source::pause(int seconds) const {
    settings_.shell.run_for_code(format("sleep %d", seconds));
    settings_.shell.stop_if_interrupted();
}

// Failed transfers that may be retried go again as a batch of their own.
void Tile_source::download_batch() {
    const Manners& manners = settings_.manners;
    std::string lines;
    for (const download& tile : downloads_) {
        lines += "downloading tile " + tile.url + "\n";
    }
    std::vector<download> pending = downloads_;
    std::map<std::string, Retries> retries;
    for (int round = 1;; ++round) {
        std::vector<curl_transfer> transfers;
        for (const download& tile : pending) {
            transfers.push_back({tile.url, tile.file, tile.since});
        }
        const std::string name = round == 1 ? "/curl" : format("/curl-%d", round);
        const std::string config_file = temp_dir_ + name + ".conf";
        const std::string report_file = temp_dir_ + name + ".out";
        write_file(config_file, curl_batch_config(transfers, manners));
        if (round == 1) {
            settings_.console.out_flushed(lines);
        }
        const std::string command =
            curl_batch_command(settings_.parallel, config_file, report_file);
        const int code = settings_.shell.run_for_code(command);

        const std::map<std::string, Transfer_outcome> outcomes = read_report(report_file);
        // What came is kept even when the batch then fails.
        for (const download& tile : pending) {
            const auto found = outcomes.find(tile.file);
            if (found != outcomes.end() && found->second.code == 0) {
                settle(tile);
            }
        }
        // As the one-tile path would have ended: at the first tile, in
        // download order, that failed for good or that the batch never finished.
        std::vector<download> again;
        int wait = 0;
        for (const download& tile : pending) {
            const auto found = outcomes.find(tile.file);
            const int tile_code = found != outcomes.end() ? found->second.code : code;
            if (tile_code == 0) {
                continue;
            }
            if (!manners.polite) {
                settings_.shell.fail(
                    curl_command(tile.url, tile.file, tile.since, manners.user_agent), tile_code);
            }
            if (found != outcomes.end()) {
                if (const auto seconds =
                        retry_wait(found->second, retries[tile.file], settings_.now())) {
                    again.push_back(tile);
                    wait = std::max(wait, *seconds);
                    continue;
                }
            }
            settings_.shell.fail(
                polite_curl_command(tile.file + ".conf", tile.file, tile.file + ".status"),
                tile_code,
                found != outcomes.end() ? http_status_line(found->second, tile.url) : "");
        }
        if (again.empty()) {
            if (code != 0) {
                settings_.shell.fail(command, code);
            }
            return;
        }
        pause(wait);
        pending = std::move(again);
    }
}

// A downloaded tile, with a cache: kept when it reads; a stale entry that the
// server did not send again ("not modified": curl writes no file) is
// confirmed, and one whose new body does not read is used as it is.
void Tile_source::settle(const download& tile) {
    if (!cache_) {
        return;
    }
    tile_entry& entry = slot(tile.x, tile.y);
    if (tile.since && !exists(tile.file)) {
        cache_->refresh(tile.x, tile.y);
        entry = {tile.x, tile.y, cache_->find(tile.x, tile.y, settings_.now()).path, true};
    } else if (settings_.reads(tile.file)) {
        cache_->store(tile.x, tile.y, tile.file);
    } else if (tile.since) {
        std::tm t{};
        gmtime_r(&*tile.since, &t);
        char date[64];
        std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S UTC", &t);
        settings_.console.err(
            format("plotr: tile %d/%d/%d from %s could not be read; the cached "
                   "copy from %s is used\n",
                   settings_.zoom, tile.x, tile.y, tile.url.c_str(), date));
        entry = {tile.x, tile.y, cache_->find(tile.x, tile.y, settings_.now()).path, true};
    }
    cache_->unlock(tile.x, tile.y);
}

// Tiles that other runs were downloading: taken from the cache once they are
// done, or downloaded here when they failed or take too long.
void Tile_source::wait_for_others() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(wait_seconds);
    for (const auto& [x, y] : waiting_) {
        while (!cache_->try_lock(x, y) && std::chrono::steady_clock::now() < deadline) {
            settings_.shell.stop_if_interrupted();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const Tile_cache::Entry entry = cache_->find(x, y, settings_.now());
        if (entry.state == Tile_cache::State::fresh) {
            slot(x, y) = {x, y, entry.path, true};
            cache_->unlock(x, y);
            continue;
        }
        std::optional<std::time_t> since;
        if (entry.state == Tile_cache::State::stale) {
            since = entry.mtime;
        }
        const download tile = planned(x, y, since);
        slot(x, y) = {x, y, tile.file, false};
        download_one(tile);
    }
}

// Downloaded from the left; listed with the last column first.
std::vector<tile_entry> Tile_source::listed() const {
    std::vector<tile_entry> tiles;
    for (auto column = columns_.rbegin(); column != columns_.rend(); ++column) {
        tiles.insert(tiles.end(), column->begin(), column->end());
    }
    return tiles;
}

std::vector<tile_entry> Tile_source::fetch() {
    plan();
    if (settings_.parallel > 1 && !downloads_.empty()) {
        download_batch();
    } else {
        for (const download& tile : downloads_) {
            download_one(tile);
        }
    }
    // Never waiting while holding a tile that others may wait for: settled
    // tiles are all unlocked by now.
    if (cache_) {
        wait_for_others();
    }
    return listed();
}

void Tile_source::deliver(const Tile_paste& paste) {
    for (tile_entry tile : fetch()) {
        settings_.shell.stop_if_interrupted();
        tile.url = tile_url(settings_.url_template, settings_.zoom, tile.x, tile.y);
        if (tile.cached) {
            const Fd entry = cache_->open_entry(tile.x, tile.y);
            if (entry.get() >= 0) {
                try {
                    tile.fd = entry.get();
                    paste(tile);
                    continue;
                } catch (const Fatal_error&) {
                    // A damaged entry never fails a run that the server can serve.
                }
            }
            const download again = planned(tile.x, tile.y, std::nullopt);
            download_one(again);
            tile = {tile.x, tile.y, again.file, false, -1, again.url};
        }
        paste(tile);
    }
}

}  // namespace plotr
