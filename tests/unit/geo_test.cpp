#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>

#include "common/text.h"
#include "geo/layout.h"
#include "geo/projection.h"
#include "geo/ride_story.h"
#include "geo/tile_grid.h"
#include "geo/zoom.h"

namespace plotr {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
const double nan = std::nan("");

TEST(Projection, KnownPixels) {
    EXPECT_EQ(pixel_x(0, -180), 0);
    EXPECT_EQ(pixel_x(0, 180), 256);
    EXPECT_EQ(pixel_y(0, 0), 128);
    EXPECT_EQ(pixel_y(1, 0), 256);
    EXPECT_NEAR(pixel_x(10, 13.4), 140829.582222, 1e-6);
    EXPECT_NEAR(pixel_y(10, 52.5), 85995.406374, 1e-6);
    EXPECT_GT(pixel_height(10, 52.5, 52.6), 0);
    EXPECT_GT(pixel_width(10, 13.4, 13.5), 0);
}

TEST(Projection, ProjectPointTruncatesTowardZeroAndSaturates) {
    // A point 3.7 pixels above and left of the canvas origin.
    const double left = pixel_x(12, 13.4) + 3.7;
    const double top = pixel_y(12, 52.5) + 3.7;
    EXPECT_EQ(project_point(12, left, top, 52.5, 13.4), (canvas_point{-3, -3}));

    EXPECT_EQ(truncate_to_int(2.7), 2);
    EXPECT_EQ(truncate_to_int(-2.7), -2);
    EXPECT_EQ(truncate_to_int(inf), INT_MAX);
    EXPECT_EQ(truncate_to_int(1e300), INT_MAX);
    EXPECT_EQ(truncate_to_int(2147483647.0), INT_MAX);
    EXPECT_EQ(truncate_to_int(2147483646.9), 2147483646);
    EXPECT_EQ(truncate_to_int(-2147483648.9), INT_MIN);
    EXPECT_EQ(truncate_to_int(-inf), INT_MIN);
    EXPECT_EQ(truncate_to_int(-1e300), INT_MIN);
    EXPECT_EQ(truncate_to_int(nan), INT_MIN);
    // A NaN latitude reaches the projection from real documents.
    EXPECT_EQ(project_point(3, 0, 0, nan, nan), (canvas_point{INT_MIN, INT_MIN}));
}

TEST(Projection, SplitTrackRuns) {
    struct Case {
        size_t points;
        std::vector<std::pair<int, int>> runs;  // first and last index of each run
    };
    const Case cases[] = {
        {0, {}},
        {1, {{0, 0}}},
        {400, {{0, 399}}},
        {401, {{0, 399}, {399, 400}}},
        {800, {{0, 399}, {399, 799}}},
        {801, {{0, 399}, {399, 799}, {799, 800}}},
        {1000, {{0, 399}, {399, 799}, {799, 999}}},
    };
    for (const Case& c : cases) {
        std::vector<canvas_point> points;
        for (size_t i = 0; i < c.points; ++i) points.push_back({static_cast<int>(i), 0});
        const auto runs = split_track(points);
        SCOPED_TRACE(c.points);
        if (c.points == 0) {
            ASSERT_EQ(runs.size(), 1u);
            EXPECT_TRUE(runs[0].empty());
            continue;
        }
        ASSERT_EQ(runs.size(), c.runs.size());
        for (size_t r = 0; r < runs.size(); ++r) {
            EXPECT_EQ(runs[r].front().x, c.runs[r].first);
            EXPECT_EQ(runs[r].back().x, c.runs[r].second);
            EXPECT_EQ(runs[r].size(), static_cast<size_t>(c.runs[r].second - c.runs[r].first + 1));
        }
    }
}

TEST(Projection, Distance) {
    EXPECT_EQ(distance(52.5, 13.4, 52.5, 13.4), 0);
    EXPECT_EQ(format("%f", distance(0, 0, 0, 1)), "111319.490793");
    EXPECT_EQ(format("%f", distance(0, 0, 1, 0)), "111319.490793");
    EXPECT_EQ(format("%f", distance(45, 0, 45, 1)), "78714.267272");
    EXPECT_EQ(format("%f", distance(0, 0, 0.0001, 0.0001)), "15.742953");
}

TEST(Zoom, WorkedExamples) {
    struct Case {
        double min_lat, max_lat, min_lon, max_lon;
        int width, height;
        std::string messages;
        int zoom;
        int limit = max_zoom;  // a provider's highest zoom
    };
    const Case cases[] = {
        {52.50, 52.53, 13.35, 13.42, 800, 600,
         "calculated maximum zoom to fit width:  13\n"
         "calculated maximum zoom to fit height: 14\n"
         "calculated minimum zoom: 13\n",
         13},
        {52.5, 52.5002, 13.4, 13.4003, 800, 600,
         "calculated maximum zoom to fit width:  21\n"
         "calculated maximum zoom to fit height: 21\n"
         "calculated minimum zoom: 21\n"
         "zoom is too high, choose 18\n",
         18},
        {0, 0.0001, 0, 0.0001, 800, 600,
         "we got 15.742953 meters GPX, choose maximum zoom level (18)\n", 18},
        {52.5, 52.5, 13.4, 13.4, 800, 600,
         "we got 0.000000 meters GPX, choose maximum zoom level (18)\n", 18},
        {-60, 70, -170, 170, 100, 100,
         "calculated maximum zoom to fit width:  -2\n"
         "calculated maximum zoom to fit height: 0\n"
         "calculated minimum zoom: -2\n"
         "zoom is too low, choose 0",
         0},
        {10, 11, -179.5, 179.5, 800, 600,
         "calculated maximum zoom to fit width:  1\n"
         "calculated maximum zoom to fit height: 9\n"
         "calculated minimum zoom: 1\n",
         1},
        // A provider's limit, below and above 18.
        {0, 0.0001, 0, 0.0001, 800, 600,
         "we got 15.742953 meters GPX, choose maximum zoom level (17)\n", 17, 17},
        {52.5, 52.5002, 13.4, 13.4003, 800, 600,
         "calculated maximum zoom to fit width:  21\n"
         "calculated maximum zoom to fit height: 21\n"
         "calculated minimum zoom: 21\n"
         "zoom is too high, choose 20\n",
         20, 20},
        {52.50, 52.53, 13.35, 13.42, 800, 600,
         "calculated maximum zoom to fit width:  13\n"
         "calculated maximum zoom to fit height: 14\n"
         "calculated minimum zoom: 13\n"
         "zoom is too high, choose 12\n",
         12, 12},
    };
    for (const Case& c : cases) {
        const zoom_choice z =
            choose_zoom({c.min_lat, c.max_lat, c.min_lon, c.max_lon}, c.width, c.height, c.limit);
        EXPECT_EQ(zoom_messages(z), c.messages);
        EXPECT_EQ(z.zoom, c.zoom);
    }
}

TEST(Zoom, BoundsThatAreNotFiniteSaturate) {
    // All points on one meridian: the height bound alone decides.
    zoom_choice z = choose_zoom({52.0, 52.1, 13.4, 13.4}, 800, 600);
    EXPECT_EQ(z.width_bound, INT_MAX);
    EXPECT_EQ(z.zoom, z.height_bound);
    // On one parallel: the width bound decides.
    z = choose_zoom({52.0, 52.0, 13.4, 13.5}, 800, 600);
    EXPECT_EQ(z.height_bound, INT_MAX);
    EXPECT_EQ(z.zoom, z.width_bound);
    // Zero, negative and huge usable areas, and NaN or infinite bounds.
    const double boxes[][4] = {{52, 53, 13, 14},    {nan, 53, 13, 14},    {-inf, inf, 13, 14},
                               {52, 53, -inf, inf}, {-90, 90, -180, 180}, {200, 300, 500, 900}};
    const int sizes[][2] = {{0, 0},
                            {-5, 600},
                            {800, -1073741824},
                            {1073741823, 1073741823},
                            {-1073741824, -1073741824}};
    for (const auto& b : boxes) {
        for (const auto& s : sizes) {
            const zoom_choice c = choose_zoom({b[0], b[1], b[2], b[3]}, s[0], s[1]);
            EXPECT_GE(c.zoom, 0);
            EXPECT_LE(c.zoom, max_zoom);
        }
    }
    EXPECT_EQ(choose_zoom({52, 53, 13, 14}, 0, 600).width_bound, INT_MIN);
}

TEST(Layout, WorkedExampleAtZoom13) {
    const canvas_layout l = lay_out_canvas(13, {52.50, 52.53, 13.35, 13.42}, 800, 600);
    EXPECT_EQ(layout_messages(l),
              "gpx height: 287.177077\n"
              "gpx width:  407.779556\n"
              "canvas top:    687519.662458\n"
              "canvas bottom: 688119.662458\n"
              "canvas left:   1126149.276444\n"
              "canvas right:  1126949.276444\n");
    EXPECT_EQ(l.tiles.first_column, 4399);
    EXPECT_EQ(l.tiles.last_column, 4402);
    EXPECT_EQ(l.tiles.first_row, 2685);
    EXPECT_EQ(l.tiles.last_row, 2687);
    EXPECT_EQ(l.last_tile_index, 8191);
}

TEST(Layout, ReachWidensTheBoxAndCentresTheDrawing) {
    // The pins stand above their points: the canvas moves up by half the
    // difference of top and bottom, right by half that of right and left.
    const drawing_reach pins{.left = 13, .right = 33, .top = 37, .bottom = 5};
    const canvas_layout l = lay_out_canvas(13, {52.50, 52.53, 13.35, 13.42}, 800, 600, pins);
    EXPECT_EQ(layout_messages(l),
              "gpx height: 287.177077\n"
              "gpx width:  407.779556\n"
              "canvas top:    687503.662458\n"
              "canvas bottom: 688103.662458\n"
              "canvas left:   1126159.276444\n"
              "canvas right:  1126959.276444\n");
    const drawing_reach line{3, 3, 3, 3};
    const drawing_reach both = widest(pins, line);
    EXPECT_EQ(both.left, 13);
    EXPECT_EQ(both.bottom, 5);
    EXPECT_EQ(widest(line, drawing_reach{1, 4, 1, 1}).right, 4);
}

TEST(Zoom, WithinMarginsTheReachCounts) {
    const drawing_reach pins{.left = 13, .right = 33, .top = 37, .bottom = 5};
    struct Case {
        double min_lat, max_lat, min_lon, max_lon;
        int width, height;
        int width_bound, zoom;
        bool short_track, fits;
    } cases[] = {
        // 800x600 less 40 on every side; 720-46 pixels for the width.
        {52.50, 52.53, 13.35, 13.42, 720, 520, 13, 13, false, true},
        // Nothing is left beside the reach: the lowest bound, zoom 0, no fit.
        {52.50, 52.53, 13.35, 13.42, 20, 20, INT_MIN, 0, false, false},
        // A short track keeps zoom 18 where its pins fit there...
        {0, 0.0001, 0, 0.0001, 80, 80, 0, 18, true, true},
        // ...and is lowered where they do not (18.6 + 46 pixels > 60).
        {0, 0.0001, 0, 0.0001, 60, 80, 17, 17, false, true},
        {0, 0.0001, 0, 0.0001, 40, 80, INT_MIN, 0, false, false},
    };
    for (const Case& c : cases) {
        const zoom_choice z = choose_zoom_within({c.min_lat, c.max_lat, c.min_lon, c.max_lon},
                                                 c.width, c.height, pins);
        EXPECT_EQ(z.zoom, c.zoom) << c.width;
        EXPECT_EQ(z.short_track, c.short_track) << c.width;
        EXPECT_EQ(z.fits, c.fits) << c.width;
        if (!c.short_track) {
            EXPECT_EQ(z.width_bound, c.width_bound) << c.width;
        }
    }
}

TEST(Layout, TileIndexAndLastTile) {
    EXPECT_EQ(tile_index(-100.0), 0);
    EXPECT_EQ(tile_index(-300.0), -1);
    EXPECT_EQ(tile_index(1024.0), 4);
    EXPECT_EQ(tile_index(1023.9), 3);
    EXPECT_EQ(tile_index(nan), INT_MIN);
    EXPECT_EQ(tile_index(inf), INT_MAX);
    EXPECT_EQ(lay_out_canvas(0, {1, 2, 1, 2}, 800, 600).last_tile_index, 0);
    EXPECT_EQ(lay_out_canvas(18, {1, 2, 1, 2}, 800, 600).last_tile_index, 262143);
}

TEST(Layout, TileGridForScaleAndTileSize) {
    const canvas_layout l = lay_out_canvas(13, {52.50, 52.53, 13.35, 13.42}, 800, 600);
    const canvas_layout top = lay_out_canvas(18, {52.50, 52.5001, 13.35, 13.3501}, 800, 600);
    const canvas_layout world = lay_out_canvas(0, {-60, 70, -170, 170}, 800, 600);
    struct row {
        const canvas_layout& layout;
        int scale, provider_side;
        bool retina;
        int zoom;
        long expected_side, side;
        std::string retina_text;
        tile_range tiles;
    };
    const row rows[] = {
        // Scale 1, 256: the layout's own tiles.
        {l, 1, 256, false, 13, 256, 256, "", {4399, 4402, 2685, 2687}},
        {l, 1, 256, true, 13, 256, 256, "", {4399, 4402, 2685, 2687}},
        {l, 2, 256, true, 13, 512, 512, "@2x", {4399, 4402, 2685, 2687}},
        {l, 4, 256, true, 13, 1024, 1024, "@4x", {4399, 4402, 2685, 2687}},
        // Deeper zooms: one for 2, two for 3 (256-pixel tiles shrunk to 192) and 4.
        {l, 2, 256, false, 14, 256, 256, "", {8798, 8804, 5371, 5375}},
        {l, 3, 256, false, 15, 256, 192, "", {17596, 17608, 10742, 10751}},
        {l, 4, 256, false, 15, 256, 256, "", {17596, 17608, 10742, 10751}},
        // 512-pixel tiles one level up; at scale 2 the layout's zoom.
        {l, 1, 512, false, 12, 512, 512, "", {2199, 2201, 1342, 1343}},
        {l, 2, 512, false, 13, 512, 512, "", {4399, 4402, 2685, 2687}},
        {l, 3, 512, false, 14, 512, 384, "", {8798, 8804, 5371, 5375}},
        {l, 2, 512, true, 12, 1024, 1024, "@2x", {2199, 2201, 1342, 1343}},
        // No zoom past 18, none above 0: tiles enlarged or shrunk instead.
        {top, 2, 256, false, 18, 256, 512, "", {}},
        {world, 1, 512, false, 0, 512, 256, "", {}},
    };
    for (const row& r : rows) {
        const tile_grid g = plan_tile_grid(r.layout, r.scale, r.provider_side, r.retina);
        SCOPED_TRACE(testing::Message() << r.scale << " " << r.provider_side << " " << r.retina);
        EXPECT_EQ(g.zoom, r.zoom);
        EXPECT_EQ(g.expected_side, r.expected_side);
        EXPECT_EQ(g.side, r.side);
        EXPECT_EQ(std::string(g.retina), r.retina_text);
        EXPECT_EQ(g.last_tile_index, (1 << r.zoom) - 1);
        EXPECT_DOUBLE_EQ(g.origin_left, r.layout.canvas_left * r.scale);
        if (&r.layout == &l) {
            EXPECT_EQ(g.tiles.first_column, r.tiles.first_column);
            EXPECT_EQ(g.tiles.last_column, r.tiles.last_column);
            EXPECT_EQ(g.tiles.first_row, r.tiles.first_row);
            EXPECT_EQ(g.tiles.last_row, r.tiles.last_row);
        }
    }
}

TEST(Layout, CanvasHasTheRequestedSize) {
    const canvas_layout l = lay_out_canvas(5, {-60, 70, -170, 170}, 1000, 700);
    EXPECT_NEAR(l.canvas_right - l.canvas_left, 1000, 1e-6);
    EXPECT_NEAR(l.canvas_bottom - l.canvas_top, 700, 1e-6);
    // The track is larger than the picture: the edges lie inside the box.
    EXPECT_GT(l.canvas_left, pixel_x(5, -170));
}

// Worked by hand: three steps of 0.001 degrees on the equator (111.3 m each), climbing
// 50, falling 30 (then 2, below the threshold), climbing 82; the last step, 100 s long, is a pause.
TEST(RideStory, FiguresOfAWorkedRide) {
    const double e[] = {100, 150, 120, 118, 200};
    const double t[] = {0, 20, 40, 50, 150};
    track_segment s;
    for (int i = 0; i < 5; ++i)
        s.push_back({0, 0.001 * (i < 3 ? i : i - 1), t[i], float(e[i]), no_value});
    const ride_figures f = ride_figures_of({{s}, {{}}});
    EXPECT_EQ(figures_line(f, unit_system::metric),
              "0.3 km   ascent 130 m   descent 30 m   moving 0:00:40   highest 200 m");
    EXPECT_EQ(figures_line(f, unit_system::imperial),
              "0.2 mi   ascent 427 ft   descent 98 ft   moving 0:00:40   highest 656 ft");
    EXPECT_EQ(grouped(1204), "1,204");
    const measured_ride grade = measure_ride({{s}}, measure::grade, unit_system::metric);
    EXPECT_TRUE(grade.diverging);
    EXPECT_EQ(grade.low, -grade.high);
}

}  // namespace
}  // namespace plotr
