#include "render/track_drawing.h"

#include <algorithm>

#include "geo/projection.h"

namespace plotr {

color_quad track_color(const std::string& text) {
    if (!text.empty()) {
        return color_of_string(text);
    }
    color_quad color = color_of_string("#4400FF");
    color.opacity = 65535 - static_cast<unsigned>(65535.0 * 0.7);
    return color;
}

drawing_reach line_reach(double line_width) {
    const double reach = line_width / 2 + 2;
    return {reach, reach, reach, reach};
}

drawing_reach marker_reach(const image_handle& pin, const image_handle& shadow) {
    // The anchor of place_marker: the pin's left edge w/2 before the point,
    // its top h-5 above it; the shadow shares both. A point truncated to
    // its pixel lies up to one pixel before where it is.
    const double anchor_x = static_cast<double>(image_width(pin) / 2);
    const double anchor_y = static_cast<double>(image_height(pin)) - 5;
    return {
        .left = anchor_x + 1,
        .right = static_cast<double>(std::max(image_width(pin), image_width(shadow))) - anchor_x,
        .top = anchor_y + 1,
        .bottom =
            static_cast<double>(std::max(image_height(pin), image_height(shadow))) - anchor_y};
}

void draw_track_segment(const drawing_context& context, const track_segment& segment) {
    if (segment.empty()) {
        return;
    }
    std::vector<canvas_point> points;
    points.reserve(segment.size());
    for (const track_point& p : segment) {
        points.push_back(
            project_point(context.zoom, context.canvas_left, context.canvas_top, p.lat, p.lon));
    }
    for (const track_run& run : split_track(points)) {
        draw_polyline(context.canvas, run, context.color, context.line_width, true, RoundJoin,
                      RoundCap);
    }
    if (context.nomarkers) {
        return;
    }
    place_marker(context, context.start_pin, segment.front());
    place_marker(context, context.end_pin, segment.back());
}

void place_marker(const drawing_context& context, const image_handle& pin,
                  const track_point& point) {
    const canvas_point p =
        project_point(context.zoom, context.canvas_left, context.canvas_top, point.lat, point.lon);
    // In long: a point far off the canvas saturates to the int limits.
    const long left = p.x - image_width(pin) / 2;
    const long top = p.y - image_height(pin) + 5;
    composite_image(context.canvas, pin, OverCompositeOp, left, top);
    composite_image(context.canvas, context.shadow, OverCompositeOp, left, top);
}

}  // namespace plotr
