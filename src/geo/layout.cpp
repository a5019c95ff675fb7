#include "geo/layout.h"

#include <algorithm>
#include <cmath>

#include "common/text.h"
#include "geo/projection.h"

namespace plotr {

int tile_index(double v) { return truncate_to_int(v / tile_size); }

drawing_reach widest(const drawing_reach& a, const drawing_reach& b) {
    return {std::max(a.left, b.left), std::max(a.right, b.right), std::max(a.top, b.top),
            std::max(a.bottom, b.bottom)};
}

drawing_reach scaled_down(const drawing_reach& reach, int scale) {
    return {reach.left / scale, reach.right / scale, reach.top / scale, reach.bottom / scale};
}

bool drawing_fits(int z, const bounds& box, int width, int height, const drawing_reach& reach) {
    return pixel_width(z, box.west, box.east) + reach.left + reach.right <= width &&
           pixel_height(z, box.south, box.north) + reach.top + reach.bottom <= height;
}

canvas_layout lay_out_canvas(int z, const bounds& box, int width, int height,
                             const drawing_reach& reach) {
    const auto w = static_cast<double>(width);
    const auto h = static_cast<double>(height);
    canvas_layout l{};
    l.zoom = z;
    l.gpx_height = pixel_height(z, box.south, box.north);
    l.gpx_width = pixel_width(z, box.west, box.east);
    // Half the difference first, then added to the projected bound. A reach
    // of zero leaves every value exactly as for the box alone.
    const double drawing_height = l.gpx_height + reach.top + reach.bottom;
    const double drawing_width = l.gpx_width + reach.left + reach.right;
    l.canvas_top = (pixel_y(z, box.north) - reach.top) - (h - drawing_height) / 2.0;
    l.canvas_bottom = (pixel_y(z, box.south) + reach.bottom) + (h - drawing_height) / 2.0;
    l.canvas_left = (pixel_x(z, box.west) - reach.left) - (w - drawing_width) / 2.0;
    l.canvas_right = (pixel_x(z, box.east) + reach.right) + (w - drawing_width) / 2.0;
    l.tiles = {tile_index(l.canvas_left), tile_index(l.canvas_right), tile_index(l.canvas_top),
               tile_index(l.canvas_bottom)};
    l.last_tile_index = truncate_to_int(std::pow(2.0, z)) - 1;
    return l;
}

std::string layout_messages(const canvas_layout& l) {
    std::string text = format("gpx height: %f\n", l.gpx_height);
    text += format("gpx width:  %f\n", l.gpx_width);
    text += format("canvas top:    %f\n", l.canvas_top);
    text += format("canvas bottom: %f\n", l.canvas_bottom);
    text += format("canvas left:   %f\n", l.canvas_left);
    text += format("canvas right:  %f\n", l.canvas_right);
    return text;
}

}  // namespace plotr

namespace plotr {

bounds layout_bounds(const canvas_layout& l) {
    const double world = tile_size * std::pow(2.0, l.zoom);
    const auto lon = [world](double x) { return x / world * 360 - 180; };
    const auto lat = [world](double y) { return latitude_of(pi - 2 * pi * y / world); };
    return {lat(l.canvas_bottom), lat(l.canvas_top), lon(l.canvas_left), lon(l.canvas_right)};
}

}  // namespace plotr
