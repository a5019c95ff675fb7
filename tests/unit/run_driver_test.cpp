#include "cli/run_driver.h"

#include <gtest/gtest.h>

#include "cli/command_line.h"
#include "common/failure.h"
#include "geo/layout.h"
#include "geo/zoom.h"
#include "gpx/xmlm_shit.h"

namespace plotr {
namespace {

struct Run_result {
    int status;
    std::string failure;
    Recording_console console;
};

Run_result run(std::vector<std::string> arguments, std::string document) {
    arguments.insert(arguments.begin(), "plotr");
    xmlm_shit::String_source input(std::move(document));
    Run_result r{-1, "", {}};
    try {
        r.status = run_driver(arguments, r.console, input);
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

TEST(RunDriver, WorkedExampleUpToTheLayout) {
    Run_result r = run({}, two_points);
    EXPECT_EQ(r.status, 0);
    r.console.flush();
    // The numbers themselves are checked with the geometry; here, the order and the wiring.
    EXPECT_EQ(r.console.log,
              "parsing gpx file\n" +
                  zoom_messages(choose_zoom(52.50, 52.53, 13.35, 13.42, 800, 600)) +
                  layout_messages(lay_out_canvas(13, 52.50, 52.53, 13.35, 13.42, 800, 600)));
    EXPECT_NE(r.console.log.find("calculated minimum zoom: 13\n"), std::string::npos);
}

TEST(RunDriver, PaddingShrinksTheZoomAreaNotTheCanvas) {
    Run_result r = run({"-horizontal-padding", "400", "-vertical-padding", "300"}, two_points);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.console.stdout_text.find("calculated minimum zoom: 12\n"), std::string::npos);
    // Still an 800 x 600 canvas around the box.
    EXPECT_NE(r.console.stdout_text.find("gpx width:  203.889778\n"), std::string::npos);
}

TEST(RunDriver, FailuresComeAfterTheFlushedFirstLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "Xml_error(1, 1, \"no element found\")"},
        {"<gpx><trk><trkseg><trkpt lon='1'><bad></trkpt></trkseg></trk></gpx>", "Not_found"},
        {"<gpx><trk><trkseg><trkpt lat='x' lon='1'/></trkseg></trk></gpx>",
         "Failure(\"float_of_string\")"},
    };
    for (const auto& [document, failure] : cases) {
        Run_result r = run({}, document);
        EXPECT_EQ(r.failure, failure);
        // Visible before the failure line that main writes next.
        EXPECT_EQ(r.console.log, "parsing gpx file\n");
    }
    Run_result r = run({}, "<gpx><wpt lat='1' lon='2'/></gpx>");
    EXPECT_EQ(r.failure.rfind("Assert_failure(\"src/gpx/track.cpp\", ", 0), 0u) << r.failure;
}

TEST(RunDriver, HelpAndErrorsReadNoInput) {
    Run_result r = run({"-help"}, "not xml at all");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.console.stdout_text, usage_text());
    r = run({"-width", "12px"}, "not xml at all");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.console.stdout_text, "");
}

}  // namespace
}  // namespace plotr
