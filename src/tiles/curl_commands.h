#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace plotr {

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
/// server is asked for the tile only if it changed after that time.
std::string curl_command(const std::string& url, const std::string& file,
                         std::optional<std::time_t> since = std::nullopt);

/// One transfer of a batch.
struct curl_transfer {
    std::string url;
    std::string file;
    std::optional<std::time_t> since;  ///< as for curl_command
};

/// curl's configuration file for the batch: each transfer in a section of its
/// own (the time condition is per transfer), taking the URL as it is and
/// reporting "<exit code> <file>" on a line of standard output.
std::string curl_batch_config(const std::vector<curl_transfer>& transfers);

/// The command that runs the batch configured in `config_file`, `parallel`
/// transfers at once, its report going to `report_file`.
std::string curl_batch_command(int parallel, const std::string& config_file,
                               const std::string& report_file);

}  // namespace plotr
