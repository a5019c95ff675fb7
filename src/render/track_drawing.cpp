#include "render/track_drawing.h"

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

void draw_track_segment(const drawing_context& context, const track_segment& segment) {
    if (segment.empty()) {
        return;
    }
    std::vector<canvas_point> points;
    points.reserve(segment.size());
    for (const track_point& p : segment) {
        points.push_back(project_point(context.zoom, context.canvas_left, context.canvas_top, p.lat,
                                       p.lon, context.scale));
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
    const canvas_point p = project_point(context.zoom, context.canvas_left, context.canvas_top,
                                         point.lat, point.lon, context.scale);
    // In long: a point far off the canvas saturates to the int limits. The
    // pin's tip lies 5 of its scale's pixels above its bottom edge.
    const long left = p.x - image_width(pin) / 2;
    const long top = p.y - image_height(pin) + 5L * context.scale;
    composite_image(context.canvas, pin, OverCompositeOp, left, top);
    composite_image(context.canvas, context.shadow, OverCompositeOp, left, top);
}

}  // namespace plotr
