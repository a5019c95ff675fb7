#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <map>

#include "common/failure.h"
#include "common/text.h"
#include "tiles/curl_commands.h"
#include "tiles/provider.h"
#include "tiles/tile_source.h"
#include "tiles/transfer.h"

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

TEST(CacheFolderName, TheHostAloneIsReadable) {
    const std::string name =
        cache_folder_name("https://alice:s3cr3t@{s}.tile.example.org:8443/{z}/{x}/{y}.png?key=K");
    EXPECT_TRUE(name.starts_with("tile.example.org-")) << name;
    EXPECT_EQ(name.size(), std::string("tile.example.org-").size() + 16) << name;
    EXPECT_TRUE(
        cache_folder_name("http://127.0.0.1:8080/{z}/{x}/{y}.png").starts_with("127.0.0.1-"));
    // Every other part of the template still tells folders apart.
    EXPECT_NE(cache_folder_name("http://h/{z}/{x}/{y}.png?key=1"),
              cache_folder_name("http://h/{z}/{x}/{y}.png?key=2"));
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
                               "/curl.conf 2> " + dir + "/curl.out");
    EXPECT_EQ(console.stdout_text,
              "downloading tile u\"\\/1/0/0\ndownloading tile u\"\\/1/0/1\n"
              "downloading tile u\"\\/1/1/0\ndownloading tile u\"\\/1/1/1\n"
              "removing temporary directory " +
                  dir + "\n");
    EXPECT_EQ(console.stderr_text, quote_escaped(commands[0]) + " failed with exit code 22\n");
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

TEST(Providers, EveryBuiltInEntryIsComplete) {
    const std::vector<Provider> providers = read_provider_file(PLOTR_SHARE_DIR "/providers");
    ASSERT_EQ(providers.size(), 11u);
    std::ifstream in(PLOTR_SHARE_DIR "/providers");
    const std::string text(std::istreambuf_iterator<char>(in), {});
    const std::string list = provider_list(providers);
    for (const Provider& p : providers) {
        EXPECT_TRUE(p.url.starts_with("https://")) << p.name;
        EXPECT_FALSE(p.title.empty()) << p.name;
        EXPECT_FALSE(p.attribution.empty()) << p.name;
        EXPECT_EQ(p.url.find("{apikey}") != std::string::npos, !p.key_env.empty()) << p.name;
        // The policy's figures are written out, not left to the defaults.
        const auto entry = text.find("[" + p.name + "]");
        const std::string body = text.substr(entry, text.find("\n[", entry + 1) - entry);
        EXPECT_NE(body.find("\nmax_zoom = "), std::string::npos) << p.name;
        EXPECT_NE(body.find("\nmax_parallel = "), std::string::npos) << p.name;
        EXPECT_EQ(body.find("\nretina = 1") == std::string::npos, has_retina_placeholder(p.url))
            << p.name;
        EXPECT_NE(("\n" + list).find("\n" + p.name + " "), std::string::npos) << p.name;
        // "{r}" is left for -scale to fill.
        EXPECT_EQ(provider_template(p).find("{r}"), p.url.find("{r}") == std::string::npos
                                                        ? std::string::npos
                                                        : provider_template(p).find("{r}"));
    }
    EXPECT_EQ(provider_template(providers[1]), "https://a.tile.opentopomap.org/{z}/{x}/{y}.png");
}

