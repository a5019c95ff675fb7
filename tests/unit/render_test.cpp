#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <limits>

#include "common/failure.h"
#include "own_temp_path.h"
#include "render/attribution.h"
#include "render/imaging.h"
#include "render/map.h"
#include "render/markers.h"
#include "render/output.h"
#include "render/script_fonts.h"
#include "render/track_drawing.h"

namespace plotr {
namespace {

color_quad pixel(const image_handle& image, long x, long y) {
    const PixelPacket* p = GetVirtualPixels(image.get(), x, y, 1, 1, &image.get()->exception);
    return {p->red, p->green, p->blue, p->opacity};
}

const color_quad white{65535, 65535, 65535, 0};
const color_quad red{65535, 0, 0, 0};

std::string failure_of(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const Fatal_error& error) {
        return error.what();
    }
    return "no failure";
}

TEST(Imaging, CanvasAndColours) {
    const image_handle canvas = get_canvas(800, 600, "#FFFFFF");
    EXPECT_EQ(image_width(canvas), 800);
    EXPECT_EQ(image_height(canvas), 600);
    EXPECT_EQ(pixel(canvas, 0, 0), white);
    EXPECT_EQ(pixel(canvas, 799, 599), white);
    EXPECT_EQ(color_of_string("#4400FF"), (color_quad{17476, 0, 65535, 0}));
    EXPECT_EQ(track_color(), (color_quad{17476, 0, 65535, 19661}));
    // A chosen colour keeps its own alpha; without one it is opaque.
    EXPECT_EQ(track_color("red"), red);
    EXPECT_EQ(track_color("#FF000080"), (color_quad{65535, 0, 0, 65535 - 0x80 * 257}));
    EXPECT_EQ(failure_of([] { color_of_string("no such colour"); }),
              "Failure(\"color_of_string failed\")");
}

TEST(Imaging, ReadAndWriteFailures) {
    // MagickCore's own reason decides, not the generic text.
    const std::string missing = failure_of([] { read_image("/nonexistent/tile.png"); });
    EXPECT_TRUE(missing.starts_with("Failure(\"")) << missing;
    EXPECT_NE(missing, "Failure(\"read_image failed\")");

    image_handle canvas = get_canvas(4, 4, "#FFFFFF");
    EXPECT_EQ(failure_of([&] { write_image(canvas, "/nonexistent/dir/out.png"); }),
              "Failure(\"write_image failed\")");
    EXPECT_EQ(failure_of([&] { write_image(canvas, ""); }), "Failure(\"write_image failed\")");
    const std::string too_long = "/tmp/" + std::string(4100, 'a') + ".png";
    EXPECT_EQ(failure_of([&] { write_image(canvas, too_long); }),
              "Failure(\"write_image failed: path longer than 4095 bytes\")");
    EXPECT_EQ(failure_of([&] { read_image(too_long); }),
              "Failure(\"read_image failed: path longer than 4095 bytes\")");

    // Only raster formats are decoded: an SVG could pull other files into the map.
    const std::string svg = own_temp_path("not-a-tile.png");
    std::ofstream(svg) << "<svg xmlns='http://www.w3.org/2000/svg' width='8' height='8'/>";
    EXPECT_TRUE(
        failure_of([&] { read_image(svg); }).starts_with("Failure(\"improper image header"));
    std::remove(svg.c_str());
    // JPEG tiles, as some servers send, still decode under their ".png" name.
    const std::string jpeg = own_temp_path("tile.jpg");
    write_image(canvas, jpeg);
    std::rename(jpeg.c_str(), svg.c_str());
    EXPECT_EQ(image_width(read_image(svg)), 4);
    std::remove(svg.c_str());

    // A round trip through a file, compressed; a name without extension gets PNG.
    const std::string path = own_temp_path("render-test");
    compress_output(canvas);
    write_image(canvas, path);
    const image_handle back = read_image(path);
    EXPECT_EQ(image_width(back), 4);
    EXPECT_EQ(pixel(back, 3, 3), white);
    std::remove(path.c_str());
}

// A tile may be a GIF of many frames: they all go with its handle.
TEST(Imaging, EveryFrameOfATileIsReleased) {
    // 256 x 256, global colour table of black and white; frames of one pixel
    // (LZW: clear code, index 0, end code).
    std::string gif("GIF89a\x00\x01\x00\x01\x80\x00\x00\x00\x00\x00\xff\xff\xff", 19);
    const std::string frame("\x2c\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02\x44\x01\x00", 15);
    for (int i = 0; i < 200; ++i) {
        gif += frame;
    }
    gif += '\x3b';
    const std::string path = own_temp_path("frames.png");
    std::ofstream(path, std::ios::binary) << gif;
    const image_handle warm_up = get_canvas(1, 1, "#FFFFFF");
    const MagickSizeType memory = GetMagickResource(MemoryResource);
    {
        const image_handle tile = read_image(path);
        EXPECT_EQ(GetImageListLength(tile.get()), 200u);
        EXPECT_GT(GetMagickResource(MemoryResource), memory);
    }
    EXPECT_EQ(GetMagickResource(MemoryResource), memory);
    std::remove(path.c_str());
}

std::string kind_of(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        return "nothing";
    }
    return S_ISREG(st.st_mode)   ? "file"
           : S_ISLNK(st.st_mode) ? "link"
           : S_ISDIR(st.st_mode) ? "directory"
                                 : "device";
}

