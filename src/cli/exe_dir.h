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

}  // namespace plotr
