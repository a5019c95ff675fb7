#include "render/track_drawing.h"

#include <algorithm>

#include "geo/projection.h"
#include "render/markers.h"

namespace plotr {

color_quad track_color(const std::string& text) {
    if (!text.empty()) {
        return color_of_string(text);
    }
    color_quad color = color_of_string("#4400FF");
    color.opacity = 65535 - static_cast<unsigned>(65535.0 * 0.7);
    return color;
}

pin_unit pin_unit_of(const std::string& text) {
    if (text == "track") return pin_unit::track;
    if (text == "file") return pin_unit::file;
    return pin_unit::segment;
}

double outline_width(double line_width) {
    return line_width + 2 * std::max(line_width / 3, 1.0);
}

namespace {

// The same path drawn wider in the casing's colour first, so that the line
// over it reads on a busy or dark map.
void draw_outline(const drawing_context& context, const std::vector<canvas_point>& points) {
    if (!context.outline) return;
    for (const track_run& run : split_track(points)) {
        draw_polyline(context.canvas, run, *context.outline, outline_width(context.line_width),
                      true, RoundJoin, RoundCap);
    }
}

std::vector<canvas_point> projected(const drawing_context& context, const track_segment& segment) {
    std::vector<canvas_point> points;
    points.reserve(segment.size());
    for (const track_point& p : segment) {
        points.push_back(project_point(context.zoom, context.canvas_left, context.canvas_top, p.lat,
                                       p.lon, context.scale));
    }
    return points;
}

void draw_line(const drawing_context& context, const track_segment& segment) {
    const std::vector<canvas_point> points = projected(context, segment);
    draw_outline(context, points);
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

void draw_tracks(const drawing_context& given, const track_list& tracks,
                 const std::vector<size_t>& ends) {
    // Every casing first: one drawn later would cut the lines it crosses and cover their pins.
    if (given.outline) {
        for (const track& t : tracks) {
            for (const track_segment& s : t) draw_outline(given, projected(given, s));
        }
    }
    drawing_context context = given;
    context.outline.reset();
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

}  // namespace plotr
