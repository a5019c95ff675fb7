#include "tiles/tiles.h"

#include <gtest/gtest.h>

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
        const download_context context{[this] {
                                           ++dirs_asked;
                                           return std::string("/tmp/plotr-1");
                                       },
                                       zoom,
                                       "u/{z}/{x}/{y}",
                                       (1 << zoom) - 1,
                                       shell,
                                       console};
        return fetch_tiles(context, range);
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
