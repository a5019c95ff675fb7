#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace plotr {

/// How downloads behave beyond the plain "curl -f -s"; nothing of it without
/// -provider or -user-agent.
struct Manners {
    /// Sent as User-Agent; none: curl's own. An empty text sends none.
    std::optional<std::string> user_agent;
    /// A provider's manners: redirects (5, http and https only), timeouts (see
    /// Transfer_limits), retries of busy answers and timeouts, the HTTP status
    /// of a failure, and the URL handed to curl in a file.
    bool polite = false;
    /// Fills "{apikey}" in what curl is given, never in what is printed.
    std::string api_key;
};

/// How long a transfer may take, in seconds.
struct Transfer_limits {
    double connect = 15;  ///< politely, to connect
    int silence = 30;     ///< politely, without a byte
    double total = 60;    ///< politely, for the whole tile
    double stall = 60;    ///< otherwise, without a byte: plotr stops the download
};

/// The limits, all shortened by `scale` when it is a number above 0 and below
/// 1 (the tests' PLOTR_TEST_TIME_SCALE); otherwise as they are.
Transfer_limits transfer_limits(const char* scale);

/// The template with the first "{s}" replaced by "a", then the first "{z}",
/// "{x}" and "{y}" by the numbers. Other occurrences stay as they are.
std::string tile_url(const std::string& url_template, int z, int x, int y);

/// Whether the template asks for high-density tiles with "{r}".
bool has_retina_placeholder(const std::string& url_template);

/// The template with its first "{r}" replaced by `suffix` ("@2x", or "").
std::string with_retina(const std::string& url_template, const std::string& suffix);

/// The command that downloads one tile, "curl -f -s <url> -o <file>" with both
/// quoted for the shell; curl is told to take the URL as it is: "-g" when it
/// holds [ ] { }, "--url" before it when it begins with "-". With `since`, the
/// server is asked for the tile only if it changed after that time; with a
/// user agent, "-A <agent>" follows "-s".
std::string curl_command(const std::string& url, const std::string& file,
                         std::optional<std::time_t> since = std::nullopt,
                         const std::optional<std::string>& user_agent = std::nullopt);

/// The command of a polite transfer: curl with a provider's manners, the rest
/// in the configuration file `config` (see polite_transfer_config), writing
/// the tile into `file` and "<HTTP status> <Retry-After>" into `status`.
std::string polite_curl_command(const std::string& config, const std::string& file,
                                const std::string& status, const Transfer_limits& limits = {});

/// The configuration file of one polite transfer: the URL with its key, the
/// user agent and the time condition.
std::string polite_transfer_config(const Manners& manners, const std::string& url,
                                   std::optional<std::time_t> since);

/// One transfer of a batch.
struct curl_transfer {
    std::string url;
    std::string file;
    std::optional<std::time_t> since;  ///< as for curl_command
};

/// curl's configuration file for the batch: each transfer in a section of its
/// own (the time condition is per transfer), taking the URL as it is and
/// reporting "<exit code> <file>" on a line of standard error, which is
/// unbuffered, so that the lines can be watched as they come; politely also
/// " <HTTP status> <Retry-After>", with the manners' options and key.
std::string curl_batch_config(const std::vector<curl_transfer>& transfers,
                              const Manners& manners = {}, const Transfer_limits& limits = {});

/// The command that runs the batch configured in `config_file`, `parallel`
/// transfers at once, its report going to `report_file`.
std::string curl_batch_command(int parallel, const std::string& config_file,
                               const std::string& report_file);

}  // namespace plotr
