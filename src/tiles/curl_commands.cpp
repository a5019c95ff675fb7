#include "tiles/curl_commands.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>

#include "common/shell.h"
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

}  // namespace

std::string tile_url(const std::string& url_template, int z, int x, int y) {
    std::string url = replace_first(url_template, "{s}", "a");
    url = replace_first(std::move(url), "{z}", std::to_string(z));
    url = replace_first(std::move(url), "{x}", std::to_string(x));
    return replace_first(std::move(url), "{y}", std::to_string(y));
}

bool has_retina_placeholder(const std::string& url_template) {
    return url_template.find("{r}") != std::string::npos;
}

std::string with_retina(const std::string& url_template, const std::string& suffix) {
    return replace_first(url_template, "{r}", suffix);
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

Transfer_limits transfer_limits(const char* scale) {
    Transfer_limits limits;
    char* end = nullptr;
    const double factor = scale != nullptr ? std::strtod(scale, &end) : 1;
    if (scale == nullptr || end == scale || *end != '\0' || !(factor > 0 && factor < 1)) {
        return limits;
    }
    limits.connect *= factor;
    limits.silence = std::max(1, static_cast<int>(std::lround(limits.silence * factor)));
    limits.total *= factor;
    limits.stall *= factor;
    return limits;
}

std::string polite_curl_command(const std::string& config, const std::string& file,
                                const std::string& status, const Transfer_limits& limits) {
    return format("curl -f -s -L --max-redirs 5 --proto-redir =http,https --connect-timeout %g "
                  "--speed-limit 1 --speed-time %d --max-time %g ",
                  limits.connect, limits.silence, limits.total) +
           "-w '%{http_code} %header{retry-after}\\n' -K " + shell_quote(config) + " -o " +
           shell_quote(file) + " > " + shell_quote(status);
}

std::string polite_transfer_config(const Manners& manners, const std::string& url,
                                   std::optional<std::time_t> since) {
    std::string config = "globoff\n";
    if (manners.user_agent) {
        config += "user-agent = " + config_quoted(*manners.user_agent) + "\n";
    }
    if (since) {
        config += "time-cond = " + config_quoted(http_date(*since)) + "\n";
    }
    return config + "url = " + config_quoted(fill_key(url, manners.api_key)) + "\n";
}

std::string curl_batch_config(const std::vector<curl_transfer>& transfers, const Manners& manners,
                              const Transfer_limits& limits) {
    std::string config;
    for (const curl_transfer& transfer : transfers) {
        if (!config.empty()) {
            config += "next\n";
        }
        config += "fail\nsilent\ngloboff\ncreate-dirs\n";
        if (manners.polite) {
            config += "location\nmax-redirs = 5\nproto-redir = \"=http,https\"\n";
            config += format("connect-timeout = %g\nspeed-limit = 1\nspeed-time = %d\nmax-time = %g\n",
                             limits.connect, limits.silence, limits.total);
            config +=
                "write-out = \"%{stderr}%{exitcode} %{filename_effective} %{http_code} "
                "%header{retry-after}\\n\"\n";
        } else {
            config += "write-out = \"%{stderr}%{exitcode} %{filename_effective}\\n\"\n";
        }
        if (manners.user_agent) {
            config += "user-agent = " + config_quoted(*manners.user_agent) + "\n";
        }
        if (transfer.since) {
            config += "time-cond = " + config_quoted(http_date(*transfer.since)) + "\n";
        }
        config += "url = " + config_quoted(fill_key(transfer.url, manners.api_key)) + "\n";
        config += "output = " + config_quoted(transfer.file) + "\n";
    }
    return config;
}

std::string curl_batch_command(int parallel, const std::string& config_file,
                               const std::string& report_file) {
    return format("curl --parallel --parallel-max %d --no-progress-meter -K ", parallel) +
           shell_quote(config_file) + " 2> " + shell_quote(report_file);
}

}  // namespace plotr
