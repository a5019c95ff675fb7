#pragma once

#include <source_location>
#include <stdexcept>
#include <string>
#include <string_view>

namespace plotr {

/// A failure that ends the run with status 2. `what()` is the text that follows
/// "Fatal error: exception " on standard error, e.g. Failure("strip failed").
class Fatal_error : public std::runtime_error {
public:
    explicit Fatal_error(const std::string& description) : std::runtime_error(description) {}
    /// What a person can act on (the place in a document, a tile's URL),
    /// printed as "plotr: <note>" on the line before the fatal one; empty: none.
    std::string note;
};

/// Ends the process before or during the run with this status, its messages
/// already printed: after the help (0), a command-line error (2), a failed
/// command (1).
struct Early_exit {
    int status;
};

/// Failure("text"): the text in double quotes with escapes.
Fatal_error failure(std::string_view text);

/// Not_found: a required attribute is missing.
Fatal_error not_found();

/// Assert_failure("file", line, column) at the caller's position; the file is
/// given relative to the source tree (src/...).
#if defined(__clang__)
// clang 14 cannot compile <source_location> from libstdc++ 12; its builtins do the same.
Fatal_error assert_failure(const char* file = __builtin_FILE(), int line = __builtin_LINE(),
                           int column = __builtin_COLUMN());
#else
Fatal_error assert_failure(const char* file = std::source_location::current().file_name(),
                           int line = static_cast<int>(std::source_location::current().line()),
                           int column = static_cast<int>(std::source_location::current().column()));
#endif

/// Xml_error(line, column, "fault"): malformed input at that position.
Fatal_error xml_error(long line, long column, std::string_view fault);

/// Sys_error("text"): the system refused a service.
Fatal_error sys_error(std::string_view text);

}  // namespace plotr
