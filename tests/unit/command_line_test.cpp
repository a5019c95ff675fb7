#include "cli/command_line.h"

#include <gtest/gtest.h>

#include <fstream>

#include "cli/exe_dir.h"
#include "cli/temp_dir.h"
#include "render/markers.h"

namespace plotr {
namespace {

struct Outcome {
    Settings settings;
    int status = -1;  // -1: parse_command_line returned
    std::string out;
    std::string err;
};

// The providers installed beside the program, from the source tree.
const std::string providers = PLOTR_SHARE_DIR "/providers";

Outcome parse(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "plotr");
    Recording_console console;
    Outcome outcome;
    try {
        outcome.settings = parse_command_line(arguments, console, providers);
    } catch (const Early_exit& exit) {
        outcome.status = exit.status;
    }
    outcome.out = console.stdout_text;
    outcome.err = console.stderr_text;
    return outcome;
}

// The one copy of the help text, which the program is built with.
const std::string expected_help = [] {
    std::ifstream file(PLOTR_HELP_FILE);
    return std::string(std::istreambuf_iterator<char>(file), {});
}();

TEST(CommandLine, DefaultsAndValues) {
    Outcome o = parse({});
    EXPECT_EQ(o.status, -1);
    EXPECT_EQ(o.out + o.err, "");
    EXPECT_EQ(o.settings.output, "out.png");
    EXPECT_EQ(o.settings.width, 800);
    EXPECT_EQ(o.settings.height, 600);
    EXPECT_EQ(o.settings.url, "http://{s}.tile.thunderforest.com/landscape/{z}/{x}/{y}.png");
    EXPECT_FALSE(o.settings.compress || o.settings.nomarkers);

    o = parse({"-height", "300", "track.gpx", "-height", "400", "-o", "-compress", "-nomarkers",
               "-nomarkers", "", "-url", "", "-width", "0x320", "-horizontal-padding", "-5",
               "-vertical-padding", "1_000"});
    EXPECT_EQ(o.status, -1);
    EXPECT_EQ(o.settings.height, 400);
    EXPECT_EQ(o.settings.output, "-compress");
    EXPECT_FALSE(o.settings.compress);
    EXPECT_TRUE(o.settings.nomarkers);
    EXPECT_EQ(o.settings.url, "");
    EXPECT_EQ(o.settings.width, 800);
    EXPECT_EQ(o.settings.horizontal_padding, -5);
    EXPECT_EQ(o.settings.vertical_padding, 1000);

    o = parse({"-cache", "tiles", "-parallel", "64", "-attribution", "\xC2\xA9 OpenStreetMap",
               "-color", "#FF000080", "-line-width", "1", "-width", "1", "-height", "0x3fffffff",
               "-scale", "4", "-tile-size", "0x200"});
    EXPECT_EQ(o.status, -1);
    EXPECT_EQ(o.settings.cache, "tiles");
    EXPECT_EQ(o.settings.parallel, 64);
    EXPECT_EQ(o.settings.attribution, "\xC2\xA9 OpenStreetMap");
    EXPECT_EQ(o.settings.color, "#FF000080");
    EXPECT_EQ(o.settings.line_width, 1);
    EXPECT_EQ(o.settings.height, max_side);
    EXPECT_EQ(o.settings.scale, 4);
    EXPECT_EQ(o.settings.tile_size, 512);
    EXPECT_TRUE(o.settings.gpx_files.empty() || o.settings.routes);
    EXPECT_EQ(o.settings.pins, "segment");

    // -gpx adds up; -pins, like every other value, is the last one given.
    o = parse({"-gpx", "a.gpx", "-pins", "file", "-routes", "-gpx", "-b.gpx", "-pins", "track"});
    EXPECT_EQ(o.status, -1);
    EXPECT_EQ(o.settings.gpx_files, (std::vector<std::string>{"a.gpx", "-b.gpx"}));
    EXPECT_TRUE(o.settings.routes);
    EXPECT_EQ(o.settings.pins, "track");
    // A list keeps its place among the -gpx names; a heat map has no pins.
    o = parse({"-gpx", "a.gpx", "-gpx-list", "-", "-gpx", "b", "-heatmap", "-map-tone", "dim"});
    EXPECT_EQ(o.settings.gpx_lists, (std::vector<gpx_list>{{1, "-"}}));
    EXPECT_TRUE(o.settings.heatmap && o.settings.nomarkers && o.settings.map_tone == "dim");

    o = parse({"-zoom", "0", "-center", "-17.5,178", "-bbox", "-18.2,177.2,-16.1,-179.9"});
    EXPECT_EQ(o.settings.zoom, 0);
    EXPECT_EQ(o.settings.center, (geo_point{-17.5, 178}));
    EXPECT_EQ(o.settings.bbox, (bounds{-18.2, -16.1, 177.2, -179.9}));
}

TEST(CommandLine, Utf8) {
    const std::pair<const char*, bool> cases[] = {
        {"", true},
        {"\xC2\xA9 \xC3\xA9t\xC3\xA9 \xE2\x80\xA6 \xF0\x9F\x9A\xB2", true},
        {"\xC3", false},              // cut short
        {"\xC0\xAF", false},          // overlong '/'
        {"\xE0\x80\xAF", false},      // overlong
        {"\xED\xA0\x80", false},      // surrogate
        {"\xF4\x90\x80\x80", false},  // past U+10FFFF
        {"\xFF", false},
        {"a\x80", false},
    };
    for (const auto& [text, valid] : cases) EXPECT_EQ(is_utf8(text), valid) << text;
}

TEST(CommandLine, Help) {
    EXPECT_EQ(usage_text(), expected_help);
    // Each option of the table has its line, in the table's order.
    std::vector<std::string> named;
    for (size_t at = expected_help.find("\n  -"); at != std::string::npos;
         at = expected_help.find("\n  -", at + 1)) {
        named.push_back(
            expected_help.substr(at + 3, expected_help.find_first_of(" \t", at + 3) - at - 3));
    }
    EXPECT_EQ(named, option_names());
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {"-help"}, {"--help"}, {"-height", "50", "-help"}, {"-help", "-bogus"}}) {
        const Outcome o = parse(arguments);
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(o.out, expected_help);
        EXPECT_EQ(o.err, "");
    }
    // -version stops the command line as -help does: what comes after is not read.
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {"-version"}, {"-margin", "5", "-version", "-bogus"}, {"-version", "-help"}}) {
        const Outcome o = parse(arguments);
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(o.out, "plotr 0.1.0\n");
        EXPECT_EQ(o.err, "");
    }
}

