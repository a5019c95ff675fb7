#pragma once

#include <string>
#include <string_view>

namespace plotr {

/// Everything before the last slash of a path: "/" when that slash is the
/// first character, "." when there is no slash.
std::string directory_part(std::string_view path);

/// The path of the running program: the target of /proc/self/exe; failing
/// that, argument 0, looked up along `path_variable` when it holds no slash.
std::string executable_path(const std::string& argument0, const char* path_variable);

/// The three pin images, found beside the program as <exe_dir>/../share/plotr.
struct marker_paths {
    std::string start_icon;
    std::string end_icon;
    std::string shadow_icon;
};

/// Plain concatenation, no normalisation: /usr/bin gives
/// /usr/bin/../share/plotr/pin-icon-start.png and so on; at a scale above 1,
/// the images made for it, pin-icon-start@2x.png and so on.
marker_paths marker_paths_for(const std::string& exe_dir, int scale = 1);

}  // namespace plotr