// A write that fails part way, as on a full disk: files are capped at a size
// smaller than any picture, with SIGXFSZ ignored so that write(2) fails.
std::string failure_of_capped(const std::function<void()>& write) {
    struct sigaction ignore {};
    struct sigaction before {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &before);
    rlimit own{};
    getrlimit(RLIMIT_FSIZE, &own);
    rlimit capped = own;
    capped.rlim_cur = 100;
    setrlimit(RLIMIT_FSIZE, &capped);
    const std::string failure = failure_of(write);
    setrlimit(RLIMIT_FSIZE, &own);
    sigaction(SIGXFSZ, &before, nullptr);
    return failure;
}

TEST(Output, AFailedWriteLeavesWhatWasThere) {
    const std::string dir = own_temp_path("output-test/");
    mkdir(dir.c_str(), 0700);
    const auto old_file = [](const std::string& path) { std::ofstream(path) << "old picture"; };
    struct Case {
        std::string output;
        std::function<void(const std::string&)> prepare;
        std::string left;
    };
    const std::vector<Case> cases = {
        {dir + "new.png", [](const std::string&) {}, "nothing"},
        {dir + "old.png", old_file, "file"},
        // The encoder refuses pictures over 256 pixels.
        {dir + "old.ico", old_file, "file"},
        {dir + "link.png",
         [&](const std::string& path) {
             old_file(dir + "target.png");
             symlink((dir + "target.png").c_str(), path.c_str());
         },
         "link"},
        {dir + "folder.png", [](const std::string& path) { mkdir(path.c_str(), 0700); },
         "directory"},
        {"/dev/full", [](const std::string&) {}, "device"},
    };
    for (const Case& c : cases) {
        c.prepare(c.output);
        image_handle canvas = get_canvas(300, 200, "#FFFFFF");
        Recording_console console;
        EXPECT_EQ(failure_of_capped([&] { write_output(console, canvas, c.output, false); }),
                  "Failure(\"write_image failed\")")
            << c.output;
        EXPECT_EQ(console.log, "writing to " + c.output + "\n");
        EXPECT_EQ(kind_of(c.output), c.left) << c.output;
        if (c.left == "file" || c.left == "link") {
            std::ifstream in(c.output);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "old picture");
        }
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 5) << "a temporary file";
    std::filesystem::remove_all(dir);
}

// The file's Source names the host alone: never a key, a user name or a password.
TEST(Output, TheCreditsSourceIsTheHostAlone) {
    const std::pair<std::string, std::string> cases[] = {
        {"http://{s}.tile.thunderforest.com/landscape/{z}/{x}/{y}.png?apikey=K",
         "tile.thunderforest.com"},
        {"https://joe:pw@tiles.example.org:8443/{z}/{x}/{y}.png", "tiles.example.org"},
        {"http://[::1]:8080/{z}/{x}/{y}.png", "[::1]"},
        {"file:///srv/tiles/{z}/{x}/{y}.png", ""},
        {"tiles/{z}/{x}/{y}.png", ""},
    };
    for (const auto& [url, host] : cases) EXPECT_EQ(template_host(url), host) << url;
}

