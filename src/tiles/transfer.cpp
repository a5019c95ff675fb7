#include "tiles/transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>

#include "common/failure.h"
#include "common/fd.h"
#include "common/text.h"

namespace plotr {

namespace {

const std::map<int, const char*>& reasons() {
    static const std::map<int, const char*> texts = {
        {301, "Moved Permanently"},  {302, "Found"},
        {303, "See Other"},          {307, "Temporary Redirect"},
        {308, "Permanent Redirect"}, {400, "Bad Request"},
        {401, "Unauthorized"},       {403, "Forbidden"},
        {404, "Not Found"},          {410, "Gone"},
        {429, "Too Many Requests"},  {500, "Internal Server Error"},
        {502, "Bad Gateway"},        {503, "Service Unavailable"},
        {504, "Gateway Timeout"},
    };
    return texts;
}

// "429 Too Many Requests", or "418" for a status without a known reason.
std::string http_status_text(int http) {
    const auto reason = reasons().find(http);
    return reason != reasons().end() ? format("%d %s", http, reason->second) : format("%d", http);
}

bool is_busy(int http) {
    return http == 429 || http == 500 || http == 502 || http == 503 || http == 504;
}

// The server's answer failed the transfer: an HTTP error, too many redirects.
bool answered(const Transfer_outcome& outcome) {
    return (outcome.code == 22 || outcome.code == 47) && outcome.http >= 300;
}

// Each line of curl's batch report: "<exit code> <file>", politely followed
// by " <HTTP status> <Retry-After>".
std::map<std::string, Transfer_outcome> read_report(const std::string& report) {
    std::map<std::string, Transfer_outcome> outcomes;
    std::istringstream lines(report);
    for (std::string line; std::getline(lines, line);) {
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

int month_number(const char* name) {
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int m = 0; m < 12; ++m) {
        if (std::strcmp(name, months[m]) == 0) return m;
    }
    return -1;
}

// Without the C library's locale: the names are always English.
std::optional<std::time_t> to_time(int year, const char* month, int day, int hour, int minute,
                                   int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month_number(month);
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    if (t.tm_mon < 0 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
        return std::nullopt;
    }
    return timegm(&t);
}

std::string read_file(const std::string& path) {
    const Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    std::string text;
    char block[4096];
    for (ssize_t n = 0; fd.get() >= 0 && (n = read(fd.get(), block, sizeof block)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        text.append(block, static_cast<std::size_t>(n));
    }
    return text;
}

void write_file(const std::string& path, const std::string& text) {
    unlink(path.c_str());  // from an earlier download of the same tile
    const Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0 || !write_all(fd.get(), text.data(), text.size())) {
        throw sys_error(path + ": " + std::strerror(errno));
    }
}

long long file_size(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

}  // namespace

std::optional<std::time_t> parse_http_date(const std::string& text) {
    char day_name[16];
    char month[4];
    int day = 0;
    int year = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int end = 0;
    const char* s = text.c_str();
    const auto whole = [&] { return static_cast<std::size_t>(end) == text.size(); };
    // Sun, 06 Nov 1994 08:49:37 GMT
    if (std::sscanf(s, "%3[A-Za-z], %2d %3[A-Za-z] %4d %2d:%2d:%2d GMT%n", day_name, &day, month,
                    &year, &hour, &minute, &second, &end) == 7 &&
        whole()) {
        return to_time(year, month, day, hour, minute, second);
    }
    // Sunday, 06-Nov-94 08:49:37 GMT: a two-digit year is taken within 1970-2069.
    if (std::sscanf(s, "%15[A-Za-z], %2d-%3[A-Za-z]-%2d %2d:%2d:%2d GMT%n", day_name, &day, month,
                    &year, &hour, &minute, &second, &end) == 7 &&
        whole()) {
        return to_time(year + (year < 70 ? 2000 : 1900), month, day, hour, minute, second);
    }
    // Sun Nov  6 08:49:37 1994
    if (std::sscanf(s, "%3[A-Za-z] %3[A-Za-z] %2d %2d:%2d:%2d %4d%n", day_name, month, &day, &hour,
                    &minute, &second, &year, &end) == 7 &&
        whole()) {
        return to_time(year, month, day, hour, minute, second);
    }
    return std::nullopt;
}

std::optional<int> retry_wait(const Transfer_outcome& outcome, Retries& retries, std::time_t now) {
    constexpr int busy_retries = 4;
    constexpr int longest_wait = 60;
    if (outcome.code == 28) {
        if (retries.timeouts >= 1) return std::nullopt;
        ++retries.timeouts;
        return 1;
    }
    if (outcome.code != 22 || !is_busy(outcome.http) || retries.busy >= busy_retries) {
        return std::nullopt;
    }
    long asked = 0;
    const std::string& after = outcome.retry_after;
    if (!after.empty() && after.find_first_not_of("0123456789") == std::string::npos) {
        asked = after.size() > 6 ? longest_wait : std::stol(after);
    } else if (const auto date = parse_http_date(after)) {
        asked = static_cast<long>(std::min<std::time_t>(*date - now, longest_wait));
    }
    const int backoff = 1 << retries.busy;
    ++retries.busy;
    return static_cast<int>(std::max<long>(backoff, std::min<long>(asked, longest_wait)));
}

std::string http_status_line(const Transfer_outcome& outcome, const std::string& url) {
    if (!answered(outcome)) return "";
    return "plotr: the server answered " + http_status_text(outcome.http) + " for " + url + "\n";
}

Transfer_seams shell_seams(const Shell& shell, std::function<std::time_t()> now) {
    return {.run =
                [&shell](const std::string& command, const Watch& watch) {
                    return watch ? shell.run_watched(command, watch) : shell.run_for_code(command);
                },
            .pause = [&shell](int seconds) { shell.pause(seconds); },
            .now = std::move(now),
            .clock =
                [] {
                    return std::chrono::duration<double>(
                               std::chrono::steady_clock::now().time_since_epoch())
                        .count();
                },
            .read = read_file,
            .write = write_file,
            .size = file_size};
}

Transfers::Transfers(Manners manners, int parallel, Transfer_limits limits, Transfer_seams seams)
    : manners_(std::move(manners)), parallel_(parallel), limits_(limits), seams_(std::move(seams)) {}

// Stops a command once none of `files` has grown for `limits_.stall` seconds.
Watch Transfers::stall_watch(std::vector<std::string> files, bool& stalled) const {
    const auto moved = [this, files = std::move(files)] {
        long long total = 0;
        for (const std::string& file : files) {
            total += std::max(0LL, seams_.size(file) + 1);  // a new empty file counts
        }
        return total;
    };
    return [this, moved, &stalled, total = moved(), since = seams_.clock()]() mutable {
        const long long now_total = moved();
        const double now = seams_.clock();
        if (now_total != total) {
            total = now_total;
            since = now;
        }
        stalled = now - since >= limits_.stall;
        return !stalled;
    };
}

Transfers::Round Transfers::attempt_one(const Transfer_request& tile) {
    Round round;
    Attempt attempt;
    if (!manners_.polite) {
        round.command = curl_command(tile.url, tile.file, tile.since, manners_.user_agent);
        round.code = seams_.run(round.command, stall_watch({tile.file}, attempt.stalled));
        attempt.outcome.code = round.code;
        round.attempts.push_back(attempt);
        return round;
    }
    // The URL, and with it the key, goes to curl in a file of the private
    // directory, never on a command line.
    const std::string config = tile.file + ".conf";
    const std::string status = tile.file + ".status";
    seams_.write(config, polite_transfer_config(manners_, tile.url, tile.since));
    round.command = polite_curl_command(config, tile.file, status, limits_);
    round.code = seams_.run(round.command, {});
    attempt.outcome.code = round.code;
    std::istringstream report(seams_.read(status));
    report >> attempt.outcome.http;
    std::getline(report >> std::ws, attempt.outcome.retry_after);
    round.attempts.push_back(attempt);
    return round;
}

Transfers::Round Transfers::attempt_batch(const std::vector<Transfer_request>& tiles,
                                          const std::string& work_dir) {
    std::vector<curl_transfer> transfers;
    std::vector<std::string> files;
    for (const Transfer_request& tile : tiles) {
        transfers.push_back({tile.url, tile.file, tile.since});
        files.push_back(tile.file);
    }
    ++batches_;
    const std::string name = batches_ == 1 ? "/curl" : format("/curl-%d", batches_);
    const std::string config_file = work_dir + name + ".conf";
    const std::string report_file = work_dir + name + ".out";
    seams_.write(config_file, curl_batch_config(transfers, manners_, limits_));
    Round round;
    round.command = curl_batch_command(parallel_, config_file, report_file);
    bool stopped = false;
    if (manners_.polite) {
        // A timeout may mean the provider is down: the rest waits for the retry.
        round.code = seams_.run(round.command, [&] {
            for (const auto& [file, outcome] : read_report(seams_.read(report_file))) {
                stopped = stopped || outcome.code == 28;
            }
            return !stopped;
        });
    } else {
        files.push_back(report_file);
        round.code = seams_.run(round.command, stall_watch(files, stopped));
    }
    round.stopped = stopped;
    const std::map<std::string, Transfer_outcome> outcomes =
        read_report(seams_.read(report_file));
    for (const Transfer_request& tile : tiles) {
        Attempt attempt;
        if (const auto found = outcomes.find(tile.file); found != outcomes.end()) {
            attempt.outcome = found->second;
        } else {
            attempt.outcome.code = round.code;
            attempt.unfinished = stopped && manners_.polite;
            attempt.stalled = stopped && !manners_.polite;
        }
        round.attempts.push_back(attempt);
    }
    return round;
}

bool Transfers::takes_down(const Attempt& attempt) const {
    const int code = attempt.outcome.code;
    // Proxy or host not found, no connection, a final timeout, nothing or a
    // broken answer; a provider still busy after its retries.
    return attempt.stalled || code == 5 || code == 6 || code == 7 || code == 28 || code == 52 ||
           code == 56 || (manners_.polite && code == 22 && is_busy(attempt.outcome.http));
}

Transfer_failure Transfers::failure(const Transfer_request& tile, const Attempt& attempt,
                                    const Round& round) const {
    const Transfer_outcome& outcome = attempt.outcome;
    const bool own_code = round.code != 0 && !(round.stopped && outcome.code != 0);
    Transfer_failure f{round.command, own_code ? round.code : outcome.code, "", "", false};
    if (attempt.stalled) {
        f.reason = format("the server sent nothing for %g s", limits_.stall);
        f.detail = "plotr: " + f.reason + "; the download of " + tile.url + " was stopped\n";
    } else if (outcome.code == 28) {
        f.reason = outcome.http == 0 ? "the provider did not answer"
                                     : "the provider answered too slowly";
        f.detail = "plotr: " + f.reason + " for " + tile.url + "\n";
    } else if (outcome.code == 255 || outcome.code > 128) {
        f.reason = "the download was interrupted";
        f.interrupted = true;
    } else if (answered(outcome)) {
        f.reason = "the server answered " + http_status_text(outcome.http);
        f.detail = http_status_line(outcome, tile.url);
    } else if (outcome.code == 6) {
        f.reason = "the server's name could not be resolved";
    } else if (outcome.code == 7) {
        f.reason = "the server could not be reached";
    } else if (outcome.code == 22) {
        // curl -f without a report of the status: some HTTP error.
        f.reason = "the server answered with an HTTP error";
    } else {
        f.reason = format("curl failed with exit code %d", outcome.code);
    }
    return f;
}

void Transfers::fetch(const std::vector<Transfer_request>& tiles, const std::string& work_dir,
                      const Done& done, const Failed& failed) {
    std::vector<std::size_t> pending;
    for (std::size_t i = 0; i < tiles.size(); ++i) {
        if (down_) {
            failed(i, *down_);
        } else {
            pending.push_back(i);
        }
    }
    std::vector<Retries> retries(tiles.size());
    while (!pending.empty()) {
        std::vector<Transfer_request> asked;
        for (const std::size_t i : pending) asked.push_back(tiles[i]);
        const Round round =
            parallel_ > 1 ? attempt_batch(asked, work_dir) : attempt_one(asked.front());
        // What came is kept even when the rest then fails.
        for (std::size_t k = 0; k < pending.size(); ++k) {
            if (round.attempts[k].outcome.code == 0 && !round.attempts[k].unfinished) {
                done(pending[k]);
            }
        }
        std::vector<std::size_t> again;
        int wait = 0;
        for (std::size_t k = 0; k < pending.size(); ++k) {
            const Attempt& attempt = round.attempts[k];
            const std::size_t i = pending[k];
            if (attempt.outcome.code == 0 && !attempt.unfinished) continue;
            if (down_) {
                failed(i, *down_);
                continue;
            }
            std::optional<int> seconds;
            if (attempt.unfinished) {
                seconds = 1;
            } else if (manners_.polite && !attempt.stalled) {
                seconds = retry_wait(attempt.outcome, retries[i], seams_.now());
            }
            if (seconds) {
                again.push_back(i);
                wait = std::max(wait, *seconds);
                continue;
            }
            const Transfer_failure f = failure(tiles[i], attempt, round);
            if (!f.interrupted && takes_down(attempt)) {
                down_ = f;
                // Those already waiting for a retry are not asked again.
                for (const std::size_t j : again) failed(j, f);
                again.clear();
            }
            failed(i, f);
        }
        if (again.empty()) return;
        seams_.pause(wait);
        pending = std::move(again);
    }
}

}  // namespace plotr
