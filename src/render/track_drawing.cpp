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

pin_unit pin_unit_of(const std::string& text) {
    if (text == "track") return pin_unit::track;
    if (text == "file") return pin_unit::file;
    return pin_unit::segment;
}

namespace {

void draw_line(const drawing_context& context, const track_segment& segment) {
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
}

// The pins of the tracks first..last (exclusive): at their first and last point.
void place_pins(const drawing_context& context, const track_list& tracks, size_t first,
                size_t last) {
    const track_point* start = nullptr;
    const track_point* end = nullptr;
    for (size_t t = first; t < last; ++t) {
        for (const track_segment& segment : tracks[t]) {
            if (segment.empty()) continue;
            if (!start) start = &segment.front();
            end = &segment.back();
        }
    }
    if (!start) return;
    place_marker(context, context.start_pin, *start);
    place_marker(context, context.end_pin, *end);
}

}  // namespace

void draw_track_segment(const drawing_context& context, const track_segment& segment) {
    if (segment.empty()) {
        return;
    }
    draw_line(context, segment);
    if (context.nomarkers) {
        return;
    }
    place_marker(context, context.start_pin, segment.front());
    place_marker(context, context.end_pin, segment.back());
}

void draw_tracks(const drawing_context& context, const track_list& tracks,
                 const std::vector<size_t>& ends) {
    if (context.pins == pin_unit::segment || context.nomarkers) {
        for (const track& t : tracks) {
            for (const track_segment& segment : t) draw_track_segment(context, segment);
        }
        return;
    }
    size_t first = 0;
    for (const size_t end : ends) {
        for (size_t t = first; t < end; ++t) {
            for (const track_segment& segment : tracks[t]) {
                if (!segment.empty()) draw_line(context, segment);
            }
            if (context.pins == pin_unit::track) place_pins(context, tracks, t, t + 1);
        }
        if (context.pins == pin_unit::file) place_pins(context, tracks, first, end);
        first = end;
    }
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
