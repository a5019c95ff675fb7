#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "geo/tile_grid.h"
#include "tiles/curl_commands.h"

namespace plotr {

/// One tile provider: where its tiles are, how it wants to be credited and
/// how hard it may be asked.
struct Provider {
    std::string name;
    std::string title;  ///< what the map shows
    std::string url;    ///< template: {s} {z} {x} {y} {apikey} {r}
    std::vector<std::string> subdomains{"a"};
    std::string attribution;  ///< the credit line its terms ask for
    int max_zoom = 18;        ///< 0..22
    int tile_size = 256;      ///< 256 or 512
    std::string key_env;      ///< environment variable of its key; empty: none
    int max_parallel = 2;     ///< transfers at once, 1..64
    int retina = 2;           ///< the densest "{r}" tiles it serves, 1..4
};

/// The grid asking for retina tiles no denser than `retina` (1..4) times
/// `provider_side`: at a larger scale those are fetched and resized.
tile_grid with_retina_limit(tile_grid grid, int provider_side, int retina);

/// A provider file that is not as it must be; what() names the line and fault.
struct Provider_file_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/// What downloads with -provider call themselves: "plotr/<version> (+<homepage>)".
std::string default_user_agent();

/// Reads a provider file's text: "#" comment lines, blank lines, "[name]"
/// lines opening entries, "key = value" lines. Throws Provider_file_error
/// ("line N: ...") on any other line, an unknown or repeated key, a missing
/// url or a value out of range.
std::vector<Provider> parse_providers(std::string_view text);

/// parse_providers on the file's contents; an unreadable file throws
/// Provider_file_error too.
std::vector<Provider> read_provider_file(const std::string& path);

/// The built-in provider list, found beside the program as
/// <exe_dir>/../share/plotr/providers.
std::string builtin_providers_path(const std::string& exe_dir);

/// The provider NAME: with a "/", the one entry of that file; otherwise the
/// built-in entry of that name, nullopt when there is none. Throws
/// Provider_file_error for a file that cannot be read or is malformed (a
/// user's file that holds other than one entry included).
std::optional<Provider> find_provider(const std::string& name, const std::string& builtin_path);

/// One line per provider: name, title and key, in aligned columns, e.g.
/// "osm  OpenStreetMap standard map  no key".
std::string provider_list(const std::vector<Provider>& providers);

/// The provider's template as downloads use it: "{s}" as its first
/// subdomain; "{r}" stays for -scale to fill, and "{apikey}" stays, so that
/// what is printed or kept never holds the key.
std::string provider_template(const Provider& provider);

/// How downloads from the provider behave, for `url_template` (the provider's
/// or -url's) and the user agent the command line settled. A template holding
/// "{apikey}" takes the key from the provider's variable, read by `getenv`.
/// Throws Failure, before anything is downloaded, when that key is unset or
/// empty, or when the provider serves tiles of other than 256 pixels.
Manners provider_manners(const Provider& provider, const std::string& url_template,
                         const std::optional<std::string>& user_agent,
                         const char* (*getenv)(const char*) = nullptr);

/// The URL with every "{apikey}" replaced by the key: only for curl's eyes.
std::string fill_key(std::string url, const std::string& key);

}  // namespace plotr
