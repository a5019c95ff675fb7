// The command line's colour check without MagickCore, which the fuzz targets
// leave out: "#" and three or six hex digits are colours, nothing else is.

#include <string>

#include "render/color_name.h"

namespace plotr {

bool is_color(const std::string& text) {
    if (text.size() != 4 && text.size() != 7) return false;
    if (text[0] != '#') return false;
    return text.find_first_not_of("0123456789abcdefABCDEF", 1) == std::string::npos;
}

}  // namespace plotr