TEST(Attribution, EachScriptInItsFont) {
    const std::string base = attribution_font;
    const auto runs = [&](const std::string& text) {
        std::vector<std::string> out;
        for (const text_run& r : script_runs(text, base))
            out.push_back(r.text + "|" + (r.font == base ? "" : r.font.substr(r.font.rfind('/') + 1)));
        return out;
    };
    using list = std::vector<std::string>;
    EXPECT_EQ(runs("\u00a9 OpenStreetMap, \u0395\u03bb\u03bb\u03ac\u03b4\u03b1"),
              list{"\u00a9 OpenStreetMap, \u0395\u03bb\u03bb\u03ac\u03b4\u03b1|"});
    EXPECT_EQ(runs("\u5730\u56f3 \u00a9 GSI"),
              (list{"\u5730\u56f3 |NotoSansCJK-Regular.ttc", "\u00a9 GSI|"}));
    // Right to left: the letters as seen, the space to the next word stays between.
    EXPECT_EQ(runs("\u05d0\u05d1 \u05d2 x"),
              (list{"\u05d2 \u05d1\u05d0|NotoSansHebrew-Regular.ttf", " x|"}));
    EXPECT_EQ(runs("a\ue000"), list{"a\ufffd|"});
}

TEST(Imaging, PolylineTextIsWholeForAnyCoordinates) {
    const std::vector<canvas_point> points = {{-5, 12}, {2147483647, -2147483647 - 1}};
    EXPECT_EQ(polyline_primitive(points), "polyline -5,12 2147483647,-2147483648");
    // Past the old 4095-character bound: 401 points of ten-digit coordinates.
    const std::vector<canvas_point> wide(401, {1234567890, -123456789});
    const std::string text = polyline_primitive(wide);
    EXPECT_EQ(text.size(), 8 + 401 * 22u);
    EXPECT_TRUE(text.ends_with(" 1234567890,-123456789"));
}

TEST(Imaging, DrawingAndPastingClipAtTheEdges) {
    image_handle canvas = get_canvas(40, 30, "#FFFFFF");
    const std::vector<canvas_point> line = {{-100, 10}, {100, 10}};
    draw_polyline(canvas, line, color_of_string("#000000"), 4.0, true, RoundJoin, RoundCap);
    EXPECT_EQ(pixel(canvas, 20, 10), (color_quad{0, 0, 0, 0}));
    EXPECT_EQ(pixel(canvas, 20, 20), white);

    const image_handle block = get_canvas(10, 10, "#FF0000");
    composite_image(canvas, block, OverCompositeOp, 35, -5);
    EXPECT_EQ(pixel(canvas, 39, 0), red);
    EXPECT_EQ(pixel(canvas, 34, 0), white);
    EXPECT_EQ(pixel(canvas, 39, 5), white);
}

TEST(Map, TilesGoToTheFlooredCanvasOrigin) {
    const std::string path = own_temp_path("tile.png");
    image_handle tile = get_canvas(256, 256, "#FF0000");
    write_image(tile, path);
    struct Case {
        double top;
        double left;
        int column;
        long first_red;  // canvas column; -1: the tile lies off the canvas
    };
    const double huge = std::numeric_limits<double>::max();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const Case c :
         {// -37.5 floors to -38: the world's first tile starts 38 columns in.
          Case{0.0, -37.5, 0, 38}, Case{0.0, 562000.4, 2195, 0}, Case{0.0, 561900.0, 2195, 20},
          // Origins beyond any integer type, or no number: nothing to paste.
          Case{0.0, 9.3e18, 2195, -1}, Case{0.0, -huge, 0, -1}, Case{huge, 0.0, 0, -1},
          Case{-1e300, 0.0, 0, -1}, Case{nan, 0.0, 0, -1}, Case{0.0, nan, 0, -1}}) {
        image_handle canvas = get_canvas(300, 10, "#FFFFFF");
        paste_tile({canvas, c.top, c.left}, {c.column, 0, path});
        if (c.first_red < 0) {
            EXPECT_EQ(pixel(canvas, 0, 0), white) << c.top << " " << c.left;
            EXPECT_EQ(pixel(canvas, 299, 9), white) << c.top << " " << c.left;
            continue;
        }
        EXPECT_EQ(pixel(canvas, c.first_red, 5), red) << c.left;
        if (c.first_red > 0) {
            EXPECT_EQ(pixel(canvas, c.first_red - 1, 5), white) << c.left;
        }
    }
    std::remove(path.c_str());
}