TEST(Providers, MalformedFiles) {
    const std::pair<const char*, const char*> cases[] = {
        {"[a]\nurl = u\ntitel = x\n", "line 3: unknown key `titel'"},
        {"[a]\nurl = u\njust words\n", "line 3: neither [name] nor key = value"},
        {"# c\n\n[a]\ntitle = t\n[b]\nurl = u\n", "line 3: the entry [a] has no url"},
        {"[a]\ntitle = t\n", "line 1: the entry [a] has no url"},
        {"url = u\n", "line 1: key = value before the first [name]"},
        {"[a]\nurl = u\nmax_zoom = 23\n", "line 3: max_zoom is a whole number from 0 to 22"},
        {"[a]\nurl = u\nmax_zoom = -1\n", "line 3: max_zoom is a whole number from 0 to 22"},
        {"[a]\nurl = u\nmax_zoom = 1x\n", "line 3: max_zoom is a whole number from 0 to 22"},
        {"[a]\nurl = u\ntile_size = 300\n", "line 3: tile_size is 256 or 512"},
        {"[a]\nurl = u\nmax_parallel = 0\n", "line 3: max_parallel is a whole number from 1 to 64"},
        {"[a]\nurl = u\nmax_parallel = 65\n",
         "line 3: max_parallel is a whole number from 1 to 64"},
        {"[a]\nurl = u\nurl = v\n", "line 3: a second url"},
        {"[a]\nurl = u\n[a]\nurl = v\n", "line 3: a second entry [a]"},
        {"[A b]\nurl = u\n", "line 1: an entry opens with [name] (a-z 0-9 - _ .)"},
        {"[a]\nurl = u\nkey_env = A-B\n", "line 3: key_env is the name of an environment variable"},
        {"[a]\nurl = u\nretina = 5\n", "line 3: retina is a whole number from 1 to 4"},
    };
    for (const auto& [text, what] : cases) {
        try {
            parse_providers(text);
            ADD_FAILURE() << text;
        } catch (const Provider_file_error& error) {
            EXPECT_EQ(std::string(error.what()), what) << text;
        }
    }
    const Provider p = parse_providers("\xEF\xBB\xBF[x]\r\n url=u \r\nsubdomains = b  c\n").front();
    EXPECT_EQ(p.url, "u");
    EXPECT_EQ(p.subdomains, (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(p.max_zoom, 18);
    EXPECT_EQ(p.max_parallel, 2);
}

TEST(Providers, KeysFromTheEnvironment) {
    Provider p = parse_providers("[k]\nurl = u?k={apikey}\nkey_env = K\n").front();
    const auto none = [](const char*) -> const char* { return nullptr; };
    const auto empty = [](const char*) -> const char* { return ""; };
    const auto some = [](const char* name) -> const char* {
        return std::string(name) == "K" ? "s3cr3t" : nullptr;
    };
    for (const auto getenv : {+none, +empty}) {
        try {
            provider_manners(p, p.url, std::nullopt, getenv);
            ADD_FAILURE();
        } catch (const Fatal_error& error) {
            EXPECT_EQ(std::string(error.what()),
                      "Failure(\"the provider k needs an API key in the environment variable K\")");
        }
    }
    const Manners manners = provider_manners(p, p.url, "ua", +some);
    EXPECT_EQ(manners.api_key, "s3cr3t");
    EXPECT_EQ(manners.user_agent, "ua");
    EXPECT_TRUE(manners.polite);
    // A -url without the key asks for none; 512-pixel tiles are taken too.
    EXPECT_EQ(provider_manners(p, "v", std::nullopt, +none).api_key, "");
    p.tile_size = 512;
    EXPECT_NO_THROW(provider_manners(p, "v", std::nullopt, +none));
}

TEST(Retries, BusyAnswersAndTimeouts) {
    const std::time_t now = 1420070400;  // Thu, 01 Jan 2015 00:00:00 GMT
    Retries busy;
    for (const int wait : {1, 2, 4, 8}) {
        EXPECT_EQ(retry_wait({22, 503, ""}, busy, now), wait);
    }
    EXPECT_EQ(retry_wait({22, 503, ""}, busy, now), std::nullopt);
    const std::tuple<Transfer_outcome, std::optional<int>> once[] = {
        {{22, 429, "30"}, 30},
        {{22, 429, "600"}, 60},
        {{22, 429, "99999999999999999999"}, 60},
        {{22, 429, "0"}, 1},
        {{22, 502, "Thu, 01 Jan 2015 00:00:20 GMT"}, 20},
        {{22, 502, "Thursday, 01-Jan-15 00:00:30 GMT"}, 30},
        {{22, 503, "Thu Jan  1 00:00:40 2015"}, 40},
        {{22, 504, "Wed, 31 Dec 2014 00:00:00 GMT"}, 1},
        {{22, 500, "soon"}, 1},
        {{22, 404, "5"}, std::nullopt},
        {{22, 403, ""}, std::nullopt},
        {{7, 0, ""}, std::nullopt},
        {{47, 302, ""}, std::nullopt},
    };
    for (const auto& [outcome, wait] : once) {
        Retries fresh;
        EXPECT_EQ(retry_wait(outcome, fresh, now), wait) << outcome.http << outcome.retry_after;
    }
    Retries timeouts;
    EXPECT_EQ(retry_wait({28, 200, ""}, timeouts, now), 1);
    EXPECT_EQ(retry_wait({28, 0, ""}, timeouts, now), std::nullopt);

    EXPECT_EQ(http_status_line({22, 429, ""}, "u{apikey}"),
              "plotr: the server answered 429 Too Many Requests for u{apikey}\n");
    EXPECT_EQ(http_status_line({22, 418, ""}, "u"), "plotr: the server answered 418 for u\n");
    EXPECT_EQ(http_status_line({47, 302, ""}, "u"), "plotr: the server answered 302 Found for u\n");
    EXPECT_EQ(http_status_line({28, 200, ""}, "u"), "");
    EXPECT_EQ(http_status_line({7, 302, ""}, "u"), "");
}

// Transfers through their seams: a fake shell that answers from a script, a
// fake clock that a watch sees move, files in memory.
struct Fake_transfers {
    std::vector<std::string> commands;
    std::vector<int> waits;
    std::map<std::string, std::string> files;
    double clock = 0;
    // Per command: what it leaves in its status or report file, and its code;
    // with `watched`, the watch is asked as the fake clock moves 10 s a step.
    struct Answer {
        std::string report;
        int code;
        bool watched = false;
    };
    std::vector<Answer> answers;
    std::vector<std::pair<std::size_t, Transfer_failure>> failures;
    std::vector<std::size_t> done;

    void fetch(const Manners& manners, int parallel, const std::vector<Transfer_request>& tiles) {
        Transfers transfers(manners, parallel, {},
                            {.run = [this](const std::string& line, const Watch& watch) {
                                 commands.push_back(line);
                                 const Answer a = answers.at(commands.size() - 1);
                                 const auto to = line.rfind("> ");
                                 if (to != std::string::npos) files[line.substr(to + 2)] = a.report;
                                 for (int step = 0; a.watched && step < 100; ++step) {
                                     clock += 10;
                                     if (!watch()) return 255;
                                 }
                                 return a.code;
                             },
                             .pause = [this](int s) { waits.push_back(s); },
                             .now = [] { return std::time_t{1420070400}; },
                             .clock = [this] { return clock; },
                             .read = [this](const std::string& f) { return files[f]; },
                             .write = [this](const std::string& f,
                                             const std::string& t) { files[f] = t; },
                             .size = [](const std::string&) { return 7LL; }});
        for (const Transfer_request& tile : tiles) {
            // One tile a call, as the tile source asks without a batch.
            const std::vector<Transfer_request> asked =
                parallel > 1 ? tiles : std::vector<Transfer_request>{tile};
            const std::size_t base = parallel > 1 ? 0 : &tile - tiles.data();
            transfers.fetch(
                asked, "/w", [&](std::size_t i) { done.push_back(base + i); },
                [&](std::size_t i, const Transfer_failure& f) { failures.emplace_back(base + i, f); });
            if (parallel > 1) break;
        }
    }
};

const Manners polite{.user_agent = "ua", .polite = true, .api_key = "s3cr3t"};

TEST(Transfers, PoliteRetriesKeepTheKeyOffCommandLinesAndNameTheStatus) {
    Fake_transfers t;
    t.answers.assign(5, {"429 7\n", 22});
    t.fetch(polite, 1, {{"https://h/3/1/2?k={apikey}", "/w/2.png", {}}});
    const std::string curl = polite_curl_command("/w/2.png.conf", "/w/2.png", "/w/2.png.status");
    EXPECT_EQ(t.commands, std::vector<std::string>(5, curl));
    EXPECT_TRUE(curl.find("--connect-timeout 15 --speed-limit 1 --speed-time 30 --max-time 60 ") !=
                std::string::npos);
    EXPECT_EQ(t.waits, (std::vector<int>{7, 7, 7, 8}));
    EXPECT_EQ(t.files["/w/2.png.conf"],
              "globoff\nuser-agent = \"ua\"\nurl = \"https://h/3/1/2?k=s3cr3t\"\n");
    ASSERT_EQ(t.failures.size(), 1u);
    EXPECT_EQ(t.failures[0].second.detail,
              "plotr: the server answered 429 Too Many Requests for https://h/3/1/2?k={apikey}\n");
}

// A provider that times out twice is down: the tiles after it are not asked.
TEST(Transfers, TimeoutsTakeTheProviderDown) {
    const std::vector<Transfer_request> tiles = {{"u0", "/w/0", {}}, {"u1", "/w/1", {}}};
    Fake_transfers serial;
    serial.answers.assign(2, {"0 \n", 28});
    serial.fetch(polite, 1, tiles);
    EXPECT_EQ(serial.commands.size(), 2u);
    EXPECT_EQ(serial.waits, std::vector<int>{1});
    ASSERT_EQ(serial.failures.size(), 2u);
    EXPECT_EQ(serial.failures[1].first, 1u);
    EXPECT_EQ(serial.failures[1].second.detail, "plotr: the provider did not answer for u0\n");
    // In a batch the first timeout stops it: the rest waits for the retry.
    Fake_transfers batch;
    batch.answers = {{"28 /w/0 0 \n", 0, true}, {"0 /w/1 200 \n28 /w/0 200 \n", 28}};
    batch.fetch(polite, 2, tiles);
    EXPECT_EQ(batch.commands.size(), 2u);
    EXPECT_EQ(batch.done, std::vector<std::size_t>{1});
    ASSERT_EQ(batch.failures.size(), 1u);
    EXPECT_EQ(batch.failures[0].second.command, batch.commands[1]);
    EXPECT_EQ(batch.failures[0].second.detail, "plotr: the provider answered too slowly for u0\n");
}

// Without a provider's manners: no retry; a download that moves no byte for
// 60 s is stopped, and the server is then down; a signal is an interruption.
TEST(Transfers, PlainDownloadsStallsAndInterruptions) {
    const std::vector<Transfer_request> tiles = {{"u0", "/w/0", {}}, {"u1", "/w/1", {}}};
    Fake_transfers refused;
    refused.answers = {{"", 22}, {"", 0}};
    refused.fetch({}, 1, tiles);
    EXPECT_EQ(refused.commands, (std::vector<std::string>{"curl -f -s u0 -o /w/0",
                                                          "curl -f -s u1 -o /w/1"}));
    ASSERT_EQ(refused.failures.size(), 1u);
    EXPECT_EQ(refused.failures[0].second.detail, "");
    EXPECT_EQ(refused.failures[0].second.reason, "the server answered with an HTTP error");
    Fake_transfers stalled;
    stalled.answers = {{"", 0, true}};
    stalled.fetch({}, 1, tiles);
    EXPECT_EQ(stalled.clock, 60);
    ASSERT_EQ(stalled.failures.size(), 2u);
    EXPECT_EQ(stalled.failures[1].second.code, 255);
    EXPECT_EQ(stalled.failures[1].second.detail,
              "plotr: the server sent nothing for 60 s; the download of u0 was stopped\n");
    Fake_transfers interrupted;
    interrupted.answers = {{"", 255}, {"", 0}};
    interrupted.fetch({}, 1, tiles);
    EXPECT_TRUE(interrupted.failures.at(0).second.interrupted);
}

TEST(Transfers, RetryAfterInEveryHttpDateForm) {
    for (const char* date : {"Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT",
                             "Sun Nov  6 08:49:37 1994"}) {
        EXPECT_EQ(parse_http_date(date), std::time_t{784111777}) << date;
    }
    for (const char* wrong : {"Sun, 06 Nov 1994 08:49:37", "Sun, 06 Foo 1994 08:49:37 GMT", "7"}) {
        EXPECT_EQ(parse_http_date(wrong), std::nullopt) << wrong;
    }
}

}  // namespace
}  // namespace plotr
