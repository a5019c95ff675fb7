// Drawing only, in process: the track of a generated ride (bench/data/
// ride-N.gpx) projected at zoom 12 onto an 800 x 600 canvas centred on it,
// cut into runs as plotr cuts them, and stroked run by run. Two ways of
// building each run's polyline text are set side by side: plotr's, appended
// number by number, and re-formatting the whole text for every point, which
// is quadratic in the run's length.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "geo/projection.h"
#include "gpx/track.h"
#include "gpx/xmlm_shit.h"
#include "render/imaging.h"
#include "render/track_drawing.h"

namespace {

constexpr int zoom = 12;

std::vector<plotr::track_run> ride_runs(int points) {
    const std::string path = std::string(PLOTR_BENCH_DATA) + "/ride-" + std::to_string(points) + ".gpx";
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        throw std::runtime_error(path + " is missing: run bench/run.py once to generate it");
    }
    plotr::xmlm_shit::Fd_source input(fd);
    const plotr::track_list tracks = plotr::read_gpx(input);
    close(fd);
    const double left = (plotr::pixel_x(zoom, plotr::min_lon(tracks)) +
                         plotr::pixel_x(zoom, plotr::max_lon(tracks)) - 800) / 2;
    const double top = (plotr::pixel_y(zoom, plotr::max_lat(tracks)) +
                        plotr::pixel_y(zoom, plotr::min_lat(tracks)) - 600) / 2;
    std::vector<plotr::canvas_point> canvas_points;
    for (const plotr::track_point& p : tracks.at(0).at(0)) {
        canvas_points.push_back(plotr::project_point(zoom, left, top, p.lat, p.lon));
    }
    return plotr::split_track(canvas_points);
}

// Every step formats the text so far again, into a bounded buffer; runs of
// 401 points stay below its bound.
#pragma GCC diagnostic ignored "-Wformat-truncation"
std::string quadratic_primitive(std::span<const plotr::canvas_point> points) {
    char text[4096] = "polyline";
    char before[4096];
    for (const plotr::canvas_point& p : points) {
        std::memcpy(before, text, sizeof text);
        std::snprintf(text, sizeof text, "%s %ld,%ld", before, static_cast<long>(p.x),
                      static_cast<long>(p.y));
    }
    return text;
}

using Text_builder = std::string (*)(std::span<const plotr::canvas_point>);

void text_only(benchmark::State& state, Text_builder build) {
    const auto runs = ride_runs(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        for (const plotr::track_run& run : runs) {
            benchmark::DoNotOptimize(build(run));
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void draw(benchmark::State& state, Text_builder build) {
    const auto runs = ride_runs(static_cast<int>(state.range(0)));
    plotr::image_handle canvas = plotr::get_canvas(800, 600, "#FFFFFF");
    const plotr::color_quad color = plotr::track_color();
    for (auto _ : state) {
        for (const plotr::track_run& run : runs) {
            plotr::draw_primitive(canvas, build(run), color, 4.0, true, RoundJoin, RoundCap);
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void sizes(benchmark::internal::Benchmark* b) {
    b->Unit(benchmark::kMillisecond)->MinTime(1.0);
    for (const int points : {1000, 10000, 100000, 1000000}) {
        b->Arg(points);
    }
}

}  // namespace

BENCHMARK_CAPTURE(text_only, linear, plotr::polyline_primitive)->Apply(sizes);
BENCHMARK_CAPTURE(text_only, quadratic, quadratic_primitive)->Apply(sizes);
BENCHMARK_CAPTURE(draw, linear, plotr::polyline_primitive)->Apply(sizes);
BENCHMARK_CAPTURE(draw, quadratic, quadratic_primitive)->Apply(sizes);

BENCHMARK_MAIN();
