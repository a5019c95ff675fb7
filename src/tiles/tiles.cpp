#include "tiles/tiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>

#include "common/failure.h"
#include "common/text.h"

namespace plotr {

namespace {

std::string replace_first(std::string text, std::string_view placeholder,
                          const std::string& value) {
    const auto at = text.find(placeholder);
    if (at != std::string::npos) {
        text.replace(at, placeholder.size(), value);
    }
    return text;
}

// An HTTP date, as curl reads it whatever the locale.
std::string http_date(std::time_t time) {
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm t{};
    gmtime_r(&time, &t);
    return format("%s, %02d %s %d %02d:%02d:%02d GMT", days[t.tm_wday], t.tm_mday, months[t.tm_mon],
                  t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
}

bool globs(const std::string& url) { return url.find_first_of("[]{}") != std::string::npos; }

// One tile still to be had from the server.
struct download {
    int x;
    int y;
    std::string url;
    std::string file;
    std::optional<std::time_t> since;  // a stale cache entry's time
};

download plan(const download_context& context, const std::string& temp_dir, int x, int y,
              std::optional<std::time_t> since) {
    const std::string file = format("%s/%d/%d/%d.png", temp_dir.c_str(), context.zoom, x, y);
    return {x, y, tile_url(context.url_template, context.zoom, x, y), file, since};
}

void fetch_one(const download_context& context, const download& tile) {
    context.shell.run_command("mkdir -p " + shell_quote(tile.file.substr(0, tile.file.rfind('/'))));
    context.console.out_flushed("downloading tile " + tile.url + "\n");
    context.shell.run_command(curl_command(tile.url, tile.file, tile.since));
}

// A value of curl's configuration file, in double quotes.
std::string config_quoted(const std::string& value) {
    std::string quoted = "\"";
    for (const char c : value) {
        switch (c) {
            case '\\': quoted += "\\\\"; break;
            case '"': quoted += "\\\""; break;
            case '\n': quoted += "\\n"; break;
            case '\r': quoted += "\\r"; break;
            case '\t': quoted += "\\t"; break;
            case '\v': quoted += "\\v"; break;
            default: quoted += c;
        }
    }
    return quoted + "\"";
}

void write_file(const std::string& path, const std::string& text) {
    const Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0 || !write_all(fd.get(), text.data(), text.size())) {
        throw sys_error(path + ": " + std::strerror(errno));
    }
}

// Every transfer in a section of its own, as the time condition is per
// transfer; each reports its exit code and file, which name it.
void fetch_batch(const download_context& context, const std::string& temp_dir,
                 const std::vector<download>& tiles) {
    std::string lines;
    std::string config;
    for (const download& tile : tiles) {
        lines += "downloading tile " + tile.url + "\n";
        if (!config.empty()) {
            config += "next\n";
        }
        config += "fail\nsilent\ngloboff\ncreate-dirs\n";
        config += "write-out = \"%{exitcode} %{filename_effective}\\n\"\n";
        if (tile.since) {
            config += "time-cond = " + config_quoted(http_date(*tile.since)) + "\n";
        }
        config += "url = " + config_quoted(tile.url) + "\n";
        config += "output = " + config_quoted(tile.file) + "\n";
    }
    const std::string config_file = temp_dir + "/curl.conf";
    const std::string report_file = temp_dir + "/curl.out";
    write_file(config_file, config);
    context.console.out_flushed(lines);
    const std::string command =
        format("curl --parallel --parallel-max %d --no-progress-meter -K ", context.parallel) +
        shell_quote(config_file) + " > " + shell_quote(report_file);
    const int code = context.shell.run_for_code(command);

    std::map<std::string, int> codes;
    std::ifstream report(report_file);
    for (std::string line; std::getline(report, line);) {
        const auto blank = line.find(' ');
        if (blank != std::string::npos) {
            codes[line.substr(blank + 1)] = std::atoi(line.c_str());
        }
    }
    // As the one-tile path would have ended: at the first tile, in download
    // order, that failed or that the batch never finished.
    for (const download& tile : tiles) {
        const auto found = codes.find(tile.file);
        if (found == codes.end() || found->second != 0) {
            const int tile_code = found != codes.end() ? found->second : code;
            if (tile_code != 0) {
                context.shell.fail(curl_command(tile.url, tile.file, tile.since), tile_code);
            }
        }
    }
    if (code != 0) {
        context.shell.fail(command, code);
    }
}

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

}  // namespace

std::string tile_url(const std::string& url_template, int z, int x, int y) {
    std::string url = replace_first(url_template, "{s}", "a");
    url = replace_first(std::move(url), "{z}", std::to_string(z));
    url = replace_first(std::move(url), "{x}", std::to_string(x));
    return replace_first(std::move(url), "{y}", std::to_string(y));
}

std::string curl_command(const std::string& url, const std::string& file,
                         std::optional<std::time_t> since) {
    std::string command = "curl -f -s";
    if (since) {
        command += " --time-cond " + shell_quote(http_date(*since));
    }
    if (globs(url)) {
        command += " -g";
    }
    command += url.starts_with("-") ? " --url " : " ";
    return command + shell_quote(url) + " -o " + shell_quote(file);
}

std::vector<tile_entry> fetch_tiles(const download_context& context, const tile_range& range) {
    const int last_column = std::min(range.last_column, context.last_tile_index);
    const int last_row = std::min(range.last_row, context.last_tile_index);
    const std::time_t now = context.cache != nullptr ? context.now() : 0;
    std::vector<std::vector<tile_entry>> columns;
    std::vector<download> batch;
    std::vector<download> stale;
    std::string temp_dir;
    for (int x = std::max(0, range.first_column); x <= last_column; ++x) {
        auto& column = columns.emplace_back();
        for (int y = std::max(0, range.first_row); y <= last_row; ++y) {
            std::optional<std::time_t> since;
            if (context.cache != nullptr) {
                const Tile_cache::Entry entry = context.cache->find(x, y, now);
                if (entry.state == Tile_cache::State::fresh) {
                    column.push_back({x, y, entry.path, true});
                    continue;
                }
                if (entry.state == Tile_cache::State::stale) {
                    since = entry.mtime;
                }
            }
            if (temp_dir.empty()) {
                temp_dir = context.temp_dir();
            }
            const download tile = plan(context, temp_dir, x, y, since);
            if (context.parallel > 1) {
                batch.push_back(tile);
            } else {
                fetch_one(context, tile);
            }
            if (since) {
                stale.push_back(tile);
            }
            column.push_back({x, y, tile.file, false});
        }
    }
    if (!batch.empty()) {
        fetch_batch(context, temp_dir, batch);
    }
    // A stale entry that the server did not send again ("not modified": curl
    // writes no file) is confirmed.
    for (const download& tile : stale) {
        if (!exists(tile.file)) {
            context.cache->refresh(tile.x, tile.y);
            tile_entry& entry = columns[tile.x - std::max(0, range.first_column)]
                                       [tile.y - std::max(0, range.first_row)];
            entry = {tile.x, tile.y, context.cache->find(tile.x, tile.y, now).path, true};
        }
    }
    // Downloaded from the left; listed with the last column first.
    std::vector<tile_entry> listed;
    for (auto column = columns.rbegin(); column != columns.rend(); ++column) {
        listed.insert(listed.end(), column->begin(), column->end());
    }
    return listed;
}

tile_entry fetch_tile_again(const download_context& context, int x, int y) {
    const download tile = plan(context, context.temp_dir(), x, y, std::nullopt);
    fetch_one(context, tile);
    return {x, y, tile.file, false};
}

}  // namespace plotr
