#include "cli/command_line.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <set>

#include "common/failure.h"
#include "common/shell.h"
#include "common/text.h"
#include "render/color_name.h"
#include "version.h"

namespace plotr {
namespace {

// `stop` ends the command line where it stands, as -help does.
enum class Action { text, integer, flag, provider, stop };

// What a text value must be, and the words of the error when it is not.
struct Text_check {
    bool (*accepts)(std::string_view text);
    const char* expects;
};

struct Option {
    const char* name;
    Action action;
    std::string help;
    std::string Settings::*text_field = nullptr;
    int Settings::*int_field = nullptr;
    bool Settings::*flag_field = nullptr;
    // Integers outside min..max are refused with the range in the message.
    int min = std::numeric_limits<int>::min();
    int max = std::numeric_limits<int>::max();
    std::optional<Text_check> check = std::nullopt;
    // Each occurrence adds to the list rather than replacing the last.
    std::vector<std::string> Settings::*list_field = nullptr;
};

// A folder or file name: anything but the empty text, which names none.
bool is_name(std::string_view text) { return !text.empty(); }

bool is_colour(std::string_view text) { return !text.empty() && is_color(std::string(text)); }

bool is_tile_size(std::string_view text) {
    const auto number = parse_integer(text);
    return number && (*number == 256 || *number == 512);
}

// A header value: no control character could end the header early.
bool is_header_text(std::string_view text) {
    return is_utf8(text) && std::none_of(text.begin(), text.end(), [](char c) {
               return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
           });
}

bool is_pin_unit(std::string_view text) {
    return text == "segment" || text == "track" || text == "file";
}

// Help texts are formatted once from the built-in defaults.
std::vector<Option> option_table() {
    const Settings defaults;
    return {
        {"-o", Action::text,
         "FILE\twrite output to <file>; default is " + quote_escaped(defaults.output),
         &Settings::output},
        {"-height", Action::integer, format("\timage height; default is %d", defaults.height),
         nullptr, &Settings::height, nullptr, 1, max_side},
        {"-width", Action::integer, format("\timage width; default is %d", defaults.width), nullptr,
         &Settings::width, nullptr, 1, max_side},
        {"-url", Action::text, "\t\tURL to download tiles from;\n\t\tdefault is " + defaults.url,
         &Settings::url},
        {"-horizontal-padding", Action::integer,
         format("\tCSS-like property for canvas; default is %d", defaults.horizontal_padding),
         nullptr, &Settings::horizontal_padding},
        {"-vertical-padding", Action::integer,
         format("\tCSS-like property for canvas; default is %d", defaults.vertical_padding),
         nullptr, &Settings::vertical_padding},
        {"-compress", Action::flag, "\t\tenable aggressive compresion", nullptr, nullptr,
         &Settings::compress},
        {"-nomarkers", Action::flag, "\t\tdo not place markers at the beginning and at the end",
         nullptr, nullptr, &Settings::nomarkers},
        {"-cache", Action::text,
         "DIR\tkeep downloaded tiles in <dir> and use them again; default is none",
         &Settings::cache, nullptr, nullptr, 0, 0, Text_check{is_name, "a folder"}},
        {"-parallel", Action::integer,
         format("\tdownload up to this many tiles at once; default is %d", defaults.parallel),
         nullptr, &Settings::parallel, nullptr, 1, 64},
        {"-attribution", Action::text,
         "TEXT\twrite <text> in the bottom right corner; default is none", &Settings::attribution,
         nullptr, nullptr, 0, 0, Text_check{is_utf8, "UTF-8 text"}},
        {"-color", Action::text,
         "\ttrack colour, e.g. red or #FF000080; default is translucent blue", &Settings::color,
         nullptr, nullptr, 0, 0, Text_check{is_colour, "a colour"}},
        {"-line-width", Action::integer,
         format("\ttrack width in pixels; default is %d", defaults.line_width), nullptr,
         &Settings::line_width, nullptr, 1, 64},
        {"-provider", Action::provider,
         "NAME\ttake tiles from a known provider, with its credit line and manners; "
         "\"-provider list\" shows them"},
        {"-user-agent", Action::text, "TEXT\tidentify downloads as <text>; default is curl's own",
         nullptr},
        {"-scale", Action::integer,
         format("N\tdraw for screens with <n> device pixels per pixel (1 to 4); default is %d",
                defaults.scale),
         nullptr, &Settings::scale, nullptr, 1, 4},
        {"-tile-size", Action::integer,
         format("N\tside of the provider's tiles in pixels, 256 or 512; default is %d",
                defaults.tile_size),
         nullptr, &Settings::tile_size, nullptr, std::numeric_limits<int>::min(),
         std::numeric_limits<int>::max(), Text_check{is_tile_size, "256 or 512"}},
        {"-gpx", Action::text,
         "FILE\tread a track from <file> instead of standard input; repeat for several on one map",
         nullptr, nullptr, nullptr, 0, 0, Text_check{is_name, "a file"}, &Settings::gpx_files},
        {"-routes", Action::flag, "\tdraw routes (rte) as well as tracks", nullptr, nullptr,
         &Settings::routes},
        {"-pins", Action::text,
         "WHERE\tput start and end pins per segment, track or file; default is " + defaults.pins,
         &Settings::pins, nullptr, nullptr, 0, 0,
         Text_check{is_pin_unit, "segment, track or file"}},
        {"-margin", Action::integer,
         "N\tkeep the track and its pins <n> pixels inside every edge; default is none", nullptr,
         &Settings::margin, nullptr, 0, 10000},
        {"-version", Action::stop, "\tprint the version and exit"},
    };
}

int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

}  // namespace

std::optional<int> parse_integer(std::string_view text) {
    constexpr int64_t limit = int64_t{1} << 30;
    size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) ++i;
    int base = 10;
    if (text.size() >= i + 2 && text[i] == '0') {
        switch (text[i + 1]) {
            case 'x':
            case 'X': base = 16; break;
            case 'o':
            case 'O': base = 8; break;
            case 'b':
            case 'B': base = 2; break;
            default: break;
        }
        if (base != 10) i += 2;
    }
    if (i >= text.size() || digit_value(text[i]) >= base) return std::nullopt;

