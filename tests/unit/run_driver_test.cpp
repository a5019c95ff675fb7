#include "cli/run_driver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "cli/command_line.h"
#include "common/failure.h"
#include "gpx/xmlm_shit.h"

namespace plotr {
namespace {

struct Run_result {
    int status;
    std::string failure;
    Recording_console console;
    std::vector<std::string> commands;
};

// Downloads fail as if the server answered 404, so no process but "rm" runs;
// the removal is real, as the temporary directory is.
Run_result run(std::vector<std::string> arguments, std::string document) {
    arguments.insert(arguments.begin(), "plotr");
    xmlm_shit::String_source input(std::move(document));
    Run_result r{-1, "", {}, {}};
    const System system = [&r](const std::string& line) {
        r.commands.push_back(line);
        if (line.starts_with("rm ")) {
            return system_exit_code(line + " 2>/dev/null");
        }
        return line.starts_with("curl ") ? 22 : 0;
    };
    try {
        r.status = run_driver(arguments, r.console, input, system);
    } catch (const Early_exit& exit) {
        r.status = exit.status;
    } catch (const Fatal_error& error) {
        r.failure = error.what();
    }
    return r;
}

const char* const two_points =
    "<gpx><trk><trkseg><trkpt lat='52.50' lon='13.35'/><trkpt lat='52.53' lon='13.42'/>"
    "</trkseg></trk></gpx>";

bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

TEST(RunDriver, FailedDownloadRemovesTheDirectory) {
    Run_result r = run({}, two_points);
    EXPECT_EQ(r.status, 1);
    ASSERT_EQ(r.commands.size(), 3u);
    const std::string mkdir = "mkdir -p /tmp/plotr-", column = "/13/4399";
    ASSERT_TRUE(r.commands[0].starts_with(mkdir) && r.commands[0].ends_with(column));
    const std::string dir = r.commands[0].substr(9, r.commands[0].size() - 9 - column.size());
    const std::string url = "http://a.tile.thunderforest.com/landscape/13/4399/2685.png";
    const std::string curl = "curl -f -s " + url + " -o " + dir + "/13/4399/2685.png";
    EXPECT_EQ(r.commands[1], curl);
    EXPECT_EQ(r.commands[2], "rm -r " + dir);
    EXPECT_FALSE(exists(dir));
    // The order a terminal shows, the numbers being the geometry's.
    EXPECT_EQ(r.console.log,
              "parsing gpx file\n"
              "calculated maximum zoom to fit width:  13\n"
              "calculated maximum zoom to fit height: 14\n"
              "calculated minimum zoom: 13\n"
              "gpx height: 287.177077\n"
              "gpx width:  407.779556\n"
              "canvas top:    687519.662458\n"
              "canvas bottom: 688119.662458\n"
              "canvas left:   1126149.276444\n"
              "canvas right:  1126949.276444\n"
              "downloading tile " +
                  url + "\n\"" + curl + "\" failed with exit code 22\n" +
                  "removing temporary directory " + dir + "\n");
}

TEST(RunDriver, PaddingShrinksTheZoomAreaNotTheCanvas) {
    Run_result r = run({"-horizontal-padding", "400", "-vertical-padding", "300"}, two_points);
    EXPECT_NE(r.console.stdout_text.find("calculated minimum zoom: 12\n"), std::string::npos);
    // Still an 800 x 600 canvas around the box.
    EXPECT_NE(r.console.stdout_text.find("gpx width:  203.889778\n"), std::string::npos);
}

TEST(RunDriver, PointsPastTheMapEdgeAreTakenAsTheEdge) {
    Run_result r = run({},
                       "<gpx><trk><trkseg><trkpt lat='90' lon='1'/><trkpt lat='89.9' "
                       "lon='1.01'/></trkseg></trk></gpx>");
    EXPECT_NE(r.console.stdout_text.find("gpx height: 0.000000\ngpx width:  466.033778\n"
                                         "canvas top:    -300.000000\n"),
              std::string::npos)
        << r.console.stdout_text;
    ASSERT_EQ(r.commands.size(), 3u);
    EXPECT_TRUE(r.commands[1].ends_with("/16/32949/0.png")) << r.commands[1];
}

TEST(RunDriver, FailuresComeAfterTheFlushedFirstLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "Xml_error(1, 1, \"no element found\")"},
        {"<gpx><trk><trkseg><trkpt lon='1'><bad></trkpt></trkseg></trk></gpx>", "Not_found"},
        {"<gpx><trk><trkseg><trkpt lat='x' lon='1'/></trkseg></trk></gpx>",
         "Failure(\"float_of_string\")"},
        {"<gpx><wpt lat='1' lon='2'/></gpx>",
         "Failure(\"no track or route points in the document (it holds 1 waypoint)\")"},
    };
    for (const auto& [document, failure] : cases) {
        Run_result r = run({}, document);
        EXPECT_EQ(r.failure, failure);
        // Visible before the failure line that main writes next.
        EXPECT_EQ(r.console.log, "parsing gpx file\n");
    }
}

TEST(RunDriver, HelpAndErrorsReadNoInput) {
    Run_result r = run({"-help"}, "not xml at all");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.console.stdout_text.starts_with(
        "plotr - GPX to PNG tool\nusage: plotr [OPTIONS] < /path/to/gpx/file.gpx\n"))
        << r.console.stdout_text;
    EXPECT_TRUE(r.console.stdout_text.ends_with("  --help  Display this list of options\n"))
        << r.console.stdout_text;
    r = run({"-width", "12px"}, "not xml at all");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.console.stdout_text, "");
}

}  // namespace
}  // namespace plotr