TEST(CommandLine, Errors) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--width", "5"}, "plotr: unknown option `--width'.\n"},
        {{"-"}, "plotr: unknown option `-'.\n"},
        {{"-o=x"}, "plotr: unknown option `-o=x'.\n"},
        {{"-Help"}, "plotr: unknown option `-Help'.\n"},
        {{"-width"}, "plotr: option `-width' needs an argument.\n"},
        {{"-o"}, "plotr: option `-o' needs an argument.\n"},
        {{"-width", "12px"}, "plotr: wrong argument `12px'; option `-width' expects an integer.\n"},
        {{"-height", "+5"}, "plotr: wrong argument `+5'; option `-height' expects an integer.\n"},
        {{"-bogus", "-help"}, "plotr: unknown option `-bogus'.\n"},
        {{"-bogus", "-version"}, "plotr: unknown option `-bogus'.\n"},
        {{"-margin", "10001"},
         "plotr: wrong argument `10001'; option `-margin' expects an integer from 0 to 10000.\n"},
        {{"-margin", "-1"},
         "plotr: wrong argument `-1'; option `-margin' expects an integer from 0 to 10000.\n"},
        {{"-width", "0"},
         "plotr: wrong argument `0'; option `-width' expects an integer from 1 to 1073741823.\n"},
        {{"-height", "-5"},
         "plotr: wrong argument `-5'; option `-height' expects an integer from 1 to 1073741823.\n"},
        {{"-parallel", "65"},
         "plotr: wrong argument `65'; option `-parallel' expects an integer from 1 to 64.\n"},
        {{"-line-width", "0"},
         "plotr: wrong argument `0'; option `-line-width' expects an integer from 1 to 64.\n"},
        {{"-parallel", "x"}, "plotr: wrong argument `x'; option `-parallel' expects an integer.\n"},
        {{"-scale", "5"},
         "plotr: wrong argument `5'; option `-scale' expects an integer from 1 to 4.\n"},
        {{"-scale", "0"},
         "plotr: wrong argument `0'; option `-scale' expects an integer from 1 to 4.\n"},
        {{"-tile-size", "384"},
         "plotr: wrong argument `384'; option `-tile-size' expects 256 or 512.\n"},
        {{"-tile-size", "big"},
         "plotr: wrong argument `big'; option `-tile-size' expects 256 or 512.\n"},
        {{"-color", "nocolour"},
         "plotr: wrong argument `nocolour'; option `-color' expects a colour.\n"},
        {{"-color", ""}, "plotr: wrong argument `'; option `-color' expects a colour.\n"},
        {{"-outline", "nocolour"},
         "plotr: wrong argument `nocolour'; option `-outline' expects a colour.\n"},
        {{"-privacy", "100001"},
         "plotr: wrong argument `100001'; option `-privacy' expects an integer from 0 to 100000.\n"},
        {{"-privacy-zone", "52.5,13.4,0.5"},
         "plotr: wrong argument `52.5,13.4,0.5'; option `-privacy-zone' expects a latitude, a "
         "longitude and a radius of 1 to 100000 metres, e.g. 46.5,7.9,500.\n"},
        {{"-privacy-zone", "91,13.4,50"},
         "plotr: wrong argument `91,13.4,50'; option `-privacy-zone' expects a latitude, a "
         "longitude and a radius of 1 to 100000 metres, e.g. 46.5,7.9,500.\n"},
        {{"-gpx", ""}, "plotr: wrong argument `'; option `-gpx' expects a file.\n"},
        {{"-pins", "file", "-heatmap"}, "plotr: option `-pins' does not apply with `-heatmap'.\n"},
        {{"-heatmap", "-color", "red"}, "plotr: option `-color' does not apply with `-heatmap'.\n"},
        {{"-map-tone", "gray"},
         "plotr: wrong argument `gray'; option `-map-tone' expects normal, grey or dim.\n"},
        {{"-pins", "Track"},
         "plotr: wrong argument `Track'; option `-pins' expects segment, track or file.\n"},
        {{"-attribution", "caf\xE9"},
         "plotr: wrong argument `caf\xE9'; option `-attribution' expects UTF-8 text.\n"},
        {{"-provider", "nosuch"},
         "plotr: wrong argument `nosuch'; option `-provider' expects a provider name (see "
         "-provider list).\n"},
        {{"-provider", "./nonexistent-provider-file"},
         "plotr: ./nonexistent-provider-file: cannot be read\n"
         "plotr: wrong argument `./nonexistent-provider-file'; option `-provider' expects a "
         "provider name (see -provider list).\n"},
        {{"-provider", PLOTR_SHARE_DIR "/providers"},
         "plotr: " PLOTR_SHARE_DIR "/providers: holds 11 entries, not one\n"
         "plotr: wrong argument `" PLOTR_SHARE_DIR "/providers'; option `-provider' expects a "
         "provider name (see -provider list).\n"},
        {{"-provider"}, "plotr: option `-provider' needs an argument.\n"},
        {{"-zoom", "23"},
         "plotr: wrong argument `23'; option `-zoom' expects an integer from 0 to 22.\n"},
        {{"-center", "90,0"},
         "plotr: wrong argument `90,0'; option `-center' expects a latitude and a "
         "longitude, e.g. 46.5,7.9.\n"},
        {{"-center", "1, 2"},
         "plotr: wrong argument `1, 2'; option `-center' expects a latitude and a "
         "longitude, e.g. 46.5,7.9.\n"},
        {{"-center", "1,2,3"},
         "plotr: wrong argument `1,2,3'; option `-center' expects a latitude and "
         "a longitude, e.g. 46.5,7.9.\n"},
        {{"-bbox", "46.7,7.8,46.4,8.2"},
         "plotr: wrong argument `46.7,7.8,46.4,8.2'; option `-bbox' "
         "expects south,west,north,east in degrees, e.g. "
         "46.4,7.8,46.7,8.2.\n"},
        {{"-bbox", "1,nan,2,3"},
         "plotr: wrong argument `1,nan,2,3'; option `-bbox' expects "
         "south,west,north,east in degrees, e.g. 46.4,7.8,46.7,8.2.\n"},
        {{"-user-agent", "a\r\nX-Evil: 1"},
         "plotr: wrong argument `a\r\nX-Evil: 1'; option `-user-agent' expects a text without "
         "control characters.\n"},
    };
    for (const auto& [arguments, line] : cases) {
        const Outcome o = parse(arguments);
        EXPECT_EQ(o.status, 2);
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.err, line + expected_help);
    }
}

