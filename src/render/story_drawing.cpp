#include "render/story_drawing.h"

#include <algorithm>
#include <cmath>

#include "common/text.h"

namespace plotr {

namespace {

constexpr size_t steps = 64;
const color_quad text_color{0x3333, 0x3333, 0x3333, 0};

// Viridis, sampled at ninths; perceptually even and readable with colour-blindness.
constexpr unsigned viridis[] = {0x440154, 0x472d7b, 0x3b528b, 0x2c728e, 0x21918c,
                                0x28ae80, 0x5ec962, 0xaddc30, 0xfde725};
// ColorBrewer's RdBu, blue (descents) to red (climbs), safe for colour-blind readers.
constexpr unsigned red_blue[] = {0x053061, 0x2166ac, 0x4393c3, 0x92c5de, 0xd1e5f0, 0xf7f7f7,
                                 0xfddbc7, 0xf4a582, 0xd6604d, 0xb2182b, 0x67001f};

template <size_t N>
color_quad interpolate(const unsigned (&anchors)[N], double t) {
    const double at = std::clamp(t, 0.0, 1.0) * (N - 1);
    const size_t i = std::min<size_t>(static_cast<size_t>(at), N - 2);
    const double f = at - double(i);
    const auto channel = [&](int shift) {
        const double a = (anchors[i] >> shift) & 0xFF;
        const double b = (anchors[i + 1] >> shift) & 0xFF;
        return static_cast<unsigned>(std::lround((a + (b - a) * f) * 257));
    };
    return {channel(16), channel(8), channel(0), 0};
}

size_t step_of(const measured_ride& ride, double value) {
    if (ride.high <= ride.low) return steps / 2;
    const double t = (value - ride.low) / (ride.high - ride.low);
    return std::min(steps - 1, static_cast<size_t>(std::clamp(t, 0.0, 1.0) * steps));
}

std::string value_text(const measured_ride& ride, double v) {
    if (ride.unit == "%") return format("%+.0f %%", v);
    if (ride.unit == "km/h" || ride.unit == "mph") return format("%.1f", v);
    return grouped(std::lround(v));
}

// A translucent white box behind text, as the credit line has.
void backdrop(image_handle& canvas, long x, long y, long width, long height) {
    if (width <= 0 || height <= 0) return;
    composite_image(canvas, get_canvas(width, height, "#FFFFFFCC"), OverCompositeOp, x, y);
}

}  // namespace

line_shades shades_of(const measured_ride& ride) {
    line_shades shades;
    for (size_t i = 0; i < steps; ++i) {
        const double t = (double(i) + 0.5) / steps;
        shades.colors.push_back(ride.diverging ? interpolate(red_blue, t) : interpolate(viridis, t));
    }
    for (const auto& segment : ride.values) {
        shades.points.emplace_back();
        for (const float v : segment)
            shades.points.back().push_back(static_cast<unsigned char>(step_of(ride, v)));
    }
    return shades;
}

void draw_legend(image_handle& canvas, const measured_ride& ride, const std::string& font,
                 int scale) {
    const text_style style{font, 11.0 * scale, text_color};
    const std::string low = value_text(ride, ride.low);
    const std::string high = value_text(ride, ride.high) + (ride.unit == "%" ? "" : " " + ride.unit);
    const long gap = 4L * scale;
    const long bar_width = 100L * scale;
    const long low_width = std::lround(measure_text(canvas, low, style).width);
    const long high_width = std::lround(measure_text(canvas, high, style).width);
    const long height = 18L * scale;
    backdrop(canvas, gap, gap, low_width + bar_width + high_width + 4 * gap, height);
    const long baseline = gap + height - 5L * scale;
    draw_text(canvas, low, style, 2 * gap, baseline);
    const long bar_x = 3 * gap + low_width;
    const line_shades shades = shades_of(measured_ride{{}, 0, 1, ride.diverging, ""});
    for (long x = 0; x < bar_width; ++x) {
        const color_quad c = shades.colors[std::min<size_t>(steps - 1, size_t(x * steps / bar_width))];
        composite_image(canvas,
                        get_canvas(1, 10L * scale,
                                   format("#%04X%04X%04X", c.red, c.green, c.blue)),
                        OverCompositeOp, bar_x + x, gap + 4L * scale);
    }
    draw_text(canvas, high, style, bar_x + bar_width + gap, baseline);
}

void draw_profile(image_handle& canvas, long height, const ride_figures& figures,
                  color_quad color, const measured_ride* ride, const line_shades* shades,
                  unit_system units, const std::string& font, int scale) {
    const long width = image_width(canvas);
    const long top = image_height(canvas) - height;
    composite_image(canvas, get_canvas(width, height, "#FFFFFF"), OverCompositeOp, 0, top);
    const text_style figures_style{font, 11.0 * scale, text_color};
    const text_style small{font, 9.0 * scale, text_color};
    const long pad = 4L * scale;
    draw_text(canvas, figures_line(figures, units), figures_style, pad, top + 13L * scale);

    // The area: between the figures line and the axis labels.
    const long area_top = top + 17L * scale;
    const long area_bottom = top + height - 12L * scale;
    const long area_left = pad + 44L * scale;
    const long area_right = width - pad;
    const double total = figures.distance;
    const double span = std::max(figures.highest - figures.lowest, 1.0);
    const auto& points = figures.profile;
    if (area_right <= area_left || area_bottom <= area_top || points.empty()) return;
    // One polygon per run of columns of one colour: a few drawing calls, not one a column.
    std::vector<long> tops;
    std::vector<size_t> colours;
    size_t p = 0;
    for (long x = area_left; x < area_right; ++x) {
        const double at = total * double(x - area_left) / double(area_right - area_left - 1);
        while (p + 1 < points.size() && points[p + 1].distance <= at) ++p;
        const profile_point& here = points[p];
        const double rise = (here.elevation - figures.lowest) / span;
        tops.push_back(area_bottom - std::lround(rise * double(area_bottom - area_top)));
        size_t c = 0;
        if (shades && here.segment < shades->points.size() &&
            here.index < shades->points[here.segment].size())
            c = shades->points[here.segment][here.index];
        colours.push_back(c);
    }
    std::vector<std::string> polygons(shades ? shades->colors.size() : 1);
    for (size_t i = 0; i < tops.size();) {
        size_t j = i;
        std::string polygon = format("polygon %ld,%ld", area_left + long(i), area_bottom + 1);
        for (; j < tops.size() && colours[j] == colours[i]; ++j) {
            polygon += format(" %ld,%ld %ld,%ld", area_left + long(j), tops[j],
                              area_left + long(j) + 1, tops[j]);
        }
        polygon += format(" %ld,%ld ", area_left + long(j), area_bottom + 1);
        polygons[colours[i]] += polygon;
        i = j;
    }
    for (size_t c = 0; c < polygons.size(); ++c) {
        if (polygons[c].empty()) continue;
        color_quad shade = ride && shades ? shades->colors[c] : color;
        shade.opacity = 0;
        fill_primitive(canvas, polygons[c], shade);
    }

    // Lowest and highest elevation, and the distance ticks.
    const char* height_unit = units == unit_system::metric ? "m" : "ft";
    const auto height_text = [&](double m) {
        return grouped(std::lround(height_in(m, units))) + " " + height_unit;
    };
    draw_text(canvas, height_text(figures.highest), small, pad, area_top + 8L * scale);
    draw_text(canvas, height_text(figures.lowest), small, pad, area_bottom);
    const double length = long_distance_in(total, units);
    double step = 1;
    for (const double base : {0.1, 0.2, 0.5, 1.0, 2.0, 5.0, 10.0, 20.0, 50.0, 100.0, 200.0, 500.0,
                              1000.0, 2000.0, 5000.0}) {
        step = base;
        if (length / base <= 6) break;
    }
    const char* distance_unit = units == unit_system::metric ? "km" : "mi";
    for (double d = 0; d <= length + 1e-9 && length > 0; d += step) {
        const long x = area_left + std::lround(d / length * double(area_right - area_left - 1));
        const std::string label = (step < 1 ? format("%.1f", d) : format("%.0f", d)) +
                                  (d == 0 ? std::string(" ") + distance_unit : "");
        draw_text(canvas, label, small, x, top + height - 2L * scale);
    }
}

ride_story tell_story(const track_list& tracks, const std::string& color_by,
                      std::optional<int> profile, const std::string& units, int scale) {
    ride_story story;
    story.units = units == "imperial" ? unit_system::imperial : unit_system::metric;
    if (const measure what = measure_of(color_by); what != measure::none) {
        story.ride = measure_ride(tracks, what, story.units);
        story.shades = shades_of(*story.ride);
    }
    if (profile) {
        story.figures = ride_figures_of(tracks);
        story.strip = long(*profile) * scale;
    }
    return story;
}

void draw_story(image_handle& canvas, const ride_story& story, color_quad color,
                const std::string& font, int scale) {
    if (story.ride) draw_legend(canvas, *story.ride, font, scale);
    if (story.figures) {
        draw_profile(canvas, story.strip, *story.figures, color,
                     story.ride ? &*story.ride : nullptr, story.ride ? &story.shades : nullptr,
                     story.units, font, scale);
    }
}

}  // namespace plotr