TEST(Map, TilesOfOtherSidesResizedOrReported) {
    const std::string path = ::testing::TempDir() + "plotr-tile-sides.png";
    image_handle tile = get_canvas(256, 256, "#FF0000");
    write_image(tile, path);
    struct Case {
        long side, expected_side;
        long first_red, last_red;  // canvas columns, for the tile at column 1
        long odd;                  // the side reported, 0 for none
    };
    for (const Case c : {Case{192, 256, 192, 383, 0}, Case{512, 256, 512, 1023, 0},
                         Case{512, 512, 512, 767, 256}, Case{256, 512, 256, 511, 256}}) {
        image_handle canvas = get_canvas(1200, 4, "#FFFFFF");
        long odd = 0;
        int reports = 0;
        paste_tile({canvas, 0.0, 0.0, c.side, c.expected_side,
                    [&](long w, long h) { odd = w * (w == h), ++reports; }},
                   {1, 0, path});
        EXPECT_EQ(pixel(canvas, c.first_red - 1, 2), white) << c.side << " " << c.expected_side;
        EXPECT_EQ(pixel(canvas, c.first_red, 2), red) << c.side << " " << c.expected_side;
        EXPECT_EQ(pixel(canvas, c.last_red, 2), red) << c.side << " " << c.expected_side;
        EXPECT_EQ(pixel(canvas, c.last_red + 1, 2), white) << c.side << " " << c.expected_side;
        EXPECT_EQ(odd, c.odd);
        EXPECT_EQ(reports, c.odd ? 1 : 0);
    }
    std::remove(path.c_str());
    EXPECT_EQ(tile_size_hint(512, 512, 256, 1, false),
              "plotr: the tiles are 512x512 pixels, not 256x256; -tile-size 512 fits them\n");
    EXPECT_EQ(tile_size_hint(1024, 1024, 512, 2, true),
              "plotr: the tiles are 1024x1024 pixels, not 512x512; -tile-size 512 fits them\n");
    EXPECT_EQ(tile_size_hint(256, 256, 512, 2, true),
              "plotr: the tiles are 256x256 pixels, not 512x512; neither -tile-size 256 nor 512 "
              "fits them\n");
    EXPECT_EQ(tile_size_hint(256, 128, 512, 1, false),
              "plotr: the tiles are 256x128 pixels, not 512x512; neither -tile-size 256 nor 512 "
              "fits them\n");
}

