#include "tiles/tile_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "common/failure.h"
#include "common/fd.h"
#include "common/text.h"
#include "tiles/curl_commands.h"

namespace plotr {

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

}  // namespace

Tile_source::Tile_source(tile_source_settings settings, const tile_range& range)
    : settings_(std::move(settings)),
      first_column_(std::max(0, range.first_column)),
      last_column_(std::min(range.last_column, settings_.last_tile_index)),
      first_row_(std::max(0, range.first_row)),
      last_row_(std::min(range.last_row, settings_.last_tile_index)),
      transfers_(settings_.manners, settings_.parallel, settings_.limits,
                 shell_seams(settings_.shell, settings_.now)) {
    if (!settings_.cache_dir.empty()) {
        cache_.emplace(settings_.cache_dir, settings_.url_template, settings_.zoom, first_column_,
                       last_column_);
    }
}

// With a stale entry: asked for only if newer, unless it is dated ahead of
// the clock, and the entry stands in when the server fails.
Tile_source::download Tile_source::planned(int x, int y, const Tile_cache::Entry* stale) {
    if (temp_dir_.empty()) {
        temp_dir_ = settings_.temp_dir();
    }
    const std::string file = format("%s/%d/%d/%d.png", temp_dir_.c_str(), settings_.zoom, x, y);
    download tile{x, y, tile_url(settings_.url_template, settings_.zoom, x, y), file, {}, {}};
    if (stale != nullptr && stale->state == Tile_cache::State::stale) {
        tile.copy = stale->path;
        if (stale->mtime <= settings_.now()) {
            tile.since = stale->mtime;
        }
    }
    return tile;
}

tile_entry& Tile_source::slot(int x, int y) { return columns_[x - first_column_][y - first_row_]; }

// Fresh cache entries as they are; everything else to download, with the
// stale entry's time as condition, unless another run is downloading it.
void Tile_source::plan() {
    const std::time_t now = cache_ ? settings_.now() : 0;
    for (int x = first_column_; x <= last_column_; ++x) {
        auto& column = columns_.emplace_back();
        for (int y = first_row_; y <= last_row_; ++y) {
            std::optional<Tile_cache::Entry> stale;
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
                stale = entry;
            }
            const download tile = planned(x, y, stale ? &*stale : nullptr);
            downloads_.push_back(tile);
            column.push_back({x, y, tile.file, false});
        }
    }
}

void Tile_source::download_one(const download& tile) {
    if (const auto& down = transfers_.down()) {
        give_up(tile, *down);  // not asked again
        return;
    }
    settings_.shell.run_command("mkdir -p " +
                                shell_quote(tile.file.substr(0, tile.file.rfind('/'))));
    settings_.console.out_flushed("downloading tile " + tile.url + "\n");
    transfers_.fetch(
        {{tile.url, tile.file, tile.since}}, temp_dir_, [&](std::size_t) { settle(tile); },
        [&](std::size_t, const Transfer_failure& failure) { give_up(tile, failure); });
}

void Tile_source::download_batch() {
    std::string lines;
    std::vector<Transfer_request> requests;
    for (const download& tile : downloads_) {
        lines += "downloading tile " + tile.url + "\n";
        requests.push_back({tile.url, tile.file, tile.since});
    }
    settings_.console.out_flushed(lines);
    transfers_.fetch(
        requests, temp_dir_, [&](std::size_t i) { settle(downloads_[i]); },
        [&](std::size_t i, const Transfer_failure& failure) { give_up(downloads_[i], failure); });
}

// A tile that failed for good: its older copy if there is one, otherwise the
// end of the run.
void Tile_source::give_up(const download& tile, const Transfer_failure& failure) {
    if (failure.interrupted || !cache_ || tile.copy.empty()) {
        settings_.shell.fail(failure.command, failure.code, failure.detail);
    }
    slot(tile.x, tile.y) = {tile.x, tile.y, tile.copy, true};
    cache_->unlock(tile.x, tile.y);
    if (from_copies_++ == 0) {
        copies_reason_ = failure.reason;
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
        const download tile = planned(x, y, &entry);
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
    if (from_copies_ > 0) {
        settings_.console.err(format("plotr: %d %s from older copies in the cache, as %s\n",
                                     from_copies_, from_copies_ == 1 ? "tile came" : "tiles came",
                                     copies_reason_.c_str()));
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
            const download again = planned(tile.x, tile.y, nullptr);
            download_one(again);
            tile = {tile.x, tile.y, again.file, false, -1, again.url};
        }
        paste(tile);
    }
}

}  // namespace plotr