TEST(CommandLine, Providers) {
    // The provider's values, unless an option says otherwise; the last of
    // -url and -provider sets the template.
    Outcome o = parse({"-provider", "osm"});
    ASSERT_EQ(o.status, -1);
    EXPECT_EQ(o.out + o.err, "");
    EXPECT_EQ(o.settings.url, "https://tile.openstreetmap.org/{z}/{x}/{y}.png");
    EXPECT_EQ(o.settings.attribution, "© OpenStreetMap contributors");
    EXPECT_EQ(o.settings.user_agent, "plotr/0.1.0 (+https://plotr.example.org)");
    EXPECT_EQ(o.settings.parallel, 2);
    EXPECT_EQ(o.settings.parallel_asked, 0);
    o = parse({"-url", "x", "-provider", "carto-dark", "-parallel", "9", "-attribution", "",
               "-user-agent", ""});
    EXPECT_EQ(o.settings.url, "https://a.basemaps.cartocdn.com/dark_all/{z}/{x}/{y}{r}.png");
    EXPECT_EQ(o.settings.attribution, "");
    EXPECT_EQ(o.settings.user_agent, "");
    EXPECT_EQ(o.settings.parallel, 2);
    EXPECT_EQ(o.settings.parallel_asked, 9);
    o = parse({"-provider", "thunderforest-cycle", "-url", "y", "-parallel", "3"});
    EXPECT_EQ(o.settings.url, "y");
    EXPECT_EQ(o.settings.provider->key_env, "THUNDERFOREST_API_KEY");
    EXPECT_EQ(o.settings.parallel, 3);
    EXPECT_EQ(o.settings.parallel_asked, 0);
    // The last of -url, -provider and -mbtiles chooses; -mbtiles keeps no provider.
    o = parse({"-provider", "osm", "-mbtiles", "r.mbtiles"});
    EXPECT_EQ(o.settings.mbtiles, "r.mbtiles");
    EXPECT_FALSE(o.settings.provider);
    EXPECT_EQ(o.settings.attribution, "");
    EXPECT_EQ(parse({"-mbtiles", "r.mbtiles", "-url", "x"}).settings.mbtiles, "");
    EXPECT_TRUE(parse({"-mbtiles", "r.mbtiles", "-provider", "osm"}).settings.provider);
    EXPECT_TRUE(parse({"-attribution", "", "-mbtiles", "r"}).settings.attribution_given);
    // Without -provider only the user agent changes.
    o = parse({"-user-agent", "me"});
    EXPECT_EQ(o.settings.user_agent, "me");
    EXPECT_FALSE(o.settings.provider);
    EXPECT_EQ(o.settings.parallel, 1);
    EXPECT_EQ(o.settings.attribution, "");

    // The list acts where it stands, as -help does.
    o = parse({"-provider", "list", "-bogus"});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, "");
    EXPECT_TRUE(
        o.out.starts_with("osm                      OpenStreetMap standard map      "
                          "no key\n"))
        << o.out;
    EXPECT_NE(o.out.find("\nstadia-outdoors          Stadia Maps Outdoors            key from "
                         "STADIA_API_KEY\n"),
              std::string::npos);
    // A broken installation is no fault of the command line.
    Recording_console console;
    EXPECT_THROW(parse_command_line({"plotr", "-provider", "osm"}, console, "/nonexistent"),
                 Fatal_error);
}

