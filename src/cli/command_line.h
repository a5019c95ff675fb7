#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/console.h"

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
    int margin = -1;          ///< pixels kept clear at every edge, 0..10000; -1: none
};

/// The largest picture side the command line takes.
inline constexpr int max_side = 1073741823;

/// Thrown when the command line ends the process before the run: after the help
/// (status 0) or after an error message (status 2). The text is already printed.
struct Early_exit {
    int status;
};

/// Reads the argument vector (element 0 is the program name) into Settings.
/// Prints nothing when it returns. On -help/--help (-version) it prints the
/// help (the version) on standard output and throws Early_exit{0}; on an error it prints the error
/// line and the help on standard error and throws Early_exit{2}.
Settings parse_command_line(const std::vector<std::string>& arguments, Console& console);

/// "plotr <version>\n", the version of the build.
std::string version_text();

/// The help text, always with the built-in defaults.
std::string usage_text();

/// An integer literal: optional '-', then decimal digits or 0x/0o/0b and
/// digits of that base, '_' allowed after the first digit. The value must lie in
/// -1073741824 .. 1073741823 whatever the base; nullopt otherwise.
std::optional<int> parse_integer(std::string_view text);

/// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or
/// code points past U+10FFFF).
bool is_utf8(std::string_view text);

}  // namespace plotr