    int64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        if (text[i] == '_') continue;
        const int d = digit_value(text[i]);
        if (d >= base) return std::nullopt;
        magnitude = magnitude * base + d;
        // Past the range already: stop before the product can overflow.
        if (magnitude > limit) return std::nullopt;
    }
    if (negative) return static_cast<int>(-magnitude);
    if (magnitude >= limit) return std::nullopt;
    return static_cast<int>(magnitude);
}

bool is_utf8(std::string_view text) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    for (size_t i = 0; i < text.size();) {
        const unsigned lead = byte(i);
        int length = 1;
        unsigned low = 0x80, high = 0xBF;  // allowed range of the second byte
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;   // overlong
            if (lead == 0xED) high = 0x9F;  // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;   // overlong
            if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
        } else {
            return false;
        }
        if (i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high) return false;
        for (int k = 2; k < length; ++k) {
            if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return false;
        }
        i += length;
    }
    return true;
}

std::string version_text() { return "plotr " PLOTR_VERSION "\n"; }

std::string usage_text() {
    std::string text =
        "plotr - GPX to PNG tool\nusage: plotr [OPTIONS] < /path/to/gpx/file.gpx\n\n";
    for (const Option& option : option_table()) {
        text += std::string("  ") + option.name + " " + option.help + "\n";
    }
    text += "  -help  Display this list of options\n";
    text += "  --help  Display this list of options\n";
    return text;
}

