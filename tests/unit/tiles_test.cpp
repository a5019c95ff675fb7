#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <iterator>

#include "common/failure.h"
#include "common/text.h"
#include "tiles/curl_commands.h"
#include "tiles/tile_source.h"

namespace plotr {
namespace {

TEST(TileUrl, FillsTheFirstOccurrenceOfEachPlaceholder) {
    EXPECT_EQ(tile_url("http://{s}.x.org/{z}/{x}/{y}.png", 13, 4399, 2685),
              "http://a.x.org/13/4399/2685.png");
    EXPECT_EQ(tile_url("/{z}/{x}/{y}/{z}", 5, 10, 7), "/5/10/7/{z}");
    EXPECT_EQ(tile_url("file:///tiles/one.png", 5, 10, 7), "file:///tiles/one.png");
    // A number put in first is not searched again for placeholders.
    EXPECT_EQ(tile_url("{y}{x}{z}{s}", 1, 2, 3), "321a");
}

TEST(CurlCommand, TheUrlReachesCurlAsAUrl) {
    EXPECT_EQ(curl_command("http://h/1/2/3.png", "/t/1/2/3.png"),
              "curl -f -s http://h/1/2/3.png -o /t/1/2/3.png");
    // Globbing would fetch "tile1" and "tile2"; a leading "-" would be an option.
    EXPECT_EQ(curl_command("http://h/tile[1-2]/{z}", "/t/f"),
              "curl -f -s -g 'http://h/tile[1-2]/{z}' -o /t/f");
    EXPECT_EQ(curl_command("-K/etc/passwd", "/t/f"), "curl -f -s --url -K/etc/passwd -o /t/f");
    EXPECT_EQ(curl_command("-{a,b}", "/t/f"), "curl -f -s -g --url '-{a,b}' -o /t/f");
    EXPECT_EQ(curl_command("u", "/t/f", 1420070400),
              "curl -f -s --time-cond 'Thu, 01 Jan 2015 00:00:00 GMT' u -o /t/f");
}

TEST(FetchTiles, ABatchReportsItsFirstFailedTileInDownloadOrder) {
    char dir_template[] = "/tmp/plotr-tiles-test-XXXXXX";
    const std::string dir = mkdtemp(dir_template);
    Recording_console console;
    std::vector<std::string> commands;
    std::string config;
    const auto file = [&](int x, int y) { return format("%s/1/%d/%d.png", dir.c_str(), x, y); };
    const Shell shell(
        console,
        [&](const std::string& line) {
            commands.push_back(line);
            if (line.starts_with("rm ")) {
                return system_exit_code(line);
            }
            std::ifstream in(dir + "/curl.conf");
            config.assign(std::istreambuf_iterator<char>(in), {});
            // Finished out of order; (1, 0) never reported.
            std::ofstream(dir + "/curl.out")
                << "6 " << file(1, 1) << "\n0 " << file(0, 0) << "\n22 " << file(0, 1) << "\n";
            return 22;
        },
        [&] { return dir; });
    Tile_source source({.temp_dir = [&] { return dir; },
                        .zoom = 1,
                        .url_template = "u\"\\/{z}/{x}/{y}",
                        .last_tile_index = 1,
                        .shell = shell,
                        .console = console,
                        .parallel = 3},
                       {0, 1, 0, 1});
    EXPECT_THROW(source.fetch(), Early_exit);
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0], "curl --parallel --parallel-max 3 --no-progress-meter -K " + dir +
                               "/curl.conf > " + dir + "/curl.out");
    EXPECT_EQ(console.stdout_text,
              "downloading tile u\"\\/1/0/0\ndownloading tile u\"\\/1/0/1\n"
              "downloading tile u\"\\/1/1/0\ndownloading tile u\"\\/1/1/1\n"
              "removing temporary directory " +
                  dir + "\n");
    EXPECT_EQ(console.stderr_text, quote_escaped(curl_command("u\"\\/1/0/1", file(0, 1))) +
                                       " failed with exit code 22\n");
    EXPECT_NE(config.find("globoff\n"), std::string::npos);
    EXPECT_NE(config.find("url = \"u\\\"\\\\/1/1/0\"\noutput = \"" + file(1, 0) + "\"\n"),
              std::string::npos)
        << config;
}

struct Fetch {
    Recording_console console;
    std::vector<std::string> commands;
    int dirs_asked = 0;

    std::vector<tile_entry> operator()(int zoom, tile_range range) {
        const Shell shell(
            console,
            [this](const std::string& line) {
                commands.push_back(line);
                return 0;
            },
            [] { return std::string("/tmp/plotr-1"); });
        Tile_source source({[this] {
                                ++dirs_asked;
                                return std::string("/tmp/plotr-1");
                            },
                            zoom, "u/{z}/{x}/{y}", (1 << zoom) - 1, shell, console},
                           range);
        return source.fetch();
    }
};

TEST(FetchTiles, DownloadsLeftToRightListsRightToLeft) {
    Fetch fetch;
    const auto tiles = fetch(12, {2200, 2202, 1343, 1344});
    const std::vector<std::pair<int, int>> listed = {{2202, 1343}, {2202, 1344}, {2201, 1343},
                                                     {2201, 1344}, {2200, 1343}, {2200, 1344}};
    ASSERT_EQ(tiles.size(), listed.size());
    for (std::size_t i = 0; i < tiles.size(); ++i) {
        EXPECT_EQ(std::make_pair(tiles[i].x, tiles[i].y), listed[i]);
        EXPECT_EQ(tiles[i].file, "/tmp/plotr-1/12/" + std::to_string(listed[i].first) + "/" +
                                     std::to_string(listed[i].second) + ".png");
    }
    EXPECT_EQ(fetch.dirs_asked, 1);
    ASSERT_EQ(fetch.commands.size(), 12u);
    EXPECT_EQ(fetch.commands[0], "mkdir -p /tmp/plotr-1/12/2200");
    EXPECT_EQ(fetch.commands[1], "curl -f -s u/12/2200/1343 -o /tmp/plotr-1/12/2200/1343.png");
    EXPECT_EQ(fetch.commands[2], "mkdir -p /tmp/plotr-1/12/2200");
    EXPECT_EQ(fetch.commands[11], "curl -f -s u/12/2202/1344 -o /tmp/plotr-1/12/2202/1344.png");
    EXPECT_TRUE(fetch.console.stdout_text.starts_with(
        "downloading tile u/12/2200/1343\ndownloading tile u/12/2200/1344\n"));
}

TEST(FetchTiles, OnlyTilesInsideTheWorld) {
    Fetch zoom0;
    EXPECT_EQ(zoom0(0, {-1, 1, -2, 3}),
              (std::vector<tile_entry>{{0, 0, "/tmp/plotr-1/0/0/0.png"}}));
    Fetch clamped;
    EXPECT_EQ(clamped(2, {2, 9, -5, 0}).size(), 2u);
    Fetch outside;
    EXPECT_TRUE(outside(3, {0, 2, -9, -1}).empty());
    EXPECT_TRUE(outside.commands.empty());
    EXPECT_EQ(outside.dirs_asked, 0);
}

}  // namespace
}  // namespace plotr
