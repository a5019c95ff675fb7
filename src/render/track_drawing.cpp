#include "render/track_drawing.h"

#include <algorithm>
#include <climits>
#include <cmath>

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

std::vector<canvas_point> projected(const drawing_context& context, const track_segment& segment) {
    std::vector<canvas_point> points;
    points.reserve(segment.size());
    for (const track_point& p : segment) {
        points.push_back(project_point(context.zoom, context.canvas_left, context.canvas_top, p.lat,
                                       p.lon, context.scale));
    }
    return points;
}

std::optional<line_box> fit_to_box(const drawing_context& context, std::span<track_run> runs,
                                   double width) {
    long left = LONG_MAX, top = LONG_MAX, right = LONG_MIN, bottom = LONG_MIN;
    for (const track_run& run : runs) {
        for (const canvas_point& p : run) {
            left = std::min<long>(left, p.x);
            right = std::max<long>(right, p.x);
            top = std::min<long>(top, p.y);
            bottom = std::max<long>(bottom, p.y);
        }
    }
    if (left > right) return std::nullopt;
    const long reach = static_cast<long>(std::ceil(width / 2)) + 2;
    const line_box box{std::max(0L, left - reach), std::max(0L, top - reach),
                       std::min(image_width(context.canvas), right + reach + 1),
                       std::min(image_height(context.canvas), bottom + reach + 1)};
    if (box.left >= box.right || box.top >= box.bottom) return std::nullopt;
    // Saturating, as far-off points already are.
    const auto shifted = [](int v, long by) {
        return static_cast<int>(std::clamp<long>(long(v) - by, INT_MIN, INT_MAX));
    };
    for (track_run& run : runs) {
        for (canvas_point& p : run) p = {shifted(p.x, box.left), shifted(p.y, box.top)};
    }
    return box;
}

namespace {

// The pieces of one colour each, every one from a colour's first point to the next colour's
// first, so they join; points on the same pixel as the one before are dropped. One
// primitive per colour keeps the drawing calls few.
std::vector<std::string> shaded_primitives(const std::vector<canvas_point>& points,
                                           const std::vector<unsigned char>& shades,
                                           size_t colors) {
    std::vector<std::string> primitives(colors);
    std::vector<canvas_point> piece;
    for (size_t i = 0; i < points.size();) {
        const unsigned char shade = shades[i];
        piece.assign(1, points[i]);
        size_t j = i + 1;
        for (; j < points.size(); ++j) {
            if (points[j] != piece.back()) piece.push_back(points[j]);
            if (shades[j] != shade) break;
        }
        // A piece on one pixel is still drawn: as a dot, like any zero-length line.
        if (piece.size() == 1) piece.push_back(piece.back());
        std::string& text = primitives[std::min<size_t>(shade, colors - 1)];
        if (!text.empty()) text += ' ';
        text += polyline_primitive(piece);
        i = j < points.size() ? j : points.size();
    }
    return primitives;
}

// The same path drawn wider in the casing's colour, so that the line over it reads on a
// busy or dark map; laid once, as the line is, so that a translucent casing is even too.
void draw_outline(const drawing_context& context, std::vector<canvas_point> points) {
    if (!context.outline || points.empty()) return;
    keep_alpha(context.canvas);
    const double width = outline_width(context.line_width);
    const std::optional<line_box> box = fit_to_box(context, std::span(&points, 1), width);
    if (!box) return;
    image_handle layer = get_canvas(box->right - box->left, box->bottom - box->top, "none");
    color_quad opaque = *context.outline;
    opaque.opacity = 0;
    for (const track_run& run : split_track(points)) {
        draw_polyline(layer, run, opaque, width, true, RoundJoin, RoundCap);
    }
    composite_translucent(context.canvas, layer, context.outline->opacity, box->left, box->top);
}

void draw_line(const drawing_context& context, const track_segment& segment,
               const std::vector<unsigned char>* shades) {
    std::vector<canvas_point> points = projected(context, segment);
    keep_alpha(context.canvas);
    // A line of one piece has no joins: drawn straight on the canvas, as it always was.
    if (!(shades && context.shades) && points.size() <= track_run_length) {
        draw_polyline(context.canvas, points, context.color, context.line_width, true, RoundJoin,
                      RoundCap);
        return;
    }
    const std::optional<line_box> box = fit_to_box(context, std::span(&points, 1), context.line_width);
    if (!box) return;
    image_handle layer = get_canvas(box->right - box->left, box->bottom - box->top, "none");
    color_quad opaque = context.color;
    opaque.opacity = 0;
    if (shades && context.shades && shades->size() == points.size()) {
        const std::vector<std::string> primitives =
            shaded_primitives(points, *shades, context.shades->colors.size());
        for (size_t c = 0; c < primitives.size(); ++c) {
            if (primitives[c].empty()) continue;
            color_quad color = context.shades->colors[c];
            color.opacity = 0;
            draw_primitive(layer, primitives[c], color, context.line_width, true, RoundJoin,
                           RoundCap);
        }
    } else {
        for (const track_run& run : split_track(points)) {
            draw_polyline(layer, run, opaque, context.line_width, true, RoundJoin, RoundCap);
        }
    }
    composite_translucent(context.canvas, layer, context.color.opacity, box->left, box->top);
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

void draw_track_segment(const drawing_context& context, const track_segment& segment,
                        const std::vector<unsigned char>* shades) {
    if (segment.empty()) {
        return;
    }
    draw_line(context, segment, shades);
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
    // The shades of the segments in drawing order.
    size_t n = 0;
    const auto shades = [&]() -> const std::vector<unsigned char>* {
        const size_t i = n++;
        return context.shades && i < context.shades->points.size() ? &context.shades->points[i]
                                                                    : nullptr;
    };
    if (context.pins == pin_unit::segment || context.nomarkers) {
        for (const track& t : tracks) {
            for (const track_segment& segment : t) draw_track_segment(context, segment, shades());
        }
        return;
    }
    size_t first = 0;
    for (const size_t end : ends) {
        for (size_t t = first; t < end; ++t) {
            for (const track_segment& segment : tracks[t]) {
                const std::vector<unsigned char>* own = shades();
                if (!segment.empty()) draw_line(context, segment, own);
            }
            if (context.pins == pin_unit::track) place_pins(context, tracks, t, t + 1);
        }
        if (context.pins == pin_unit::file) place_pins(context, tracks, first, end);
        first = end;
    }
}

}  // namespace plotr
