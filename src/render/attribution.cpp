#include "render/attribution.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <optional>
#include <vector>

#include "common/failure.h"
#include "render/script_fonts.h"

namespace plotr {

namespace {

const color_quad text_color{0x3333, 0x3333, 0x3333, 0};
// White, 80 % opaque: the map still shows through, the text reads on any map.
const char* const box_color = "#FFFFFFCC";
const char* const ellipsis = "\xE2\x80\xA6";
// The baseline's height above the canvas's bottom edge: the margin and the
// font's descent at the full size, for every size, so the box keeps the
// strip's height and the text never leaves it.
constexpr long baseline_lift = attribution_margin_y + 3;

// Byte offsets where the code points of valid UTF-8 text begin, and its end.
std::vector<std::size_t> code_point_starts(const std::string& text) {
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            starts.push_back(i);
        }
    }
    starts.push_back(text.size());
    return starts;
}

// The look at `scale` times the size: every length multiplied.
struct credit_look {
    double size;
    double min_size;
    long margin_x;
    long strip_height;
    long baseline_lift;
};

credit_look look_at(int scale) {
    return {attribution_size * scale, attribution_min_size * scale, attribution_margin_x * scale,
            attribution_strip_height * scale, baseline_lift * scale};
}

struct fitted {
    std::string text;
    double size;
    long width;  // of the text, in whole pixels
};

// The text at the largest size that fits `room` pixels, else at the smallest
// size cut as short as needed, with the ellipsis; nothing if even that fails.
std::optional<fitted> fit(image_handle& canvas, const std::string& text, const std::string& font,
                          long room, const credit_look& look) {
    const auto width_at = [&](const std::string& t, double size) {
        return static_cast<long>(std::ceil(
            measure_runs(canvas, script_runs(t, font), text_style{font, size, text_color}).width));
    };
    const long full = width_at(text, look.size);
    if (full <= room) {
        return fitted{text, look.size, full};
    }
    // Widths grow about in proportion to the size: start from that guess,
    // in half pixels, and step down while it is still too wide.
    double size = std::floor(2 * look.size * room / full) / 2;
    size = std::clamp(size, look.min_size, look.size - 0.5);
    for (;; size -= 0.5) {
        const long width = width_at(text, size);
        if (width <= room) {
            return fitted{text, size, width};
        }
        if (size <= look.min_size) {
            break;
        }
    }
    // The longest start that still fits with the ellipsis; widths grow with
    // the number of characters, so a binary search finds it.
    const std::vector<std::size_t> starts = code_point_starts(text);
    const auto cut = [&](std::size_t count) {
        std::string head = text.substr(0, starts[count]);
        head.erase(head.find_last_not_of(' ') + 1);
        return head + ellipsis;
    };
    std::optional<fitted> best;
    std::size_t low = 0;
    std::size_t high = starts.size() - 2;  // fewer code points than the whole text
    while (low <= high) {
        const std::size_t mid = low + (high - low) / 2;
        const std::string candidate = cut(mid);
        const long width = width_at(candidate, look.min_size);
        if (width <= room) {
            best = fitted{candidate, look.min_size, width};
            low = mid + 1;
        } else if (mid == 0) {
            break;
        } else {
            high = mid - 1;
        }
    }
    return best;
}

}  // namespace

// A line break would leave the strip.
std::string single_line(const std::string& text) {
    std::string line = text;
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = ' ';
        }
    }
    const auto first = line.find_first_not_of(' ');
    if (first == std::string::npos) {
        return "";
    }
    return line.substr(first, line.find_last_not_of(' ') + 1 - first);
}

void check_attribution_font(const std::string& font) {
    // Read as a font: a file that is there but no font fails here too.
    bool loads = std::ifstream(font, std::ios::binary).get() != EOF;
    if (loads) {
        try {
            image_handle probe = get_canvas(1, 1, box_color);
            loads = measure_text(probe, "x", text_style{font, 10, text_color}).width > 0;
        } catch (const Fatal_error&) {
            loads = false;
        }
    }
    if (!loads) {
        throw failure("draw_attribution failed: cannot read the font " + font +
                      " (Debian package fonts-dejavu-core)");
    }
}

void draw_attribution(image_handle& canvas, const std::string& text, const std::string& font,
                      int scale, long lift) {
    const std::string line = single_line(text);
    if (line.empty()) {
        return;
    }
    // MagickCore would otherwise fall back to some other font, or none.
    check_attribution_font(font);
    const long width = image_width(canvas);
    const long height = image_height(canvas) - lift;
    const credit_look look = look_at(scale);
    const std::optional<fitted> fitting = fit(canvas, line, font, width - 2 * look.margin_x, look);
    if (!fitting) {
        return;
    }
    const long box_width = fitting->width + 2 * look.margin_x;
    const image_handle box = get_canvas(box_width, look.strip_height, box_color);
    composite_image(canvas, box, OverCompositeOp, width - box_width, height - look.strip_height);
    draw_runs(canvas, script_runs(fitting->text, font), text_style{font, fitting->size, text_color},
              width - box_width + look.margin_x, height - look.baseline_lift);
}

}  // namespace plotr