TEST(CommandLine, IntegerRule) {
    const std::pair<const char*, std::optional<int>> cases[] = {
        {"0", 0},
        {"-0", 0},
        {"800", 800},
        {"-5", -5},
        {"1_000", 1000},
        {"1__0_", 10},
        {"0x320", 800},
        {"0X1f", 31},
        {"-0x10", -16},
        {"0o17", 15},
        {"0O7", 7},
        {"0b101", 5},
        {"0B1_1", 3},
        {"007", 7},
        {"1073741823", 1073741823},
        {"-1073741824", -1073741824},
        {"0x3FFFFFFF", 1073741823},
        {"-0x40000000", -1073741824},
        {"1073741824", std::nullopt},
        {"-1073741825", std::nullopt},
        {"0x40000000", std::nullopt},
        {"99999999999999999999999", std::nullopt},
        {"", std::nullopt},
        {"-", std::nullopt},
        {"+5", std::nullopt},
        {" 5", std::nullopt},
        {"5 ", std::nullopt},
        {"1.5", std::nullopt},
        {"_1", std::nullopt},
        {"-_1", std::nullopt},
        {"0x", std::nullopt},
        {"0x_1", std::nullopt},
        {"0b2", std::nullopt},
        {"0o8", std::nullopt},
        {"0xg", std::nullopt},
        {"12px", std::nullopt},
        {"1e3", std::nullopt},
        {"--5", std::nullopt},
    };
    for (const auto& [text, value] : cases) EXPECT_EQ(parse_integer(text), value) << text;
}

