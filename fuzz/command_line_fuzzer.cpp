// Arbitrary argument vectors, the input split at its NUL bytes (element 0 is the program
// name; an empty input is an empty vector). The parser must return silently or end with
// the help or one error line and the help, on the right stream; integers must stay in range.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/command_line.h"
#include "common/text.h"

namespace {

[[noreturn]] void finding(std::string_view what, const std::vector<std::string>& arguments) {
    std::fprintf(stderr, "command line fuzzer: %.*s\n", int(what.size()), what.data());
    for (const std::string& argument : arguments)
        std::fprintf(stderr, "  %s\n", plotr::quote_escaped(argument).c_str());
    std::abort();
}

std::vector<std::string> split_at_nul(std::string_view data) {
    std::vector<std::string> parts;
    if (data.empty()) return parts;
    for (;;) {
        const size_t end = data.find('\0');
        parts.emplace_back(data.substr(0, end));
        if (end == std::string_view::npos) return parts;
        data.remove_prefix(end + 1);
    }
}

bool is_decimal(std::string_view text) {
    if (text.starts_with('-')) text.remove_prefix(1);
    if (text.empty() || text.size() > 15) return false;
    for (const char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

void check_integer(const std::string& text, const std::vector<std::string>& arguments) {
    const std::optional<int> value = plotr::parse_integer(text);
    // Short plain decimals have an independent reading; the range holds for every base.
    if (is_decimal(text)) {
        const long long expected = std::strtoll(text.c_str(), nullptr, 10);
        const bool in_range = expected >= -1073741824 && expected <= 1073741823;
        if (value.has_value() != in_range || (value && *value != expected))
            finding("decimal read wrongly", arguments);
    }
    if (!value) return;
    if (*value < -1073741824 || *value > 1073741823) finding("integer out of range", arguments);
    if (plotr::parse_integer(std::to_string(*value)) != value)
        finding("integer does not read back", arguments);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    const std::vector<std::string> arguments =
        split_at_nul({reinterpret_cast<const char*>(bytes), size});
    plotr::Recording_console console;
    bool asks_for_help = false;
    bool asks_for_list = false;
    for (size_t i = 1; i < arguments.size(); ++i) {
        asks_for_help = asks_for_help || arguments[i] == "-help" || arguments[i] == "--help";
        asks_for_list = asks_for_list || (arguments[i] == "-provider" &&
                                          i + 1 < arguments.size() && arguments[i + 1] == "list");
    }

    try {
        plotr::parse_command_line(arguments, console, PLOTR_SHARE_DIR "/providers");
        if (!console.log.empty() || !console.stderr_text.empty() || !console.stdout_text.empty())
            finding("printed although it returned", arguments);
    } catch (const plotr::Early_exit& exit) {
        const std::string usage = plotr::usage_text();
        if (exit.status == 0) {
            const std::string& out = console.stdout_text;
            const bool asked = (asks_for_help && out == usage) || out == plotr::version_text() ||
                               (asks_for_list && !out.empty());
            if (!asked || !console.stderr_text.empty())
                finding("help without being asked, or on the wrong stream", arguments);
        } else if (exit.status == 2) {
            const std::string program = arguments.empty() ? "(?)" : arguments[0];
            const std::string& err = console.stderr_text;
            if (!console.stdout_text.empty() || !err.starts_with(program + ": ") ||
                !err.ends_with(".\n" + usage))
                finding("error message not a line and the help", arguments);
        } else {
            finding("unexpected exit status", arguments);
        }
    }

    for (const std::string& argument : arguments) check_integer(argument, arguments);
    return 0;
}
