#include "tiles/tiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "common/failure.h"
#include "common/text.h"
#include "tiles/provider.h"

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

// The options of curl's configuration file that one transfer needs, the URL
// with its key among them.
std::string transfer_config(const download_context& context, const download& tile) {
    std::string config = "globoff\n";
    if (context.manners.user_agent) {
        config += "user-agent = " + config_quoted(*context.manners.user_agent) + "\n";
    }
    if (tile.since) {
        config += "time-cond = " + config_quoted(http_date(*tile.since)) + "\n";
    }
    return config + "url = " + config_quoted(fill_key(tile.url, context.manners.api_key)) + "\n";
}

// Interrupted at once by a termination request, which the shell sends on to
// the command; the next safe point then ends the run through its cleanup.
void pause(const download_context& context, int seconds) {
    context.shell.run_for_code(format("sleep %d", seconds));
    context.shell.stop_if_interrupted();
}

void fetch_one(const download_context& context, const download& tile) {
    context.shell.run_command("mkdir -p " + shell_quote(tile.file.substr(0, tile.file.rfind('/'))));
    context.console.out_flushed("downloading tile " + tile.url + "\n");
    if (!context.manners.polite) {
        context.shell.run_command(
            curl_command(tile.url, tile.file, tile.since, context.manners.user_agent));
        return;
    }
    const std::string config = tile.file + ".conf";
    const std::string status = tile.file + ".status";
    unlink(config.c_str());  // left by an earlier download of the same tile
    write_file(config, transfer_config(context, tile));
    const std::string command = polite_curl_command(config, tile.file, status);
    Retries retries;
    for (;;) {
        const int code = context.shell.run_for_code(command);
        if (code == 0) return;
        Transfer_outcome outcome{code, 0, {}};
        std::ifstream report(status);
        report >> outcome.http;
        std::getline(report >> std::ws, outcome.retry_after);
        const auto wait = retry_wait(outcome, retries, context.now());
        if (!wait) context.shell.fail(command, code, http_status_line(outcome, tile.url));
        pause(context, *wait);
    }
}