TEST(RunFrame, ExeDirAndMarkers) {
    EXPECT_EQ(directory_part("/usr/bin/plotr"), "/usr/bin");
    EXPECT_EQ(directory_part("/plotr"), "/");
    EXPECT_EQ(directory_part("plotr"), ".");
    EXPECT_EQ(directory_part("build/plotr"), "build");
    EXPECT_EQ(marker_paths_for("/usr/bin").start_icon,
              "/usr/bin/../share/plotr/pin-icon-start.png");
    EXPECT_EQ(marker_paths_for(".").end_icon, "./../share/plotr/pin-icon-end.png");
    EXPECT_EQ(marker_paths_for("/").shadow_icon, "//../share/plotr/pin-shadow.png");
    EXPECT_EQ(marker_paths_for("/usr/bin", 1).end_icon, "/usr/bin/../share/plotr/pin-icon-end.png");
    EXPECT_EQ(marker_paths_for("/usr/bin", 3).shadow_icon,
              "/usr/bin/../share/plotr/pin-shadow@3x.png");
}

TEST(RunFrame, TempDirNames) {
    EXPECT_EQ(seed_from_clock_and_process(1000, 5, 7, 1), (1000u ^ 5u ^ 7u ^ (1u << 16)));
    // Same clock, different process ids: different names.
    const uint64_t a = seed_from_clock_and_process(1765200000, 123456, 4242, 100);
    const uint64_t b = seed_from_clock_and_process(1765200000, 123456, 4243, 100);
    EXPECT_NE(Temp_dir_names(a).next(), Temp_dir_names(b).next());
    Temp_dir_names names(a);
    // splitmix64 from the seed, worked out apart from the code.
    EXPECT_EQ(names.next(), "/tmp/plotr-228085978");
    EXPECT_EQ(names.next(), "/tmp/plotr-311935700");
    for (int i = 0; i < 1000; ++i) {
        const std::string name = names.next();
        ASSERT_EQ(name.rfind("/tmp/plotr-", 0), 0u);
        const long n = std::stol(name.substr(11));
        EXPECT_GE(n, 0);
        EXPECT_LT(n, 1073741823);
    }
}

}  // namespace
}  // namespace plotr
