#pragma once

#include <string>
#include <string_view>

namespace plotr {

/// The text in double quotes, with a backslash before '"' and '\', the escapes
/// \n \t \r \b, and any other byte outside printable ASCII as \ddd (decimal).
std::string quote_escaped(std::string_view text);

/// At most `limit` characters of the text for a message to a person, in double
/// quotes and followed by "..." when cut: well-formed UTF-8 stays as it is,
/// anything else is escaped as by quote_escaped.
std::string quoted_excerpt(std::string_view text, std::size_t limit = 40);

/// printf-style formatting into a std::string (no length limit).
[[gnu::format(printf, 1, 2)]] std::string format(const char* fmt, ...);

}  // namespace plotr