// Every transfer in a section of its own, as the time condition is per
// transfer; each reports its exit code and file, which name it, and politely
// also its HTTP status and Retry-After. Failed transfers that may be retried
// go again as a batch of their own.
void fetch_batch(const download_context& context, const std::string& temp_dir,
                 const std::vector<download>& tiles) {
    const bool polite = context.manners.polite;
    std::vector<download> pending = tiles;
    std::map<std::string, Retries> retries;
    for (int round = 1;; ++round) {
        std::string lines;
        std::string config;
        for (const download& tile : pending) {
            lines += "downloading tile " + tile.url + "\n";
            if (!config.empty()) {
                config += "next\n";
            }
            config += "fail\nsilent\ngloboff\ncreate-dirs\n";
            if (polite) {
                config += "location\nmax-redirs = 5\nproto-redir = \"=http,https\"\n";
                config += "connect-timeout = 15\nspeed-limit = 1\nspeed-time = 30\n";
                config += "write-out = \"%{exitcode} %{filename_effective} %{http_code} "
                          "%header{retry-after}\\n\"\n";
            } else {
                config += "write-out = \"%{exitcode} %{filename_effective}\\n\"\n";
            }
            if (context.manners.user_agent) {
                config += "user-agent = " + config_quoted(*context.manners.user_agent) + "\n";
            }
            if (tile.since) {
                config += "time-cond = " + config_quoted(http_date(*tile.since)) + "\n";
            }
            config += "url = " + config_quoted(fill_key(tile.url, context.manners.api_key)) + "\n";
            config += "output = " + config_quoted(tile.file) + "\n";
        }
        const std::string name = round == 1 ? "/curl" : format("/curl-%d", round);
        const std::string config_file = temp_dir + name + ".conf";
        const std::string report_file = temp_dir + name + ".out";
        write_file(config_file, config);
        if (round == 1) {
            context.console.out_flushed(lines);
        }
        const std::string command =
            format("curl --parallel --parallel-max %d --no-progress-meter -K ",
                   context.parallel) +
            shell_quote(config_file) + " > " + shell_quote(report_file);
        const int code = context.shell.run_for_code(command);

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
        // As the one-tile path would have ended: at the first tile, in download
        // order, that failed for good or that the batch never finished.
        std::vector<download> again;
        int wait = 0;
        for (const download& tile : pending) {
            const auto found = outcomes.find(tile.file);
            const int tile_code = found != outcomes.end() ? found->second.code : code;
            if (tile_code == 0) {
                continue;
            }
            if (polite && found != outcomes.end()) {
                if (const auto seconds =
                        retry_wait(found->second, retries[tile.file], context.now())) {
                    again.push_back(tile);
                    wait = std::max(wait, *seconds);
                    continue;
                }
            }
            if (polite) {
                context.shell.fail(
                    polite_curl_command(tile.file + ".conf", tile.file, tile.file + ".status"),
                    tile_code,
                    found != outcomes.end() ? http_status_line(found->second, tile.url) : "");
            }
            context.shell.fail(
                curl_command(tile.url, tile.file, tile.since, context.manners.user_agent),
                tile_code);
        }
        if (again.empty()) {
            if (code != 0) {
                context.shell.fail(command, code);
            }
            return;
        }
        pause(context, wait);
        pending = std::move(again);
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
                         std::optional<std::time_t> since,
                         const std::optional<std::string>& user_agent) {
    std::string command = "curl -f -s";
    if (user_agent) {
        command += " -A " + shell_quote(*user_agent);
    }
    if (since) {
        command += " --time-cond " + shell_quote(http_date(*since));
    }
    if (globs(url)) {
        command += " -g";
    }
    command += url.starts_with("-") ? " --url " : " ";
    return command + shell_quote(url) + " -o " + shell_quote(file);
}

std::string polite_curl_command(const std::string& config, const std::string& file,
                                const std::string& status) {
    return "curl -f -s -L --max-redirs 5 --proto-redir =http,https --connect-timeout 15 "
           "--speed-limit 1 --speed-time 30 -w '%{http_code} %header{retry-after}\\n' -K " +
           shell_quote(config) + " -o " + shell_quote(file) + " > " + shell_quote(status);
}

std::optional<int> retry_wait(const Transfer_outcome& outcome, Retries& retries, std::time_t now) {
    constexpr int busy_retries = 4;
    constexpr int longest_wait = 60;
    if (outcome.code == 28) {
        if (retries.timeouts >= 1) return std::nullopt;
        ++retries.timeouts;
        return 1;
    }
    const int http = outcome.http;
    const bool busy = http == 429 || http == 500 || http == 502 || http == 503 || http == 504;
    if (outcome.code != 22 || !busy || retries.busy >= busy_retries) return std::nullopt;
    long asked = 0;
    const std::string& after = outcome.retry_after;
    if (!after.empty() && after.find_first_not_of("0123456789") == std::string::npos) {
        asked = after.size() > 6 ? longest_wait : std::stol(after);
    } else if (!after.empty()) {
        std::tm t{};
        const char* end = strptime(after.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &t);
        if (end != nullptr && *end == '\0') asked = static_cast<long>(timegm(&t) - now);
    }
    const int backoff = 1 << retries.busy;
    ++retries.busy;
    return static_cast<int>(std::max<long>(backoff, std::min<long>(asked, longest_wait)));
}

std::string http_status_line(const Transfer_outcome& outcome, const std::string& url) {
    const int http = outcome.http;
    if ((outcome.code != 22 && outcome.code != 47) || http < 300) return "";
    static const std::map<int, const char*> reasons = {
        {301, "Moved Permanently"},     {302, "Found"},
        {303, "See Other"},             {307, "Temporary Redirect"},
        {308, "Permanent Redirect"},    {400, "Bad Request"},
        {401, "Unauthorized"},          {403, "Forbidden"},
        {404, "Not Found"},             {410, "Gone"},
        {429, "Too Many Requests"},     {500, "Internal Server Error"},
        {502, "Bad Gateway"},           {503, "Service Unavailable"},
        {504, "Gateway Timeout"},
    };
    const auto reason = reasons.find(http);
    return format("plotr: the server answered %d%s%s for %s\n", http,
                  reason != reasons.end() ? " " : "",
                  reason != reasons.end() ? reason->second : "", url.c_str());
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
