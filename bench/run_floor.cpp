// The floor for a whole run: for the plan that plotr printed (zoom, canvas
// origin, tiles), the same shelled commands and the same MagickCore calls
// that plotr makes, with none of plotr's own code around them.
//
//   run_floor ZOOM LEFT TOP WIDTH HEIGHT PINS_DIR OUTPUT X,Y,URL... < track.gpx

#include <magick/MagickCore.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "expat_points.h"

namespace {

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "run_floor: %s\n", what.c_str());
    std::exit(2);
}

void shell(const std::string& command) {
    if (std::system(command.c_str()) != 0) die(command + " failed");
}

Image* read(const std::string& name, const char* size = nullptr) {
    ImageInfo* info = CloneImageInfo(nullptr);
    if (size) CloneString(&info->size, size);
    CopyMagickString(info->filename, name.c_str(), MagickPathExtent);
    ExceptionInfo* exception = AcquireExceptionInfo();
    Image* image = ReadImage(info, exception);
    if (!image || exception->severity != UndefinedException) die("cannot read " + name);
    DestroyExceptionInfo(exception);
    DestroyImageInfo(info);
    return image;
}

void paste(Image* canvas, const Image* image, long x, long y) {
    if (CompositeImage(canvas, OverCompositeOp, image, x, y) == MagickFalse) die("composite");
}

void draw(Image* canvas, const std::vector<std::pair<int, int>>& run) {
    std::string text = "polyline";
    char digits[16];
    for (const auto& [x, y] : run) {
        text += ' ';
        text.append(digits, std::to_chars(digits, digits + sizeof digits, x).ptr);
        text += ',';
        text.append(digits, std::to_chars(digits, digits + sizeof digits, y).ptr);
    }
    ImageInfo* info = CloneImageInfo(nullptr);
    DrawInfo* draw = CloneDrawInfo(info, nullptr);
    DestroyImageInfo(info);
    draw->fill.red = draw->fill.green = draw->fill.blue = 0;
    draw->fill.opacity = QuantumRange;
    draw->stroke.red = 17476;
    draw->stroke.green = 0;
    draw->stroke.blue = 65535;
    draw->stroke.opacity = 19661;
    draw->stroke_width = 4.0;
    draw->stroke_antialias = MagickTrue;
    draw->linecap = RoundCap;
    draw->linejoin = RoundJoin;
    draw->affine = AffineMatrix{1, 0, 0, 1, 0, 0};
    CloneString(&draw->primitive, text.c_str());
    if (DrawImage(canvas, draw) == MagickFalse) die("draw");
    DestroyDrawInfo(draw);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 8) die("usage: run_floor ZOOM LEFT TOP WIDTH HEIGHT PINS_DIR OUTPUT X,Y,URL...");
    const int zoom = std::atoi(argv[1]);
    const double left = std::strtod(argv[2], nullptr);
    const double top = std::strtod(argv[3], nullptr);
    const std::string size = std::string(argv[4]) + "x" + argv[5];
    const std::string pins = argv[6];
    const std::string output = argv[7];

    std::vector<bench::Point> points;
    if (const std::string error = bench::read_points(STDIN_FILENO, points); !error.empty()) {
        die(error);
    }
    MagickCoreGenesis(std::getenv("PWD"), MagickTrue);

    char dir[] = "/tmp/run-floor-XXXXXX";
    if (!mkdtemp(dir)) die("mkdtemp");
    struct Tile {
        long x, y;
        std::string file;
    };
    std::vector<Tile> tiles;
    for (int i = 8; i < argc; ++i) {
        char* end;
        const long x = std::strtol(argv[i], &end, 10);
        const long y = std::strtol(end + 1, &end, 10);
        const std::string column = std::string(dir) + "/" + std::to_string(zoom) + "/" + std::to_string(x);
        tiles.push_back({x, y, column + "/" + std::to_string(y) + ".png"});
        shell("mkdir -p " + column);
        shell("curl -f -s '" + std::string(end + 1) + "' -o " + tiles.back().file);
    }

    Image* canvas = read("xc:#FFFFFF", size.c_str());
    for (const Tile& tile : tiles) {
        Image* image = read("PNG:" + tile.file);
        paste(canvas, image, 256 * tile.x - static_cast<long>(std::floor(left)),
              256 * tile.y - static_cast<long>(std::floor(top)));
        DestroyImage(image);
    }
    shell(std::string("rm -r ") + dir);

    Image* start_pin = read(pins + "/pin-icon-start.png");
    Image* end_pin = read(pins + "/pin-icon-end.png");
    Image* shadow = read(pins + "/pin-shadow.png");
    const double world = 256.0 * std::pow(2.0, zoom);
    std::vector<std::pair<int, int>> canvas_points;
    canvas_points.reserve(points.size());
    for (const bench::Point& p : points) {
        const double lat = p.lat * M_PI / 180;
        const double x = (p.lon + 180) / 360 * world;
        const double y = (1 - std::log(std::tan(lat) + 1 / std::cos(lat)) / M_PI) / 2 * world;
        canvas_points.emplace_back(static_cast<int>(x - left), static_cast<int>(y - top));
    }
    // Runs of 400 points, each after the first starting on the last point of the one before.
    for (std::size_t first = 0; first + 1 < canvas_points.size() || first == 0; first += 400) {
        const std::size_t from = first == 0 ? 0 : first - 1;
        const std::size_t to = std::min(first + 400, canvas_points.size());
        draw(canvas, {canvas_points.begin() + from, canvas_points.begin() + to});
        if (to == canvas_points.size()) break;
    }
    for (const auto& [pin, point] : {std::pair{start_pin, canvas_points.front()},
                                     std::pair{end_pin, canvas_points.back()}}) {
        const long x = point.first - static_cast<long>(pin->columns) / 2;
        const long y = point.second - static_cast<long>(pin->rows) + 5;
        paste(canvas, pin, x, y);
        paste(canvas, shadow, x, y);
    }

    ImageInfo* info = CloneImageInfo(nullptr);
    CopyMagickString(canvas->filename, output.c_str(), MagickPathExtent);
    if (WriteImage(info, canvas) == MagickFalse) die("write");
    DestroyImageInfo(info);
    for (Image* image : {canvas, start_pin, end_pin, shadow}) DestroyImage(image);
    MagickCoreTerminus();
    return 0;
}
