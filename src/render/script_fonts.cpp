#include "render/script_fonts.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <map>

#include "common/failure.h"

namespace plotr {

namespace {

enum class script { base, neutral, space, arabic, hebrew, thai, devanagari, cjk, emoji };

struct script_range {
    char32_t first;
    char32_t last;
    script which;
};

// In order; code points in none of them are the base font's.
constexpr script_range ranges[] = {
    {0x0590, 0x05FF, script::hebrew},      {0x0600, 0x06FF, script::arabic},
    {0x0750, 0x077F, script::arabic},      {0x08A0, 0x08FF, script::arabic},
    {0x0900, 0x097F, script::devanagari},  {0x0E00, 0x0E7F, script::thai},
    {0x1100, 0x11FF, script::cjk},         {0x2000, 0x206F, script::neutral},
    {0x2E80, 0x2FDF, script::cjk},         {0x3000, 0x33FF, script::cjk},
    {0x3400, 0x4DBF, script::cjk},         {0x4E00, 0x9FFF, script::cjk},
    {0xA960, 0xA97F, script::cjk},         {0xAC00, 0xD7AF, script::cjk},
    {0xF900, 0xFAFF, script::cjk},         {0xFB1D, 0xFB4F, script::hebrew},
    {0xFB50, 0xFDFF, script::arabic},      {0xFE00, 0xFE0F, script::neutral},
    {0xFE30, 0xFE4F, script::cjk},         {0xFE70, 0xFEFF, script::arabic},
    {0xFF00, 0xFFEF, script::cjk},         {0x1F000, 0x1FAFF, script::emoji},
    {0x20000, 0x3FFFF, script::cjk},
};

script script_of(char32_t c) {
    if (c == ' ' || c == 0xA0) return script::space;
    if (c < 0x80) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        return letter || (c >= '0' && c <= '9') ? script::base : script::neutral;
    }
    for (const script_range& r : ranges) {
        if (c < r.first) break;
        if (c <= r.last) return r.which;
    }
    return script::base;
}

bool right_to_left(script s) { return s == script::arabic || s == script::hebrew; }

const char* font_file(script s) {
    switch (s) {
        case script::arabic: return "NotoSansArabic-Regular.ttf";
        case script::hebrew: return "NotoSansHebrew-Regular.ttf";
        case script::thai: return "NotoSansThai-Regular.ttf";
        case script::devanagari: return "NotoSansDevanagari-Regular.ttf";
        default: return nullptr;
    }
}

// The script's font, or `base` where it is not installed: a glyph the base
// font lacks then draws as its replacement mark.
std::string font_for(script s, const std::string& base) {
    static std::map<script, std::string> found;
    const auto known = found.find(s);
    if (known != found.end()) return known->second.empty() ? base : known->second;
    std::string path = s == script::cjk     ? noto_cjk_font
                       : s == script::emoji ? emoji_font
                       : font_file(s)       ? std::string(noto_folder) + font_file(s)
                                            : "";
    if (!path.empty() && access(path.c_str(), R_OK) != 0) path.clear();
    found[s] = path;
    return path.empty() ? base : path;
}

// Whether the font file has a glyph for the code point; a font that does not
// load has none. Faces stay open for the run: a few fonts, asked often.
bool has_glyph(const std::string& font, char32_t c) {
    static FT_Library library = nullptr;
    static std::map<std::string, FT_Face> faces;
    if (!library && FT_Init_FreeType(&library) != 0) return false;
    auto face = faces.find(font);
    if (face == faces.end()) {
        FT_Face opened = nullptr;
        if (FT_New_Face(library, font.c_str(), 0, &opened) != 0) opened = nullptr;
        face = faces.emplace(font, opened).first;
    }
    return face->second && FT_Get_Char_Index(face->second, c) != 0;
}

// The code point at `at` of valid UTF-8, and how many bytes it takes.
char32_t decode(const std::string& text, size_t at, size_t& length) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned lead = byte(at);
    length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (at + length > text.size()) length = text.size() - at;
    char32_t c = length == 1 ? lead : lead & (0x3F >> (length - 1));
    for (size_t k = 1; k < length; ++k) c = (c << 6) | (byte(at + k) & 0x3F);
    return c;
}