Settings parse_command_line(const std::vector<std::string>& arguments, Console& console,
                            const std::string& providers_file) {
    const std::string program = arguments.empty() ? "(?)" : arguments[0];
    const auto fail = [&](const std::string& line) {
        console.err(line + usage_text());
        throw Early_exit{2};
    };

    const std::vector<Option> table = option_table();
    Settings settings;
    std::set<std::string> given;
    // The built-in list is part of the installation: a fault in it is no
    // fault of the command line.
    const auto builtin = [&] {
        try {
            return read_provider_file(providers_file);
        } catch (const Provider_file_error& error) {
            throw failure(providers_file + ": " + error.what());
        }
    };
    std::vector<std::string> plain;
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument.empty() || argument[0] != '-') {
            plain.push_back(argument);
            continue;
        }

        const Option* option = nullptr;
        for (const Option& candidate : table) {
            if (argument == candidate.name) option = &candidate;
        }
        if (option == nullptr) {
            if (argument == "-help" || argument == "--help") {
                console.out(usage_text());
                throw Early_exit{0};
            }
            fail(format("%s: unknown option `%s'.\n", program.c_str(), argument.c_str()));
        }
        if (option->action == Action::stop) {
            console.out(version_text());
            throw Early_exit{0};
        }
        if (option->action == Action::flag) {
            settings.*(option->flag_field) = true;
            continue;
        }
        if (i + 1 >= arguments.size()) {
            fail(format("%s: option `%s' needs an argument.\n", program.c_str(), argument.c_str()));
        }
        const std::string& value = arguments[++i];
        const auto wrong = [&](const std::string& expects) {
            fail(format("%s: wrong argument `%s'; option `%s' expects %s.\n", program.c_str(),
                        value.c_str(), argument.c_str(), expects.c_str()));
        };
        given.insert(option->name);
        if (option->action == Action::provider) {
            if (value == "list") {
                console.out(provider_list(builtin()));
                throw Early_exit{0};
            }
            std::optional<Provider> provider;
            if (value.find('/') == std::string::npos) {
                builtin();
                provider = find_provider(value, providers_file);
            } else {
                try {
                    provider = find_provider(value, providers_file);
                } catch (const Provider_file_error& error) {
                    console.err(
                        format("%s: %s: %s\n", program.c_str(), value.c_str(), error.what()));
                }
            }
            if (!provider) wrong("a provider name (see -provider list)");
            settings.url = provider_template(*provider);
            settings.provider = std::move(provider);
        } else if (option->name == std::string_view("-user-agent")) {
            if (!is_header_text(value)) wrong("a text without control characters");
            settings.user_agent = value;
        } else if (option->action == Action::text) {
            if (option->check && !option->check->accepts(value)) wrong(option->check->expects);
            if (option->list_field) {
                (settings.*(option->list_field)).push_back(value);
            } else {
                settings.*(option->text_field) = value;
            }
        } else if (option->check && !option->check->accepts(value)) {
            wrong(option->check->expects);
        } else if (const auto number = parse_integer(value)) {
            if (*number < option->min || *number > option->max) {
                wrong(format("an integer from %d to %d", option->min, option->max));
            }
            settings.*(option->int_field) = *number;
        } else {
            wrong("an integer");
        }
    }
    // Plain arguments are ignored; one that names a file was surely meant to be read.
    for (const std::string& argument : plain) {
        struct stat status {};
        if (stat(argument.c_str(), &status) == 0 && !S_ISDIR(status.st_mode)) {
            const std::string word = shell_quote(argument);
            console.err("plotr: " + argument + " is not read; give it as -gpx " + word + " or < " +
                        word + "\n");
        }
    }
    if (settings.provider) {
        const Provider& provider = *settings.provider;
        if (!given.contains("-attribution")) settings.attribution = provider.attribution;
        if (!given.contains("-tile-size")) settings.tile_size = provider.tile_size;
        if (!given.contains("-user-agent")) settings.user_agent = default_user_agent();
        if (!given.contains("-parallel")) {
            settings.parallel = provider.max_parallel;
        } else if (settings.parallel > provider.max_parallel) {
            settings.parallel_asked = settings.parallel;
            settings.parallel = provider.max_parallel;
        }
    }
    return settings;
}

}  // namespace plotr
