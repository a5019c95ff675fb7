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
