#include "tiles/curl_commands.h"

#include "common/shell.h"
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

std::string curl_batch_config(const std::vector<curl_transfer>& transfers) {
    std::string config;
    for (const curl_transfer& transfer : transfers) {
        if (!config.empty()) {
            config += "next\n";
        }
        config += "fail\nsilent\ngloboff\ncreate-dirs\n";
        config += "write-out = \"%{exitcode} %{filename_effective}\\n\"\n";
        if (transfer.since) {
            config += "time-cond = " + config_quoted(http_date(*transfer.since)) + "\n";
        }
        config += "url = " + config_quoted(transfer.url) + "\n";
        config += "output = " + config_quoted(transfer.file) + "\n";
    }
    return config;
}

std::string curl_batch_command(int parallel, const std::string& config_file,
                               const std::string& report_file) {
    return format("curl --parallel --parallel-max %d --no-progress-meter -K ", parallel) +
           shell_quote(config_file) + " > " + shell_quote(report_file);
}

}  // namespace plotr
