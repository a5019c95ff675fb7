#include "common/text.h"

#include <cstdarg>
#include <cstdio>

namespace plotr {

std::string quote_escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\b': out += "\\b"; break;
            default:
                if (c >= 0x20 && c <= 0x7e) {
                    out += static_cast<char>(c);
                } else {
                    char code[5];
                    std::snprintf(code, sizeof code, "\\%03u", c);
                    out += code;
                }
        }
    }
    out += '"';
    return out;
}

namespace {

// The length of the UTF-8 sequence of a character from U+00A0 up that the text
// starts with; 0 for anything else (ASCII, controls, malformed bytes).
std::size_t printable_sequence(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const std::size_t length = byte(0) >= 0xC2 && byte(0) <= 0xDF   ? 2
                               : byte(0) >= 0xE0 && byte(0) <= 0xEF ? 3
                               : byte(0) >= 0xF0 && byte(0) <= 0xF4 ? 4
                                                                    : 0;
    if (length == 0 || text.size() < length || (byte(0) == 0xC2 && byte(1) < 0xA0)) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    }
    return length;
}

}  // namespace

std::string quoted_excerpt(std::string_view text, std::size_t limit) {
    std::string out = "\"";
    std::size_t at = 0;
    for (std::size_t characters = 0; at < text.size() && characters < limit; ++characters) {
        if (const std::size_t length = printable_sequence(text.substr(at)); length > 0) {
            out += text.substr(at, length);
            at += length;
        } else {
            const std::string escaped = quote_escaped(text.substr(at++, 1));
            out += std::string_view(escaped).substr(1, escaped.size() - 2);
        }
    }
    out += '"';
    if (at < text.size()) out += "...";
    return out;
}

std::string format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string out(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(out.data(), out.size() + 1, fmt, again);
    va_end(again);
    return out;
}

}  // namespace plotr
