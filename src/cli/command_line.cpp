#include "cli/command_line.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <set>
#include <variant>

#include "common/failure.h"
#include "common/shell.h"
#include "common/text.h"
#include "geo/tile_grid.h"
#include "help_text.h"
#include "render/color_name.h"
#include "version.h"

namespace plotr {
namespace {

// What an option's value is, and so how it is read and where it goes.
enum class Kind {
    flag,           // no value: switches a bool on
    text,           // the value as it is
    optional_text,  // the value as it is, into an optional
    list,           // each occurrence adds to a list
    integer,        // an integer literal
    optional_integer,
    point,     // latitude,longitude
    box,       // south,west,north,east
    zone,      // latitude,longitude,radius; each occurrence adds one
    provider,  // a provider's name or file, or "list"
    gpx_list,  // a file naming documents, kept in its place among the -gpx names
    version,   // prints the version and ends the command line
    help,      // prints the help and ends the command line
};

using Target =
    std::variant<std::monostate, bool Settings::*, std::string Settings::*,
                 std::optional<std::string> Settings::*, std::vector<std::string> Settings::*,
                 int Settings::*, std::optional<int> Settings::*,
                 std::optional<geo_point> Settings::*, std::optional<bounds> Settings::*,
                 std::vector<privacy_zone> Settings::*>;

// A value must pass `accepts`; the error names what was expected.
struct Check {
    bool (*accepts)(std::string_view text) = nullptr;
    const char* expects = nullptr;
};

// Integers outside min..max are refused with the range in the message.
struct Range {
    int min = std::numeric_limits<int>::min();
    int max = std::numeric_limits<int>::max();
};

// One option; its help line is the one of the same name in the help text.
struct Option {
    const char* name;
    Kind kind;
    Target target = {};
    Range range = {};
    Check check = {};
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

bool is_measure(std::string_view text) {
    return text == "speed" || text == "elevation" || text == "grade" || text == "heartrate";
}

bool is_unit_system(std::string_view text) { return text == "metric" || text == "imperial"; }

bool is_map_tone(std::string_view text) {
    return text == "normal" || text == "grey" || text == "dim";
}

const Check point_check{nullptr, "a latitude and a longitude, e.g. 46.5,7.9"};
const Check box_check{nullptr, "south,west,north,east in degrees, e.g. 46.4,7.8,46.7,8.2"};
const Check zone_check{nullptr,
                       "a latitude, a longitude and a radius of 1 to 100000 metres, "
                       "e.g. 46.5,7.9,500"};

// In the order of the help text.
const std::vector<Option>& option_table() {
    static const std::vector<Option> table = {
        {"-o", Kind::text, &Settings::output},
        {"-height", Kind::integer, &Settings::height, {1, max_side}},
        {"-width", Kind::integer, &Settings::width, {1, max_side}},
        {"-url", Kind::text, &Settings::url},
        {"-horizontal-padding", Kind::integer, &Settings::horizontal_padding},
        {"-vertical-padding", Kind::integer, &Settings::vertical_padding},
        {"-compress", Kind::flag, &Settings::compress},
        {"-nomarkers", Kind::flag, &Settings::nomarkers},
        {"-cache", Kind::text, &Settings::cache, {}, {is_name, "a folder"}},
        {"-parallel", Kind::integer, &Settings::parallel, {1, 64}},
        {"-attribution", Kind::text, &Settings::attribution, {}, {is_utf8, "UTF-8 text"}},
        {"-color", Kind::text, &Settings::color, {}, {is_colour, "a colour"}},
        {"-line-width", Kind::integer, &Settings::line_width, {1, 64}},
        {"-provider", Kind::provider, {}, {}, {nullptr, "a provider name (see -provider list)"}},
        {"-user-agent",
         Kind::optional_text,
         &Settings::user_agent,
         {},
         {is_header_text, "a text without control characters"}},
        {"-scale", Kind::integer, &Settings::scale, {1, max_scale}},
        {"-tile-size", Kind::integer, &Settings::tile_size, {}, {is_tile_size, "256 or 512"}},
        {"-gpx", Kind::list, &Settings::gpx_files, {}, {is_name, "a file"}},
        {"-routes", Kind::flag, &Settings::routes},
        {"-pins", Kind::text, &Settings::pins, {}, {is_pin_unit, "segment, track or file"}},
        {"-margin", Kind::integer, &Settings::margin, {0, 10000}},
        {"-version", Kind::version},
        {"-zoom", Kind::optional_integer, &Settings::zoom, {0, 22}},
        {"-center", Kind::point, &Settings::center, {}, point_check},
        {"-bbox", Kind::box, &Settings::bbox, {}, box_check},
        {"-color-by",
         Kind::text,
         &Settings::color_by,
         {},
         {is_measure, "speed, elevation, grade or heartrate"}},
        {"-profile", Kind::optional_integer, &Settings::profile, {40, max_side}},
        {"-units", Kind::text, &Settings::units, {}, {is_unit_system, "metric or imperial"}},
        {"-privacy", Kind::integer, &Settings::privacy, {0, 100000}},
        {"-privacy-zone", Kind::zone, &Settings::privacy_zones, {}, zone_check},
        {"-waypoints", Kind::flag, &Settings::waypoints},
        {"-outline", Kind::text, &Settings::outline, {}, {is_colour, "a colour"}},
        {"-gpx-list", Kind::gpx_list, {}, {}, {is_name, "a file"}},
        {"-heatmap", Kind::flag, &Settings::heatmap},
        {"-map-tone", Kind::text, &Settings::map_tone, {}, {is_map_tone, "normal, grey or dim"}},
        {"-mbtiles", Kind::text, &Settings::mbtiles, {}, {is_name, "a file"}},
        {"-help", Kind::help},
        {"--help", Kind::help},
    };
    return table;
}

// Options that mean nothing beside another: given together, the first is refused.
struct Exclusion {
    const char* option;
    const char* with;
};

const Exclusion exclusions[] = {
    {"-pins", "-heatmap"},
    {"-color", "-heatmap"},
    {"-outline", "-heatmap"},
    {"-color-by", "-heatmap"},
    {"-profile", "-heatmap"},
};

// The first pair of options given together that do not go together; nullptr: none.
const Exclusion* excluded(const std::set<std::string>& given) {
    for (const Exclusion& pair : exclusions) {
        if (given.contains(pair.option) && given.contains(pair.with)) return &pair;
    }
    return nullptr;
}

// Decimal numbers separated by commas: each an optional '-', digits, and
// digits after a point if there is one; nothing else, no blank.
std::optional<std::vector<double>> decimals(std::string_view text, size_t count) {
    std::vector<double> values;
    for (size_t start = 0; values.size() < count; ++start) {
        const size_t end = std::min(text.find(',', start), text.size());
        const std::string_view part = text.substr(start, end - start);
        const std::string_view digits = part.starts_with('-') ? part.substr(1) : part;
        const bool shaped = !digits.empty() && digits.front() != '.' && digits.back() != '.' &&
                            std::count(digits.begin(), digits.end(), '.') <= 1 &&
                            std::all_of(digits.begin(), digits.end(),
                                        [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
        double value = 0;
        if (!shaped ||
            std::from_chars(part.data(), part.data() + part.size(), value, std::chars_format::fixed)
                    .ptr != part.data() + part.size()) {
            return std::nullopt;
        }
        values.push_back(value);
        if ((end == text.size()) != (values.size() == count)) return std::nullopt;
        start = end;
    }
    return values;
}

bool is_latitude(double v) { return v >= -edge_latitude && v <= edge_latitude; }
bool is_longitude(double v) { return v >= -180 && v <= 180; }

std::optional<geo_point> parse_point(std::string_view text) {
    const auto v = decimals(text, 2);
    if (!v || !is_latitude((*v)[0]) || !is_longitude((*v)[1])) return std::nullopt;
    return geo_point{(*v)[0], (*v)[1]};
}

std::optional<bounds> parse_box(std::string_view text) {
    const auto v = decimals(text, 4);
    if (!v) return std::nullopt;
    const bounds box{(*v)[0], (*v)[2], (*v)[1], (*v)[3]};
    if (!is_latitude(box.south) || !is_latitude(box.north) || box.south >= box.north ||
        !is_longitude(box.west) || !is_longitude(box.east)) {
        return std::nullopt;
    }
    return box;
}

std::optional<privacy_zone> parse_zone(std::string_view text) {
    const auto v = decimals(text, 3);
    if (!v || (*v)[0] < -90 || (*v)[0] > 90 || !is_longitude((*v)[1]) || (*v)[2] < 1 ||
        (*v)[2] > 100000) {
        return std::nullopt;
    }
    return privacy_zone{(*v)[0], (*v)[1], (*v)[2]};
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

std::string usage_text() { return plotr_help_text; }

std::vector<std::string> option_names() {
    std::vector<std::string> names;
    for (const Option& option : option_table()) names.emplace_back(option.name);
    return names;
}

Settings parse_command_line(const std::vector<std::string>& arguments, Console& console,
                            const std::string& providers_file) {
    const std::string program = arguments.empty() ? "(?)" : arguments[0];
    const auto fail = [&](const std::string& line) {
        console.err(line + usage_text());
        throw Early_exit{2};
    };

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
    std::string_view source;  // the last of -url, -provider and -mbtiles
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument.empty() || argument[0] != '-') {
            plain.push_back(argument);
            continue;
        }

        const auto found = std::find_if(option_table().begin(), option_table().end(),
                                        [&](const Option& o) { return argument == o.name; });
        if (found == option_table().end()) {
            fail(format("%s: unknown option `%s'.\n", program.c_str(), argument.c_str()));
        }
        const Option& option = *found;
        if (option.kind == Kind::help || option.kind == Kind::version) {
            console.out(option.kind == Kind::help ? usage_text() : version_text());
            throw Early_exit{0};
        }
        if (option.kind == Kind::flag) {
            given.insert(option.name);
            settings.*std::get<bool Settings::*>(option.target) = true;
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
        given.insert(option.name);
        for (const std::string_view name : {"-url", "-provider", "-mbtiles"}) {
            if (name == option.name) source = name;
        }
        if (option.check.accepts && !option.check.accepts(value)) wrong(option.check.expects);
        const auto integer = [&] {
            const auto number = parse_integer(value);
            if (!number) wrong("an integer");
            if (*number < option.range.min || *number > option.range.max) {
                wrong(format("an integer from %d to %d", option.range.min, option.range.max));
            }
            return *number;
        };
        switch (option.kind) {
            case Kind::text:
                settings.*std::get<std::string Settings::*>(option.target) = value;
                break;
            case Kind::optional_text:
                settings.*std::get<std::optional<std::string> Settings::*>(option.target) = value;
                break;
            case Kind::list:
                (settings.*std::get<std::vector<std::string> Settings::*>(option.target))
                    .push_back(value);
                break;
            case Kind::integer:
                settings.*std::get<int Settings::*>(option.target) = integer();
                break;
            case Kind::optional_integer:
                settings.*std::get<std::optional<int> Settings::*>(option.target) = integer();
                break;
            case Kind::gpx_list:
                settings.gpx_lists.push_back({settings.gpx_files.size(), value});
                break;
            case Kind::point: {
                const auto point = parse_point(value);
                if (!point) wrong(option.check.expects);
                settings.*std::get<std::optional<geo_point> Settings::*>(option.target) = point;
                break;
            }
            case Kind::box: {
                const auto box = parse_box(value);
                if (!box) wrong(option.check.expects);
                settings.*std::get<std::optional<bounds> Settings::*>(option.target) = box;
                break;
            }
            case Kind::zone: {
                const auto zone = parse_zone(value);
                if (!zone) wrong(option.check.expects);
                (settings.*std::get<std::vector<privacy_zone> Settings::*>(option.target))
                    .push_back(*zone);
                break;
            }
            case Kind::provider: {
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
                if (!provider) wrong(option.check.expects);
                settings.url = provider_template(*provider);
                settings.provider = std::move(provider);
                break;
            }
            default: break;
        }
    }
    if (const Exclusion* pair = excluded(given)) {
        fail(format("%s: option `%s' does not apply with `%s'.\n", program.c_str(), pair->option,
                    pair->with));
    }
    // A heat map has no pins: what they would take is not kept free either.
    if (settings.heatmap) settings.nomarkers = true;
    // Plain arguments are ignored; one that names a file was surely meant to be read.
    for (const std::string& argument : plain) {
        struct stat status {};
        if (stat(argument.c_str(), &status) == 0 && !S_ISDIR(status.st_mode)) {
            const std::string word = shell_quote(argument);
            console.err("plotr: " + argument + " is not read; give it as -gpx " + word + " or < " +
                        word + "\n");
        }
    }
    // The strip's bound depends on the height, which may come after it.
    if (settings.profile && *settings.profile > settings.height / 2) {
        const std::string expects =
            settings.height / 2 >= 40
                ? format("an integer from 40 to %d (half the height)", settings.height / 2)
                : std::string("a picture at least 80 pixels high");
        fail(format("%s: wrong argument `%d'; option `-profile' expects %s.\n", program.c_str(),
                    *settings.profile, expects.c_str()));
    }
    if (source == "-mbtiles") {
        settings.provider.reset();
    } else {
        settings.mbtiles.clear();
    }
    settings.attribution_given = given.contains("-attribution");
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
