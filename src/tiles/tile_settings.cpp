#include "tiles/tile_settings.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/failure.h"
#include "tiles/tile_cache.h"

namespace plotr {

std::string cache_folder_for(const std::string& asked, bool provider) {
    if (!asked.empty() || !provider) {
        return asked;
    }
    return default_cache_dir(std::getenv("XDG_CACHE_HOME"), std::getenv("HOME"));
}

Manners manners_for(const std::optional<Provider>& provider, const std::string& url_template,
                    const std::optional<std::string>& user_agent) {
    if (provider) {
        return provider_manners(*provider, url_template, user_agent);
    }
    return {.user_agent = user_agent, .polite = false, .api_key = {}};
}

int floor_div(int a, int n) { return a / n - (a % n < 0 ? 1 : 0); }

tile_range wrapped_columns(const tile_range& range, int n) {
    tile_range wrapped = range;
    if (range.last_column - range.first_column + 1 > n) {
        wrapped.first_column = floor_div(range.first_column + range.last_column, 2) - (n - 1) / 2;
        wrapped.last_column = wrapped.first_column + n - 1;
    }
    return wrapped;
}

void deliver_tiles(const tile_source_settings& settings, const tile_range& range, bool wraps,
                   const Tile_paste& paste) {
    const int n = settings.last_tile_index + 1;
    if (!wraps || n <= 0) {
        Tile_source(settings, range).deliver(paste);
        return;
    }
    const tile_range wrapped = wrapped_columns(range, n);
    const int first = wrapped.first_column;
    const int last = wrapped.last_column;
    // One source for each turn of the world the canvas touches; each keeps
    // its own files, so their batches never meet.
    for (int column = first, piece = 0; column <= last; ++piece) {
        const int turn = floor_div(column, n);
        tile_source_settings part = settings;
        if (piece > 0) {
            part.temp_dir = [base = settings.temp_dir, piece] {
                const std::string dir = base() + "/" + std::to_string(piece);
                if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
                    throw failure(dir + ": " + std::strerror(errno));
                }
                return dir;
            };
        }
        const int shift = turn * n;
        const tile_range real{column - shift, std::min(n - 1, last - shift), range.first_row,
                              range.last_row};
        Tile_source(part, real).deliver([&](tile_entry tile) {
            tile.x += shift;
            paste(tile);
        });
        column = (turn + 1) * n;
    }
}

}  // namespace plotr