// The characters of a right-to-left run in the order they are seen.
std::string reversed(const std::string& text) {
    std::vector<std::string> characters;
    for (size_t at = 0, length = 0; at < text.size(); at += length) {
        decode(text, at, length);
        characters.push_back(text.substr(at, length));
    }
    std::string out;
    for (auto c = characters.rbegin(); c != characters.rend(); ++c) out += *c;
    return out;
}

}  // namespace

std::vector<text_run> script_runs(const std::string& text, const std::string& base) {
    std::vector<text_run> runs;
    script current = script::base;
    std::string piece;
    std::string spaces;  // after a right-to-left run: its own only if it goes on
    const auto flush = [&] {
        if (piece.empty()) return;
        runs.push_back({right_to_left(current) ? reversed(piece) : piece, font_for(current, base)});
        piece.clear();
    };
    for (size_t at = 0, length = 0; at < text.size(); at += length) {
        const char32_t c = decode(text, at, length);
        script s = script_of(c);
        std::string character = text.substr(at, length);
        // Where the script's font lacks it, the base font's glyph; where no font of ours
        // has it, the replacement mark: MagickCore would draw nothing.
        if (s != script::space && s != script::neutral && !has_glyph(font_for(s, base), c)) {
            if (!has_glyph(base, c)) character = "\xEF\xBF\xBD";
            s = script::base;
        }
        // Spaces and punctuation go with the run they stand in, where its font has them.
        if (s == script::space && right_to_left(current)) {
            spaces += character;
            continue;
        }
        if (s == script::space || s == script::neutral) {
            s = current == script::cjk || (s == script::space && current != script::emoji)
                    ? current
                    : script::base;
        }
        if (s != current) {
            flush();
            // Spaces between a right-to-left run and the next stand between them.
            if (!spaces.empty()) runs.push_back({spaces, base});
            spaces.clear();
            current = s;
        }
        piece += spaces + character;
        spaces.clear();
    }
    flush();
    if (!spaces.empty()) runs.push_back({spaces, base});
    // Runs of one font side by side are one.
    std::vector<text_run> joined;
    for (text_run& run : runs) {
        if (!joined.empty() && joined.back().font == run.font && run.font == base) {
            joined.back().text += run.text;
        } else {
            joined.push_back(std::move(run));
        }
    }
    return joined;
}

namespace {

// One run in its font, or in the style's where that one fails to load.
template <class Use>
auto in_font(const text_run& run, const text_style& style, Use use) {
    text_style in_run = style;
    in_run.font = run.font;
    if (run.font == style.font) return use(in_run);
    try {
        return use(in_run);
    } catch (const Fatal_error&) {
        return use(style);
    }
}

}  // namespace

text_extent measure_runs(image_handle& image, const std::vector<text_run>& runs,
                         const text_style& style) {
    text_extent all{0, 0, 0};
    for (const text_run& run : runs) {
        const text_extent e = in_font(
            run, style, [&](const text_style& s) { return measure_text(image, run.text, s); });
        all.width += e.width;
        all.ascent = std::max(all.ascent, e.ascent);
        all.descent = std::max(all.descent, e.descent);
    }
    return all;
}

void draw_runs(image_handle& image, const std::vector<text_run>& runs, const text_style& style,
               long x, long y) {
    double at = static_cast<double>(x);
    for (const text_run& run : runs) {
        at += in_font(run, style, [&](const text_style& s) {
            draw_text(image, run.text, s, std::lround(at), y);
            return &run == &runs.back() ? 0.0 : measure_text(image, run.text, s).width;
        });
    }
}

}  // namespace plotr
