#include "render/markers.h"

#include <algorithm>

#include "geo/projection.h"
#include "render/track_drawing.h"

namespace plotr {

namespace {

// The pin's top-left corner, back from its point: centred across, and its
// tip 5 of its scale's pixels above its bottom edge. The shadow shares it.
struct anchor {
    long left;
    long top;
};

anchor anchor_of(const image_handle& pin, int scale) {
    return {image_width(pin) / 2, image_height(pin) - 5L * scale};
}

}  // namespace

marker_paths marker_paths_for(const std::string& exe_dir, int scale) {
    const std::string share = exe_dir + "/../share/plotr/";
    const std::string suffix = scale > 1 ? "@" + std::to_string(scale) + "x.png" : ".png";
    return {share + "pin-icon-start" + suffix, share + "pin-icon-end" + suffix,
            share + "pin-shadow" + suffix};
}

Markers::Markers(const std::string& exe_dir, int scale)
    : paths_(marker_paths_for(exe_dir, scale)), scale_(scale) {}

const marker_images& Markers::images() {
    if (!images_) {
        images_.emplace(read_image(paths_.start_icon), read_image(paths_.end_icon),
                        read_image(paths_.shadow_icon));
    }
    return *images_;
}

drawing_reach Markers::reach(int line_width, bool nomarkers) {
    const marker_images& pins = images();
    if (nomarkers) {
        return line_reach(line_width);
    }
    // The scale's pins are drawn over a layout made at scale 1.
    return widest(line_reach(line_width),
                  scaled_down(widest(marker_reach(pins.start, pins.shadow, scale_),
                                     marker_reach(pins.end, pins.shadow, scale_)),
                              scale_));
}

drawing_reach line_reach(double line_width) {
    const double reach = line_width / 2 + 2;
    return {reach, reach, reach, reach};
}

drawing_reach marker_reach(const image_handle& pin, const image_handle& shadow, int scale) {
    // A point truncated to its pixel lies up to one pixel before where it is.
    const anchor a = anchor_of(pin, scale);
    const auto widest_of = [](long x, long y) { return static_cast<double>(std::max(x, y)); };
    return {
        .left = static_cast<double>(a.left) + 1,
        .right = widest_of(image_width(pin), image_width(shadow)) - static_cast<double>(a.left),
        .top = static_cast<double>(a.top) + 1,
        .bottom = widest_of(image_height(pin), image_height(shadow)) - static_cast<double>(a.top)};
}

void place_marker(const drawing_context& context, const image_handle& pin,
                  const track_point& point) {
    const canvas_point p = project_point(context.zoom, context.canvas_left, context.canvas_top,
                                         point.lat, point.lon, context.scale);
    // In long: a point far off the canvas saturates to the int limits.
    const anchor a = anchor_of(pin, context.scale);
    const long left = p.x - a.left;
    const long top = p.y - a.top;
    composite_image(context.canvas, pin, OverCompositeOp, left, top);
    composite_image(context.canvas, context.shadow, OverCompositeOp, left, top);
}

}  // namespace plotr
