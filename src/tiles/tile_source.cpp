#include "tiles/tile_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>

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

// Each line of curl's batch report: "<exit code> <file>".
std::map<std::string, int> read_report(const std::string& report_file) {
    std::map<std::string, int> codes;
    std::ifstream report(report_file);
    for (std::string line; std::getline(report, line);) {
        const auto blank = line.find(' ');
        if (blank != std::string::npos) {
            codes[line.substr(blank + 1)] = std::atoi(line.c_str());
        }
    }
    return codes;
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

// Fresh cache entries as they are; everything else to download, with the
// stale entry's time as condition.
void Tile_source::plan() {
    const std::time_t now = cache_ ? settings_.now() : 0;
    for (int x = first_column_; x <= last_column_; ++x) {
        auto& column = columns_.emplace_back();
        for (int y = first_row_; y <= last_row_; ++y) {
            std::optional<std::time_t> since;
            if (cache_) {
                const Tile_cache::Entry entry = cache_->find(x, y, now);
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

void Tile_source::download_one(const download& tile) const {
    settings_.shell.run_command("mkdir -p " +
                                shell_quote(tile.file.substr(0, tile.file.rfind('/'))));
    settings_.console.out_flushed("downloading tile " + tile.url + "\n");
    settings_.shell.run_command(curl_command(tile.url, tile.file, tile.since));
}

void Tile_source::download_batch() const {
    std::string lines;
    std::vector<curl_transfer> transfers;
    for (const download& tile : downloads_) {
        lines += "downloading tile " + tile.url + "\n";
        transfers.push_back({tile.url, tile.file, tile.since});
    }
    const std::string config_file = temp_dir_ + "/curl.conf";
    const std::string report_file = temp_dir_ + "/curl.out";
    write_file(config_file, curl_batch_config(transfers));
    settings_.console.out_flushed(lines);
    const std::string command = curl_batch_command(settings_.parallel, config_file, report_file);
    const int code = settings_.shell.run_for_code(command);

    const std::map<std::string, int> codes = read_report(report_file);
    // As the one-tile path would have ended: at the first tile, in download
    // order, that failed or that the batch never finished.
    for (const download& tile : downloads_) {
        const auto found = codes.find(tile.file);
        const int tile_code = found != codes.end() ? found->second : code;
        if (tile_code != 0) {
            settings_.shell.fail(curl_command(tile.url, tile.file, tile.since), tile_code);
        }
    }
    if (code != 0) {
        settings_.shell.fail(command, code);
    }
}

// A stale entry that the server did not send again ("not modified": curl
// writes no file) is confirmed.
void Tile_source::confirm_not_modified() {
    const std::time_t now = settings_.now();
    for (const download& tile : downloads_) {
        if (tile.since && !exists(tile.file)) {
            cache_->refresh(tile.x, tile.y);
            columns_[tile.x - first_column_][tile.y - first_row_] = {
                tile.x, tile.y, cache_->find(tile.x, tile.y, now).path, true};
        }
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
    if (cache_) {
        confirm_not_modified();
    }
    return listed();
}

tile_entry Tile_source::fetch_again(int x, int y) {
    const download tile = planned(x, y, std::nullopt);
    download_one(tile);
    return {x, y, tile.file, false};
}

void Tile_source::deliver(const Tile_paste& paste) {
    for (const tile_entry& tile : fetch()) {
        settings_.shell.stop_if_interrupted();
        tile_entry pasted = tile;
        if (tile.cached) {
            try {
                paste(tile);
                continue;
            } catch (const Fatal_error&) {
                // A damaged entry never fails a run that the server can serve.
                pasted = fetch_again(tile.x, tile.y);
            }
        }
        paste(pasted);
        // Only a tile that was read enters the cache.
        if (cache_) {
            cache_->store(pasted.x, pasted.y, pasted.file);
        }
    }
}

}  // namespace plotr
