#include "render/markers.h"

#include <algorithm>
#include <cmath>

#include "geo/projection.h"
#include "render/attribution.h"
#include "render/script_fonts.h"
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

// A waypoint's look at scale 1: the dot's radius to the middle of its ring,
// the ring's width, and the label's gap from the point and halo.
constexpr double waypoint_radius = 3.75;
constexpr double waypoint_ring = 1.5;
constexpr double label_gap = 7;
constexpr double label_halo = 3;
constexpr size_t label_characters = 40;
const color_quad waypoint_dark{0x3333, 0x3333, 0x3333, 0};
const color_quad waypoint_light{0xFFFF, 0xFFFF, 0xFFFF, 0};

// The name on one line, cut to its first 40 characters and "…" when longer.
std::string label_text(const std::string& name) {
    const std::string line = single_line(name);
    size_t characters = 0;
    for (size_t at = 0; at < line.size(); ++at) {
        if ((static_cast<unsigned char>(line[at]) & 0xC0) == 0x80) continue;
        if (characters++ == label_characters) {
            std::string head = line.substr(0, at);
            head.erase(head.find_last_not_of(' ') + 1);
            return head + "\xE2\x80\xA6";
        }
    }
    return line;
}

struct box {
    double left, top, right, bottom;
    bool overlaps(const box& o) const {
        return left < o.right && o.left < right && top < o.bottom && o.top < bottom;
    }
};

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

drawing_reach waypoint_reach() {
    const double reach = waypoint_radius + waypoint_ring / 2 + 1;
    return {reach, reach, reach, reach};
}

void draw_waypoints(const drawing_context& context, const waypoint_list& waypoints,
                    const std::string& font) {
    const double scale = context.scale;
    // Points far off the canvas (a -bbox or -zoom may leave some out) draw nothing.
    const double reach = 500 * scale;
    const auto on_canvas = [&](const canvas_point& p) {
        return p.x > -reach && p.y > -reach && p.x < image_width(context.canvas) + reach &&
               p.y < image_height(context.canvas) + reach;
    };
    std::vector<canvas_point> points;
    std::vector<std::string> names;
    for (size_t i = 0; i < waypoints.points.size(); ++i) {
        const track_point& p = waypoints.points[i];
        const canvas_point at = project_point(context.zoom, context.canvas_left,
                                              context.canvas_top, p.lat, p.lon, context.scale);
        if (!on_canvas(at)) continue;
        points.push_back(at);
        names.push_back(waypoints.names[i]);
        draw_circle(context.canvas, points.back().x, points.back().y, waypoint_radius * scale,
                    waypoint_dark, waypoint_light, waypoint_ring * scale);
    }
    // Labels over all markers, so that none hides behind a later dot.
    std::vector<box> taken;
    const text_style text{font, attribution_size * scale, waypoint_dark};
    text_style halo = text;
    halo.color = waypoint_light;
    halo.stroke = waypoint_light;
    halo.stroke_width = label_halo * scale;
    for (size_t i = 0; i < points.size(); ++i) {
        const std::string label = label_text(names[i]);
        if (label.empty()) continue;
        const std::vector<text_run> runs = script_runs(label, font);
        const text_extent e = measure_runs(context.canvas, runs, text);
        // Left of the dot where the right would leave the picture and the left would not:
        // cut at the edge, a name must keep its start.
        double x = points[i].x + label_gap * scale;
        const double left = points[i].x - label_gap * scale - e.width;
        if (x + e.width > static_cast<double>(image_width(context.canvas)) && left >= 0) x = left;
        const double baseline = points[i].y + (e.ascent - e.descent) / 2;
        const double margin = label_halo * scale / 2;
        const box here{x - margin, baseline - e.ascent - margin, x + e.width + margin,
                       baseline + e.descent + margin};
        if (std::ranges::any_of(taken, [&](const box& b) { return b.overlaps(here); })) continue;
        taken.push_back(here);
        draw_runs(context.canvas, runs, halo, std::lround(x), std::lround(baseline));
        draw_runs(context.canvas, runs, text, std::lround(x), std::lround(baseline));
    }
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
