#include "gpx/track.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "common/failure.h"
#include "common/text.h"
#include "gpx/gpx_names.h"

namespace plotr {
namespace {

using xmlm_shit::String_source;

const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

TEST(TrackCoordinate, FollowsStrtodOnTheWholeText) {
    const std::optional<double> fails;
    const struct {
        const char* text;
        std::optional<double> expected;
    } cases[] = {
        {" 52.5", 52.5},   {"52.5 ", fails}, {"5_2.5", 52.5},  {"_52.5_", 52.5},  {"1e1", 10.0},
        {"+1E+1", 10.0},   {"0x10", 16.0},   {"0x1p-2", 0.25}, {"-0", -0.0},      {".5", 0.5},
        {"5.", 5.0},       {"nan", nan},     {"-INF", -inf},   {"Infinity", inf}, {"1e999", inf},
        {"-1e999", -inf},  {"1e-999", 0.0},  {"", fails},      {"_", fails},      {"52,5", fails},
        {"nan(1)", fails}, {"1e", fails},    {"-", fails},     {"52.5x", fails},  {"1.0.0", fails},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        if (!c.expected) {
            EXPECT_THROW(parse_coordinate(c.text), Fatal_error);
        } else if (std::isnan(*c.expected)) {
            EXPECT_TRUE(std::isnan(parse_coordinate(c.text)));
        } else {
            EXPECT_EQ(std::bit_cast<uint64_t>(parse_coordinate(c.text)),
                      std::bit_cast<uint64_t>(*c.expected));
        }
    }
}

// Decimal texts take a faster route than strtod; the bits must still be the same.
TEST(TrackCoordinate, RoundsDecimalsExactlyLikeStrtod) {
    std::vector<std::string> texts = {"0.1",
                                      "52.520008",
                                      "179.99999999999999",
                                      "4.9e-324",
                                      "2.2250738585072011e-308",
                                      "1.7976931348623159e308",
                                      "123456789012345678901234567890.5"};
    unsigned seed = 1;
    for (int i = 0; i < 2000; ++i) {
        seed = seed * 1103515245 + 12345;
        texts.push_back(std::to_string(int(seed % 360) - 180) + "." +
                        std::to_string(seed % 100000007) + "e" + std::to_string(int(seed % 7) - 3));
    }
    for (const std::string& text : texts) {
        EXPECT_EQ(std::bit_cast<uint64_t>(parse_coordinate(text)),
                  std::bit_cast<uint64_t>(std::strtod(text.c_str(), nullptr)))
            << text;
    }
}

std::string describe(const track_list& tracks) {
    std::string out;
    for (const track& t : tracks) {
        out += "[";
        for (const track_segment& segment : t) {
            out += "[";
            for (const track_point& p : segment) out += format("(%g %g)", p.lat, p.lon);
            out += "]";
        }
        out += "]";
    }
    return out;
}

std::string read(const std::string& document, size_t chunk = SIZE_MAX) {
    String_source source(document, chunk);
    try {
        return describe(read_gpx(source));
    } catch (const Fatal_error& error) {
        return error.what();
    }
}

TEST(GpxRead, KeepsTheTrackChainOnly) {
    const struct {
        std::string document, expected;
    } cases[] = {
        {"<gpx><trk><trkseg><trkpt lat='1' lon='2'/><trkpt lon='4' lat='3'><ele>9</ele>"
         "<extensions><trkpt lat='0' lon='0'/></extensions></trkpt><trkpt lat='1' lon='2'/>"
         "</trkseg><trkseg/></trk><trk/><trk><trkseg><trkpt lat='5' lon='6'/></trkseg></trk></gpx>",
         "[[(1 2)(3 4)(1 2)][]][][[(5 6)]]"},
        {"<gpx><wpt lat='1' lon='1'/><rte><rtept lat='1' lon='1'/><trkpt lat='1' lon='1'/></rte>"
         "<trk><trkpt lat='1' lon='1'/><trkseg><TRKPT lat='1' lon='1'/><Trkpt/></trkseg></trk>"
         "</gpx>",
         "[[]][[(1 1)]]"},
        {"<x><gpx><trk><trkseg><trkpt lat='1' lon='2'/></trkseg></trk></gpx></x>", "[[(1 2)]]"},
        {"<gpx xmlns='http://www.topografix.com/GPX/1/1'><trk><trkseg><trkpt lat='1' lon='2'/>"
         "</trkseg></trk></gpx>",
         "[[(1 2)]]"},
        {"<g:gpx xmlns:g='u' xmlns:a='v'><g:trk><g:trkseg><g:trkpt a:lat='1' g:lat='3' lon='2'/>"
         "</g:trkseg></g:trk></g:gpx><junk>\xFF",
         "[[(1 2)]]"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(read(c.document), c.expected) << c.document;
        EXPECT_EQ(read(c.document, 3), c.expected) << c.document;
    }
}

TEST(GpxRead, FailsInDocumentOrder) {
    const auto point = [](const std::string& attributes, const std::string& content) {
        return "<gpx><trk><trkseg><trkpt " + attributes + ">" + content +
               "</trkpt></trkseg></trk></gpx>";
    };
    const struct {
        std::string document, expected;
    } cases[] = {
        {"", R"(Xml_error(1, 1, "no element found"))"},
        {point("lon='2'", "<bad></worse>"), "Not_found"},
        {point("Lat='1' lon='2'", ""), "Not_found"},
        {point("lat='1'", ""), "Not_found"},
        {point("lat='x' lon='2'", "<bad></worse>"), R"(Xml_error(1, 49, "mismatched tag"))"},
        {point("lat='1' lon='y'", "<ele>1</ele>"), R"(Failure("float_of_string"))"},
        {point("lat='1' lon='2'", "</gpx>"), R"(Xml_error(1, 44, "mismatched tag"))"},
    };
    for (const auto& c : cases) EXPECT_EQ(read(c.document), c.expected) << c.document;
    EXPECT_EQ(read("<r><trk/><gpx/></r>"),
              R"(Failure("not a GPX document: the root element is <r>"))");
    EXPECT_EQ(read("<t:TrainingCenterDatabase xmlns:t='u'/>"),
              R"(Failure("not a GPX document: the root element is <TrainingCenterDatabase>"))");
}

// A route is one track of one segment; it is taken when no track point is, or when asked,
// and only then do its faults and its left-out points count.
TEST(GpxRead, RoutesStandInForMissingTracks) {
    const std::string track_1_2 = "<trk><trkseg><trkpt lat='1' lon='2'/></trkseg></trk>";
    const struct {
        std::string document;
        bool routes;
        std::string expected;
        long skipped, line, column, waypoints;
    } cases[] = {
        {"<gpx><wpt lat='0' lon='0'/><rte><rtept lat='1' lon='2'/><name>r</name>"
         "<rtept lat='3' lon='4'><ele>5</ele></rtept></rte><rte/><rte><rtept lat='5' lon='6'/>"
         "</rte><wpt lat='0' lon='0'/></gpx>",
         false, "[[(1 2)(3 4)]][[]][[(5 6)]]", 0, 0, 0, 2},
        {"<gpx><rte><rtept lat='9' lon='9'/></rte>" + track_1_2 + "</gpx>", false, "[[(1 2)]]", 0,
         0, 0, 0},
        {"<gpx><rte><rtept lat='9' lon='9'/></rte>" + track_1_2 + "</gpx>", true,
         "[[(1 2)]][[(9 9)]]", 0, 0, 0, 0},
        {"<gpx><rte><rtept lat='x' lon='1'/><rtept/><rtept lat='700' lon='1'/></rte>" + track_1_2 +
             "</gpx>",
         false, "[[(1 2)]]", 0, 0, 0, 0},
        {"<gpx><rte><rtept lat='x' lon='1'/><rtept/></rte>" + track_1_2 + "</gpx>", true,
         R"(Failure("float_of_string"))", 0, 0, 0, 0},
        {"<gpx><rte><rtept lon='1'/></rte></gpx>", false, "Not_found", 0, 0, 0, 0},
        {"<gpx><rte><rtept lat='1' lon='2'/>\n<rtept lat='91' lon='1'/></rte>\n<trk><trkseg>"
         "<trkpt lat='1' lon='nan'/></trkseg></trk></gpx>",
         false, "[[]][[(1 2)]]", 2, 2, 1, 0},
    };
    for (const auto& c : cases) {
        for (const size_t chunk : {SIZE_MAX, size_t{3}}) {
            SCOPED_TRACE(c.document);
            String_source source(c.document, chunk);
            try {
                const gpx_document document = read_document(source, c.routes);
                EXPECT_EQ(describe(document.tracks), c.expected);
                EXPECT_EQ(document.skipped.count, c.skipped);
                EXPECT_EQ(document.skipped.line, c.line);
                EXPECT_EQ(document.skipped.column, c.column);
                EXPECT_EQ(document.waypoints, c.waypoints);
            } catch (const Fatal_error& error) {
                EXPECT_EQ(error.what(), c.expected);
            }
        }
    }
}

// Waypoints are read only when asked: their place and the text of their first name. A
// track the hide step empties lets the routes stand in, as if its points were never there;
// a waypoint in a zone is not even counted, drawn or not.
TEST(GpxRead, WaypointsAndHiddenPoints) {
    const std::string document =
        "<gpx><wpt lat='1' lon='2'><name>A &amp; <![CDATA[B]]></name><name>2nd</name></wpt>"
        "<wpt lat='3' lon='4'><name>x<b/>y</name></wpt><wpt lon='5'><name>no lat</name></wpt>"
        "<wpt lat='6' lon='7'/><rte><rtept lat='8' lon='9'/></rte>"
        "<trk><trkseg><trkpt lat='1' lon='1'/></trkseg></trk></gpx>";
    reading_options options{
        .waypoints = true,
        .hide = [](track& t) { return t[0][0].lat == 1 && (t.clear(), true); },
        .hides_waypoint = [](const track_point& p) { return p.lat == 6; }};
    for (const size_t chunk : {SIZE_MAX, size_t{5}}) {
        String_source source(document, chunk);
        const gpx_document d = read_document(source, false, options);
        EXPECT_EQ(describe({{d.marks.points}}), "[[(1 2)(3 4)]]");
        EXPECT_EQ(d.marks.names, (std::vector<std::string>{"A & B", ""}));
        EXPECT_EQ(describe(d.tracks), "[][[(8 9)]]");
        EXPECT_EQ(d.hidden_tracks, 1);
        EXPECT_TRUE(d.emptied);
        EXPECT_EQ(d.waypoints, 3);
    }
    options.waypoints = false;
    String_source source(document);
    EXPECT_EQ(read_document(source, false, options).waypoints, 3);
}

// Places beyond the map's 85.05 degrees stay; the first point left out is told by its tag.
TEST(GpxRead, LeavesOutPointsThatAreNotPositions) {
    const std::string document =
        "<gpx><trk><trkseg><trkpt lat='90' lon='-180'/><trkpt lat='-89.9' lon='180'/>\n"
        "  <trkpt lat='90.001' lon='0'/>\n"
        "\t<trkpt lat='1' lon='nan'/><trkpt lat='-inf' lon='1'/><trkpt lat='1' lon='-181'/>"
        "</trkseg><trkseg><trkpt lat='1e400' lon='2'/></trkseg></trk></gpx>";
    for (const size_t chunk : {SIZE_MAX, size_t{7}}) {
        String_source source(document, chunk);
        skipped_points skipped;
        EXPECT_EQ(describe(read_gpx(source, skipped)), "[[(90 -180)(-89.9 180)][]]");
        EXPECT_EQ(skipped.count, 5);
        EXPECT_EQ(skipped.line, 2);
        EXPECT_EQ(skipped.column, 3);
        EXPECT_EQ(skipped_message(skipped),
                  "plotr: skipped 5 track points that are not positions on Earth, the first at "
                  "line 2, column 3\n");
    }
    EXPECT_EQ(
        skipped_message({1, 4, 9}),
        "plotr: skipped 1 track point that is not a position on Earth, at line 4, column 9\n");
    EXPECT_EQ(skipped_message({}), "");
}

std::string bounds(const track_list& tracks) {
    try {
        // One statement each: the order of the calls decides which failure is seen.
        const double south = min_lat(tracks);
        const double north = max_lat(tracks);
        const double west = min_lon(tracks);
        const double east = max_lon(tracks);
        return format("%g %g %g %g", south, north, west, east);
    } catch (const Fatal_error& error) {
        return error.what();
    }
}

TEST(TrackBounds, SkipNanAndFailOnTheStartValue) {
    EXPECT_EQ(bounds({{{{1, 2}}}}), "1 1 2 2");
    EXPECT_EQ(bounds({{{{3, nan}, {nan, -4}}, {}}, {{{-1, 7}}}}), "-1 3 -4 7");
    EXPECT_EQ(bounds({{{{665.5, -665.5}}}}), "665.5 665.5 -665.5 -665.5");
    // Each failing bound names its own check, in the order min_lat, max_lat, min_lon, max_lon.
    const std::string failures[] = {bounds({}),
                                    bounds({{{}}}),
                                    bounds({{{{nan, 1}}}}),
                                    bounds({{{{700, 1}}}}),
                                    bounds({{{{-700, 1}}}}),
                                    bounds({{{{1, 666}}}}),
                                    bounds({{{{1, -inf}}}})};
    for (const std::string& failure : failures)
        EXPECT_EQ(failure.rfind(R"(Assert_failure("src/gpx/track.cpp", )", 0), 0) << failure;
    EXPECT_EQ(failures[0], failures[3]);
    EXPECT_NE(failures[3], failures[4]);
    EXPECT_NE(failures[4], failures[5]);
    EXPECT_NE(failures[5], failures[6]);
}

TEST(GpxNames, ListsTakeNamesAsTheyStand) {
    EXPECT_EQ(list_names("# season\n\n  \n a b.gpx\r\n-x 'q\".gpx\n#c\nlast.gpx", "l"),
              (std::vector<std::string>{" a b.gpx", "-x 'q\".gpx", "last.gpx"}));
    EXPECT_THROW(list_names(std::string("a\0b.gpx\n", 8), "l"), Fatal_error);
    for (const auto& [name, gpx] : std::vector<std::pair<std::string, bool>>{
             {"a.gpx", true}, {"A.GPX.GZ", true}, {"a.gpx.bak", false}, {"gpx", false}}) {
        EXPECT_EQ(is_gpx_name(name), gpx) << name;
    }
}

// Elevation, time and heart rate are read only when asked for, under any prefix.
TEST(Track, ExtrasOnRequest) {
    const std::string doc =
        "<gpx xmlns:g='x'><trk><trkseg><trkpt lat='1' lon='2'><ele> 12.5 </ele>"
        "<time>2024-05-01T10:30:00.5+02:00</time><extensions><g:TrackPointExtension>"
        "<g:hr>141</g:hr></g:TrackPointExtension></extensions></trkpt>"
        "<trkpt lat='3' lon='4'><ele>high</ele><extensions><hr>90</hr></extensions></trkpt>"
        "</trkseg></trk></gpx>";
    String_source plain(doc);
    EXPECT_TRUE(std::isnan(read_document(plain, false).tracks[0][0][0].elevation));
    String_source source(doc, 3);
    const track_segment s = read_document(source, false, {.extras = true}).tracks[0][0];
    EXPECT_EQ(s[0].elevation, 12.5f);
    EXPECT_EQ(s[0].time, 1714552200.5);
    EXPECT_EQ(s[0].heart_rate, 141.0f);
    EXPECT_TRUE(std::isnan(s[1].elevation) && std::isnan(s[1].time));
    EXPECT_EQ(s[1].heart_rate, 90.0f);
    EXPECT_EQ(parse_time("1970-01-02T00:00:00Z"), 86400.0);
    EXPECT_TRUE(std::isnan(parse_time("2024-05-01 10:30:00")));
}

}  // namespace
}  // namespace plotr
