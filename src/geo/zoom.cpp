#include "geo/zoom.h"

#include <cmath>
#include <cstdint>

#include "common/text.h"
#include "geo/projection.h"

namespace plotr {

namespace {

// The bounds, and the zoom they give, for a track that is not short.
void bound_zoom(zoom_choice& c, const bounds& box, int usable_width, int usable_height) {
    // 64-bit product: a width near 2^30 times 360 would overflow an int.
    const auto product = static_cast<double>(static_cast<int64_t>(usable_width) * 360);
    const double span = (box.east - box.west) * 256;
    c.width_bound = truncate_to_int(std::floor(log2(product / span)));

    const double ya = mercator_y(box.south);
    const double yb = mercator_y(box.north);
    // Truncated, not floored: the leading 1 comes from the 2^(z-1) of pixel_y.
    c.height_bound =
        truncate_to_int(1 + log2((static_cast<double>(usable_height) * pi) / (256 * (yb - ya))));

    c.smaller_bound = c.width_bound < c.height_bound ? c.width_bound : c.height_bound;
    c.zoom = c.smaller_bound > c.limit ? c.limit : c.smaller_bound < 0 ? 0 : c.smaller_bound;
}

// A size less the reach across it. Where nothing is left, the bound comes
// out as the lowest int, which says so ("zoom is too low").
int less_reach(int size, double near_side, double far_side) {
    return truncate_to_int(static_cast<double>(size) - std::ceil(near_side + far_side));
}

}  // namespace

zoom_choice choose_zoom(const bounds& box, int usable_width, int usable_height, int limit) {
    zoom_choice c{};
    c.limit = limit;
    c.diagonal = distance(box.south, box.west, box.north, box.east);
    if (c.diagonal < 20.0) {
        c.short_track = true;
        c.zoom = limit;
        return c;
    }
    bound_zoom(c, box, usable_width, usable_height);
    return c;
}

zoom_choice choose_zoom_within(const bounds& box, int usable_width, int usable_height,
                               const drawing_reach& reach, int limit) {
    const auto fits = [&](int z) {
        return drawing_fits(z, box, usable_width, usable_height, reach);
    };
    zoom_choice c = choose_zoom(box, usable_width, usable_height, limit);
    if (c.short_track && fits(c.zoom)) {
        return c;
    }
    c.short_track = false;
    bound_zoom(c, box, less_reach(usable_width, reach.left, reach.right),
               less_reach(usable_height, reach.top, reach.bottom));
    // The logarithms may round up at an exact fit, and the height bound
    // truncates toward zero: the zoom itself is checked.
    while (c.zoom > 0 && !fits(c.zoom)) {
        --c.zoom;
    }
    c.fits = fits(c.zoom);
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
