#include "geo/zoom.h"

#include <cmath>
#include <cstdint>

#include "common/text.h"
#include "geo/projection.h"

namespace plotr {

zoom_choice choose_zoom(double min_lat, double max_lat, double min_lon, double max_lon,
                        int usable_width, int usable_height, int limit) {
    zoom_choice c{};
    c.limit = limit;
    c.diagonal = distance(min_lat, min_lon, max_lat, max_lon);
    if (c.diagonal < 20.0) {
        c.short_track = true;
        c.zoom = limit;
        return c;
    }

    // 64-bit product: a width near 2^30 times 360 would overflow an int.
    const auto product = static_cast<double>(static_cast<int64_t>(usable_width) * 360);
    const double span = (max_lon - min_lon) * 256;
    c.width_bound = truncate_to_int(std::floor(log2(product / span)));

    const double ya = mercator_y(min_lat);
    const double yb = mercator_y(max_lat);
    // Truncated, not floored: the leading 1 comes from the 2^(z-1) of pixel_y.
    c.height_bound =
        truncate_to_int(1 + log2((static_cast<double>(usable_height) * pi) / (256 * (yb - ya))));

    c.smaller_bound = c.width_bound < c.height_bound ? c.width_bound : c.height_bound;
    c.zoom = c.smaller_bound > limit ? limit : c.smaller_bound < 0 ? 0 : c.smaller_bound;
    return c;
}

std::string zoom_messages(const zoom_choice& c) {
    if (c.short_track) {
        return format("we got %f meters GPX, choose maximum zoom level (%d)\n", c.diagonal,
                      c.limit);
    }
    std::string text = format("calculated maximum zoom to fit width:  %d\n", c.width_bound);
    text += format("calculated maximum zoom to fit height: %d\n", c.height_bound);
    text += format("calculated minimum zoom: %d\n", c.smaller_bound);
    if (c.smaller_bound > c.limit) {
        text += format("zoom is too high, choose %d\n", c.limit);
    } else if (c.smaller_bound < 0) {
        text += "zoom is too low, choose 0";
    }
    return text;
}

}  // namespace plotr
