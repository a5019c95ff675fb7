#pragma once

#include <string>

namespace plotr {

/// Whether MagickCore's colour parser takes the text, as color_of_string
/// would. Kept apart from imaging.h so that the command line can check a
/// colour without including MagickCore.
bool is_color(const std::string& text);

}  // namespace plotr
