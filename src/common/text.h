#pragma once

#include <string>
#include <string_view>

namespace plotr {

/// The text in double quotes, with a backslash before '"' and '\', the escapes
/// \n \t \r \b, and any other byte outside printable ASCII as \ddd (decimal).
std::string quote_escaped(std::string_view text);

/// printf-style formatting into a std::string (no length limit).
[[gnu::format(printf, 1, 2)]] std::string format(const char* fmt, ...);

}  // namespace plotr