TEST(Markers, PinAnchorAndShadowOrder) {
    image_handle canvas = get_canvas(300, 300, "#FFFFFF");
    const image_handle pin = get_canvas(25, 41, "#FF0000");
    const image_handle end_pin = get_canvas(25, 41, "#00FF00");
    const image_handle shadow = get_canvas(3, 3, "#0000FF");
    // Zoom 0 with the canvas origin placed so that (lat 0, lon 0) is canvas point (100, 200).
    const drawing_context context{false, 0,       128.0 - 200, 128.0 - 100,  canvas,
                                  pin,   end_pin, shadow,      track_color()};
    place_marker(context, pin, {0.0, 0.0});
    // Left 100 - 25/2 = 88, top 200 - 41 + 5 = 164; the shadow lies over the pin there.
    EXPECT_EQ(pixel(canvas, 87, 170), white);
    EXPECT_EQ(pixel(canvas, 88, 167), red);
    EXPECT_EQ(pixel(canvas, 112, 204), red);
    EXPECT_EQ(pixel(canvas, 112, 205), white);
    EXPECT_EQ(pixel(canvas, 88, 164), (color_quad{0, 0, 65535, 0}));

    // A segment: its line, then the start pin, then the end pin on top.
    image_handle fresh = get_canvas(300, 300, "#FFFFFF");
    const drawing_context drawing{false, 0,       128.0 - 200, 128.0 - 100,  fresh,
                                  pin,   end_pin, shadow,      track_color()};
    draw_track_segment(drawing, {{0.0, 0.0}, {0.0, 0.0}});
    EXPECT_EQ(pixel(fresh, 100, 190), (color_quad{0, 65535, 0, 0}));
    image_handle bare = get_canvas(300, 300, "#FFFFFF");
    const drawing_context no_pins{true, 0,       128.0 - 200, 128.0 - 100,  bare,
                                  pin,  end_pin, shadow,      track_color()};
    draw_track_segment(no_pins, {{0.0, 0.0}, {0.0, 10.0}});
    EXPECT_EQ(pixel(bare, 100, 190), white);
    EXPECT_NE(pixel(bare, 103, 200), white);
    draw_track_segment(no_pins, {});
    // Two crossing segments: the second's casing stays under the first's line.
    drawing_context cased = no_pins;
    cased.color = red;
    cased.outline = white;
    draw_tracks(cased, {{{{0.0, 0.0}, {0.0, 20.0}}, {{10.0, 10.0}, {-10.0, 10.0}}}}, {1});
    EXPECT_EQ(pixel(bare, 104, 200), red);
    // A label that fits on neither side of its dot stays right of it.
    image_handle narrow = get_canvas(60, 20, "#FFFFFF");
    const drawing_context at_left{true, 0,       128.0 - 10, 128.0 - 10,   narrow,
                                  pin,  end_pin, shadow,     track_color()};
    draw_waypoints(at_left, {{{0.0, 0.0}}, {"A name too long for either side"}}, attribution_font);
    EXPECT_NE(pixel(narrow, 21, 10), white);
}

// What a margin must keep clear: half the line's width plus 2, and the pins
// by the one anchor that places them, at every scale.
TEST(Markers, ReachOfTheLineAndThePins) {
    const auto sides = [](const drawing_reach& r) {
        return std::array<double, 4>{r.left, r.right, r.top, r.bottom};
    };
    const std::string exe_dir = PLOTR_SHARE_DIR "/..";
    EXPECT_EQ(sides(Markers(exe_dir, 1).reach(10, true)), (std::array<double, 4>{7, 7, 7, 7}));
    EXPECT_EQ(sides(Markers(exe_dir, 1).reach(4, false)), (std::array<double, 4>{13, 33, 37, 5}));
    // The @2x pins' tip stands 10 of their pixels above their bottom: 5 at scale 1.
    EXPECT_EQ(sides(Markers(exe_dir, 2).reach(4, false)),
              (std::array<double, 4>{13, 32.5, 36.5, 5}));
}

// The smallest rectangle (left, top, right, bottom) holding every pixel in
// which the two images differ; all -1 when they are the same.
std::array<long, 4> difference(const image_handle& a, const image_handle& b) {
    std::array<long, 4> box{-1, -1, -1, -1};
    for (long y = 0; y < image_height(a); ++y) {
        for (long x = 0; x < image_width(a); ++x) {
            if (pixel(a, x, y) != pixel(b, x, y)) {
                box = box[0] < 0 ? std::array<long, 4>{x, y, x, y}
                                 : std::array<long, 4>{std::min(box[0], x), box[1],
                                                       std::max(box[2], x), y};
            }
        }
    }
    return box;
}

