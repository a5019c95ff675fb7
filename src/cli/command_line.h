#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/console.h"
#include "common/failure.h"
#include "geo/framing.h"
#include "geo/privacy.h"
#include "gpx/gpx_names.h"
#include "tiles/provider.h"

namespace plotr {

inline constexpr const char* default_url =
    "http://{s}.tile.thunderforest.com/landscape/{z}/{x}/{y}.png";

/// Everything the command line sets; read-only once parsed.
struct Settings {
    std::string output = "out.png";
    int height = 600;
    int width = 800;
    std::string url = default_url;
    int horizontal_padding = 0;
    int vertical_padding = 0;
    bool compress = false;
    bool nomarkers = false;
    std::string cache;        ///< tile cache folder; empty: none
    int parallel = 1;         ///< downloads at once, 1..64
    std::string attribution;  ///< credit line, UTF-8; empty: none
    std::string color;        ///< track colour text; empty: the built-in blue
    int line_width = 4;       ///< track width in pixels, 1..64
    int scale = 1;            ///< device pixels per pixel, 1..4
    int tile_size = 256;      ///< side of the provider's tiles, 256 or 512
    /// The provider of -provider; with it, url, attribution, parallel, tile_size
    /// and user_agent hold the provider's values unless their options say otherwise.
    std::optional<Provider> provider;
    std::optional<std::string> user_agent;  ///< none: curl's own
    int parallel_asked = 0;                 ///< a -parallel above the provider's limit; 0: none
    std::vector<std::string> gpx_files;     ///< documents to read in turn; none: standard input
    bool routes = false;                    ///< draw routes beside tracks
    std::string pins = "segment";           ///< segment, track or file
    int margin = -1;                        ///< pixels kept clear at every edge, 0..10000; -1: none
    std::optional<int> zoom;                ///< the zoom to draw at; none: the largest that fits
    std::optional<geo_point> center;        ///< the picture's centre; none: the ground's
    std::optional<bounds> bbox;             ///< the ground; none: the tracks' box
    std::string color_by;                   ///< speed, elevation, grade, heartrate; empty: none
    std::optional<int> profile;             ///< the profile strip's height, 40..height/2
    std::string units = "metric";           ///< metric or imperial
    int privacy = 0;                        ///< metres hidden at both ends of every track
    std::vector<privacy_zone> privacy_zones;
    bool waypoints = false;  ///< draw the waypoints with their names
    std::string outline;     ///< casing colour under the track; empty: none
    /// The MBTiles file the tiles come from; empty: none. Set, it has the last
    /// word over -url and -provider (and then no provider is kept).
    std::string mbtiles;
    bool attribution_given = false;  ///< -attribution was on the command line
    std::vector<gpx_list> gpx_lists;        ///< files naming documents, among gpx_files
    bool heatmap = false;                   ///< rides counted per pixel; no pins
    std::string map_tone = "normal";        ///< normal, grey or dim
};

/// The largest picture side the command line takes.
inline constexpr int max_side = 1073741823;

/// Reads the argument vector (element 0 is the program name) into Settings.
/// When it returns it has printed only, on standard error, a line for each
/// plain argument that names a file ("plotr: ride.gpx is not read; give it as
/// -gpx ride.gpx or < ride.gpx"): those are ignored. On -help/--help (-version) it prints the
/// help (the version) on standard output and throws Early_exit{0}, on
/// "-provider list" the list of the providers in `providers_file` likewise;
/// on an error it prints the error line and the help on standard error and
/// throws Early_exit{2}; so too for two options that do not go together ("plotr: option
/// `-pins' does not apply with `-heatmap'."). A `providers_file` that cannot be read or is
/// malformed is a broken installation: Failure("<file>: ...") when -provider
/// needs it.
Settings parse_command_line(const std::vector<std::string>& arguments, Console& console,
                            const std::string& providers_file = "");

/// "plotr <version>\n", the version of the build.
std::string version_text();

/// The help text, always with the built-in defaults.
std::string usage_text();

/// The options, in the order of the help text.
std::vector<std::string> option_names();

/// An integer literal: optional '-', then decimal digits or 0x/0o/0b and
/// digits of that base, '_' allowed after the first digit. The value must lie in
/// -1073741824 .. 1073741823 whatever the base; nullopt otherwise.
std::optional<int> parse_integer(std::string_view text);

/// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or
/// code points past U+10FFFF).
bool is_utf8(std::string_view text);

}  // namespace plotr
