#include "render/heatmap.h"

#include <algorithm>
#include <cmath>

#include "common/text.h"
#include "geo/projection.h"

namespace plotr {

namespace {

// From faint to bright: purple, crimson, orange, yellow.
struct stop {
    double level;
    double red, green, blue;
};
constexpr stop palette_stops[] = {
    {0.0, 90, 20, 130}, {0.35, 200, 30, 70}, {0.65, 250, 110, 20}, {1.0, 255, 235, 60}};
// A road ridden once is faint but visible; the busiest is opaque.
constexpr double faint_alpha = 0.45;

Quantum quantum(double share) {
    return static_cast<Quantum>(std::lround(std::clamp(share, 0.0, 1.0) * QuantumRange));
}

image_handle heat_palette() {
    image_handle palette = get_canvas(256, 1, "black");
    write_rows(palette, [](long, std::span<PixelPacket> pixels) {
        for (size_t i = 0; i < pixels.size(); ++i) {
            const double level = static_cast<double>(i) / (pixels.size() - 1);
            size_t k = 1;
            while (k + 1 < std::size(palette_stops) && palette_stops[k].level < level) ++k;
            const stop& a = palette_stops[k - 1];
            const stop& b = palette_stops[k];
            const double f = (level - a.level) / (b.level - a.level);
            pixels[i].red = quantum((a.red + f * (b.red - a.red)) / 255);
            pixels[i].green = quantum((a.green + f * (b.green - a.green)) / 255);
            pixels[i].blue = quantum((a.blue + f * (b.blue - a.blue)) / 255);
            pixels[i].opacity = 0;
        }
    });
    return palette;
}

// A pixel at palette level `level`; `cover` below 1 fades an antialiased edge.
void set_heat(PixelPacket& pixel, double level, double cover) {
    pixel.red = pixel.green = pixel.blue = quantum(level);
    pixel.opacity = quantum(1 - std::min(cover, 1.0) * (faint_alpha + (1 - faint_alpha) * level));
}

// Adds the cover of one ride's line, drawn only within its own box, to `cover`.
void add_ride(const drawing_context& context, const track_list& tracks, size_t first, size_t last,
              std::vector<float>& cover) {
    const long width = image_width(context.canvas);
    std::vector<track_run> runs;
    for (size_t t = first; t < last; ++t) {
        for (const track_segment& segment : tracks[t]) {
            if (segment.empty()) continue;
            for (track_run& run : split_track(projected(context, segment))) {
                runs.push_back(std::move(run));
            }
        }
    }
    const std::optional<line_box> box = fit_to_box(context, runs, context.line_width);
    if (!box) return;
    const auto [left, top, right, bottom] = *box;

    image_handle mask = get_canvas(right - left, bottom - top, "black");
    const color_quad white{65535, 65535, 65535, 0};
    for (const track_run& run : runs) {
        draw_polyline(mask, run, white, context.line_width, true, RoundJoin, RoundCap);
    }
    read_rows(mask, [&](long y, std::span<const PixelPacket> pixels) {
        float* row = cover.data() + (top + y) * width + left;
        for (size_t x = 0; x < pixels.size(); ++x) {
            row[x] += static_cast<float>(pixels[x].red) / static_cast<float>(QuantumRange);
        }
    });
}

void draw_legend(image_handle& canvas, long most, const std::string& font, int scale) {
    const color_quad text_color{0x3333, 0x3333, 0x3333, 0};
    const text_style style{font, attribution_size * scale, text_color};
    const std::string low = most > 1 ? "1" : "";
    const std::string high = most == 1 ? "1 ride" : format("%ld rides", most);
    const long margin = attribution_margin_x * scale;
    const long bar_width = 40L * scale, bar_height = 8L * scale;
    const long box_height = attribution_strip_height * scale;
    const auto width_of = [&](const std::string& text) {
        return text.empty() ? 0L
                            : static_cast<long>(std::ceil(measure_text(canvas, text, style).width));
    };
    const long low_width = width_of(low);
    const long bar_left = margin + (low.empty() ? 0 : low_width + margin);
    const long box_width = bar_left + bar_width + margin + width_of(high) + margin;
    if (box_width > image_width(canvas) || box_height > image_height(canvas)) return;

    const image_handle box = get_canvas(box_width, box_height, "#FFFFFFCC");
    composite_image(canvas, box, OverCompositeOp, 0, 0);
    image_handle bar = get_canvas(bar_width, bar_height, "black");
    const double from = heat_level(1, static_cast<double>(most));
    write_rows(bar, [&](long, std::span<PixelPacket> pixels) {
        for (size_t x = 0; x < pixels.size(); ++x) {
            set_heat(pixels[x], from + (1 - from) * x / std::max<size_t>(1, pixels.size() - 1), 1);
        }
    });
    map_through_palette(bar, heat_palette());
    composite_image(canvas, bar, OverCompositeOp, bar_left, (box_height - bar_height) / 2);
    const long baseline = box_height - (attribution_margin_y + 3) * scale;
    if (!low.empty()) draw_text(canvas, low, style, margin, baseline);
    draw_text(canvas, high, style, bar_left + bar_width + margin, baseline);
}

}  // namespace

double heat_level(double count, double most) {
    if (most <= 1) return 1;
    return std::clamp(std::log1p(std::max(count, 1.0)) / std::log1p(most), 0.0, 1.0);
}

void draw_heatmap(const drawing_context& context, const track_list& tracks,
                  const std::vector<size_t>& ends, const std::string& font) {
    const long width = image_width(context.canvas);
    const long height = image_height(context.canvas);
    std::vector<float> cover(static_cast<size_t>(width) * static_cast<size_t>(height), 0.0f);
    size_t first = 0;
    for (const size_t end : ends) {
        add_ride(context, tracks, first, end, cover);
        first = end;
    }
    const float most_cover = *std::max_element(cover.begin(), cover.end());
    if (most_cover <= 0) return;
    const long most = std::max(1L, std::lround(most_cover));

    image_handle heat = get_canvas(width, height, "none");
    write_rows(heat, [&](long y, std::span<PixelPacket> pixels) {
        const float* row = cover.data() + y * width;
        for (size_t x = 0; x < pixels.size(); ++x) {
            if (row[x] > 0) set_heat(pixels[x], heat_level(row[x], most), row[x]);
        }
    });
    cover = {};
    map_through_palette(heat, heat_palette());
    composite_image(context.canvas, heat, OverCompositeOp, 0, 0);
    draw_legend(context.canvas, most, font, context.scale);
}

}  // namespace plotr