TEST(Attribution, TextIsDrawnAsGiven) {
    // Drawn whole or one character after the other, the same pixels: MagickCore
    // neither read the file nor expanded the escapes.
    const text_style style{attribution_font, attribution_size, {0, 0, 0, 0}};
    for (const std::string text : {"@/etc/passwd", "100% %w %[fx:1] %%"}) {
        image_handle whole = get_canvas(200, 20, "#FFFFFF");
        image_handle pieces = get_canvas(200, 20, "#FFFFFF");
        draw_text(whole, text, style, 2, 15);
        double x = 2;
        for (const char c : text) {
            draw_text(pieces, std::string(1, c), style, static_cast<long>(x), 15);
            x += measure_text(pieces, std::string(1, c), style).width;
        }
        EXPECT_NE(difference(whole, get_canvas(200, 20, "#FFFFFF"))[0], -1) << text;
        EXPECT_EQ(difference(whole, pieces), (std::array<long, 4>{-1, -1, -1, -1})) << text;
    }
}

TEST(Attribution, BottomRightCornerOrNothing) {
    struct Case {
        long width;
        std::string text;
        long min_box_width;  // 0: nothing drawn
    };
    const std::string long_text(300, 'W');
    for (const Case& c :
         {Case{400, "\xC2\xA9 OpenStreetMap", 100}, Case{400, " \t\n ", 0}, Case{400, "", 0},
          Case{120, long_text, 110}, Case{24, "Maps and data", 10}, Case{10, "Maps and data", 0}}) {
        const image_handle plain = get_canvas(c.width, 50, "#000000");
        image_handle canvas = get_canvas(c.width, 50, "#000000");
        draw_attribution(canvas, c.text);
        const auto [left, top, right, bottom] = difference(plain, canvas);
        if (c.min_box_width == 0) {
            EXPECT_EQ(left, -1) << c.width << " " << c.text;
            continue;
        }
        EXPECT_GE(top, 50 - attribution_strip_height) << c.text;
        EXPECT_EQ(right, c.width - 1) << c.text;
        EXPECT_EQ(bottom, 49) << c.text;
        EXPECT_GE(right + 1 - left, c.min_box_width) << c.text;
    }
    // Blanks at either end are dropped: the same box as without them.
    image_handle trimmed = get_canvas(400, 50, "#000000");
    image_handle padded = get_canvas(400, 50, "#000000");
    draw_attribution(trimmed, "OpenStreetMap");
    draw_attribution(padded, "  \t OpenStreetMap \n  ");
    EXPECT_EQ(difference(trimmed, padded), (std::array<long, 4>{-1, -1, -1, -1}));
    image_handle canvas = get_canvas(100, 50, "#000000");
    EXPECT_EQ(failure_of([&] { draw_attribution(canvas, "x", "/nonexistent/font.ttf"); }),
              "Failure(\"draw_attribution failed: cannot read the font /nonexistent/font.ttf "
              "(Debian package fonts-dejavu-core)\")");
}

// Shrunk before it is cut: a text a tenth too wide at the full size is drawn
// whole at a smaller one, so its last letter, an "H", is as tall as the text,
// not the dots of an ellipsis.
TEST(Attribution, ShrunkBeforeCut) {
    const std::string text = "Maps and data H";
    image_handle probe = get_canvas(10, 10, "#FFFFFF");
    const double full =
        measure_text(probe, text, text_style{attribution_font, attribution_size, {0, 0, 0, 0}})
            .width;
    const long width = static_cast<long>(full * 0.9) + 2 * attribution_margin_x;
    image_handle canvas = get_canvas(width, 50, "#FFFFFF");
    draw_attribution(canvas, text);
    // The dark rows of the last few columns that hold any text.
    long last = -1;
    for (long x = 0; x < width; ++x) {
        for (long y = 50 - attribution_strip_height; y < 50; ++y) {
            if (pixel(canvas, x, y).red < 0x8000) last = x;
        }
    }
    ASSERT_GE(last, 0) << "no text";
    long top = 50, bottom = -1;
    for (long x = std::max(0L, last - 2); x <= last; ++x) {
        for (long y = 50 - attribution_strip_height; y < 50; ++y) {
            if (pixel(canvas, x, y).red < 0x8000) {
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        }
    }
    EXPECT_GE(bottom - top + 1, 5) << "the text ends low and flat, as an ellipsis does";
}

}  // namespace
}  // namespace plotr
