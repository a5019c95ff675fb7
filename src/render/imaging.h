#pragma once

#include <magick/MagickCore.h>

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "geo/projection.h"
#include "render/color_name.h"

namespace plotr {

/// Owns one MagickCore image, with any frames that follow it in its list;
/// move-only, released with DestroyImageList.
class image_handle {
public:
    explicit image_handle(Image* image) : image_(image) {}
    Image* get() const { return image_.get(); }

private:
    struct Destroy {
        void operator()(Image* image) const { DestroyImageList(image); }
    };
    std::unique_ptr<Image, Destroy> image_;
};

/// A colour in quantum units 0..65535; opacity 0 is opaque, 65535 transparent.
struct color_quad {
    unsigned red;
    unsigned green;
    unsigned blue;
    unsigned opacity;
    bool operator==(const color_quad&) const = default;
};

/// Paths handed to MagickCore live in its 4096-byte filename fields.
inline constexpr std::size_t max_path_length = MagickPathExtent - 1;

// Every operation below throws Failure("<text>") when it fails: a reason text
// that MagickCore recorded, or "<operation> failed". A path longer than
// max_path_length is refused with "<operation> failed: path longer than 4095 bytes".

/// Starts MagickCore, with plotr's resource limits, once; later calls do nothing.
void start_imaging();

/// The folder of MagickCore's temporary files, as found at start; empty
/// before, or when none could be made. Async-signal-safe.
const char* magick_temporary_folder();

/// Decodes a PNG, JPEG, GIF or WebP file, by its first bytes; anything else is
/// handed to the PNG decoder, which refuses it. An error MagickCore records
/// fails with its reason text; a warning (a damaged ancillary chunk) does not. With `fd`, that open
/// file is read (from its start) and `path` only names it.
image_handle read_image(const std::string& path, int fd = -1);

/// Decodes a picture held in memory as read_image decodes a file; `name`
/// stands for it in messages. The bytes need only live for the call.
image_handle read_image_data(std::string_view data, const std::string& name);

/// A width x height image of one colour (a MagickCore colour text).
image_handle get_canvas(long width, long height, const std::string& color);

/// The most pixels a canvas may have and still be written (`compressed`: as
/// compress_output leaves it): the library's area limit, or less when its
/// pixel cache may not take that many in memory or on disk; `layered`: with a
/// second layer of the canvas's size drawn apart and laid on it.
unsigned long long max_canvas_pixels(bool compressed, bool layered = false);

/// Fails with Failure("a [compressed ][heat map ]picture of <w>x<h> pixels is larger
/// than the imaging library allows (at most <n> pixels)") past max_canvas_pixels.
/// A side past the width or height limit is left to get_canvas, which names it.
void check_canvas_size(long width, long height, bool compressed, bool layered = false);

/// What the encoder is asked for on top of the image's own settings; zero keeps
/// the image's own.
struct encoder_settings {
    std::size_t depth = 0;    ///< bits per sample
    std::size_t quality = 0;  ///< for PNG: zlib level * 10 + filter
};

/// The format a picture named `path` is written in: the one its extension names
/// (any letter case) when it is a single-file raster format MagickCore can write
/// (PNG, JPEG, GIF, WebP, TIFF, BMP, PPM/PGM/PNM/PBM, ICO), else PNG.
std::string output_format(const std::string& path);

/// The format, in capitals, that the name's extension names, or that it would
/// be written in, when MagickCore knows it and its security policy forbids
/// writing it; empty otherwise.
std::string forbidden_output_format(const std::string& path);

/// Encodes the image in memory in `format`, as a file named `name` would hold
/// it; throws Failure("write_image failed") when the encoder refuses it.
std::string encode_image(image_handle& image, const std::string& format, const std::string& name,
                         encoder_settings settings = {});

/// A copy of the image resized to width x height with the Lanczos filter.
/// Fails with MagickCore's reason, else "resize_image failed".
image_handle resize_image(const image_handle& image, long width, long height);

/// Lays the source over the target with its top-left pixel at (x, y); what
/// falls outside the target is clipped.
void composite_image(image_handle& target, const image_handle& source, CompositeOperator op, long x,
                     long y);

/// Lays the source over the target as composite_image does with OverCompositeOp, its
/// every pixel first made as much more transparent as `opacity` (0 opaque, 65535
/// transparent) says: a layer drawn opaque lands as if drawn at that opacity.
void composite_translucent(image_handle& target, const image_handle& source, unsigned opacity,
                           long x, long y);

/// Gives the image an alpha channel, all opaque, unless it has one: as any drawing call
/// does, so that the encoder writes the same channels whichever way a line was drawn.
void keep_alpha(image_handle& image);

/// Strokes a polyline through the points, never filled.
void draw_polyline(image_handle& image, std::span<const canvas_point> points, color_quad stroke,
                   double width, bool antialias, LineJoin join, LineCap cap);

/// Strokes a ready-made MagickCore drawing primitive, such as the text of
/// polyline_primitive, never filled; fails with "draw_polyline failed".
void draw_primitive(image_handle& image, const std::string& primitive, color_quad stroke,
                    double width, bool antialias, LineJoin join, LineCap cap);

/// A disc of `radius` pixels around (x, y) in `fill`, ringed by a stroke of
/// `ring_width` in `ring`, antialiased; fails with "draw_circle failed".
void draw_circle(image_handle& image, double x, double y, double radius, color_quad fill,
                 color_quad ring, double ring_width);

/// Calls `row` with each row of the image's pixels in turn, top first, read-only.
/// Fails with MagickCore's reason, else "read_pixels failed".
void read_rows(const image_handle& image,
               const std::function<void(long y, std::span<const PixelPacket> pixels)>& row);

/// Lets `row` change each row of the image's pixels in turn, top first; the opacity
/// of every pixel counts from then on. Fails with MagickCore's reason, else
/// "write_pixels failed".
void write_rows(image_handle& image,
                const std::function<void(long y, std::span<PixelPacket> pixels)>& row);

/// Replaces red, green and blue of each pixel by the palette's colour at that level
/// (0 its left end, 65535 its right; between its pixels, interpolated); opacity stays.
void map_through_palette(image_handle& image, const image_handle& palette);

/// Turns every pixel grey, keeping its lightness.
void desaturate(image_handle& image);

/// Moves every colour `share` (0..1) of the way toward white.
void fade_toward_white(image_handle& image, double share);

/// Fills a ready-made MagickCore drawing primitive, such as "polygon x,y x,y ...", in
/// `fill`, without stroke or antialiasing; fails with "draw_polyline failed".
void fill_primitive(image_handle& image, const std::string& primitive, color_quad fill);

/// Parses a MagickCore colour text such as "#4400FF".
color_quad color_of_string(const std::string& text);

long image_width(const image_handle& image);
long image_height(const image_handle& image);

void set_image_type(image_handle& image, ImageType type);
/// Stored for the encoder only; no pixel changes.
void set_image_colors(image_handle& image, std::size_t colors);
void set_image_quality(image_handle& image, std::size_t quality);
/// Removes profiles and comments.
void strip(image_handle& image);

/// Sets a text property the encoder writes with the picture (PNG: a tEXt or iTXt chunk
/// named `key`); an empty value removes it.
void set_image_text(image_handle& image, const std::string& key, const std::string& value);


/// The polyline drawing primitive: "polyline x,y x,y ...", of any length.
std::string polyline_primitive(std::span<const canvas_point> points);

// Text. Each call draws or measures one line exactly as given: the meanings
// MagickCore's own text drawing gives a leading '@' (read the text from a
// file) and '%' escapes (image properties) never apply. A '\n' would start a
// new line; callers pass single lines.

/// A TrueType font file, a size in pixels (the em) and a colour; with `stroke`, the
/// glyphs' outlines are stroked that wide in it too (a halo, drawn under the text).
struct text_style {
    std::string font;
    double size;
    color_quad color;
    std::optional<color_quad> stroke = std::nullopt;
    double stroke_width = 0;
};

/// How far one line of text reaches, in pixels: its advance width, and how
/// far the font reaches above and below the baseline (both positive).
struct text_extent {
    double width;
    double ascent;
    double descent;
};

/// Measures the text on the image (no pixel changes). Fails with the reason
/// MagickCore records (an unreadable font, say), else "measure_text failed".
text_extent measure_text(image_handle& image, const std::string& text, const text_style& style);

/// Draws the text antialiased, its baseline starting at (x, y); what falls
/// outside the image is clipped. Fails like measure_text, with "draw_text failed".
void draw_text(image_handle& image, const std::string& text, const text_style& style, long x,
               long y);

}  // namespace plotr
