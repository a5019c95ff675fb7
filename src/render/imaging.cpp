#include "render/imaging.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "common/failure.h"
#include "common/text.h"

namespace plotr {

namespace {

// Tiles come from servers we do not control. These are the limits of the
// policy file that Debian installs with MagickCore, set here too so that they
// hold where no such file is: a tile that claims a huge size is refused before
// its pixels are allocated. A stricter policy still wins, as MagickCore keeps
// the lower value. Pixels past the memory and map limits go to a disk cache of
// at most `disk` bytes.
constexpr struct {
    ResourceType resource;
    MagickSizeType limit;
} resource_limits[] = {
    {WidthResource, 16000},
    {HeightResource, 16000},
    {AreaResource, 128000000},
    {MemoryResource, MagickSizeType{256} << 20},
    {MapResource, MagickSizeType{512} << 20},
    {DiskResource, MagickSizeType{1} << 30},
    // One frame is all a tile needs, and each costs memory of its own however
    // small: a GIF of 100000 one-pixel frames would take gigabytes.
    {ListLengthResource, 256},
    // One thread, as the whole program: a signal must never be handled on a
    // worker thread of MagickCore's.
    {ThreadResource, 1},
};

// Where MagickCore puts its temporary files, for a signal handler to read.
char temporary_folder[MagickPathExtent];

void ensure_magick() {
    if (IsMagickCoreInstantiated() == MagickFalse) {
        // Without MagickCore's own signal handlers: plotr's stay in place
        // (see install_interrupt_handlers).
        MagickCoreGenesis(std::getenv("PWD"), MagickFalse);
        for (const auto& [resource, limit] : resource_limits) {
            if (GetMagickResourceLimit(resource) > limit) {
                SetMagickResourceLimit(resource, limit);
            }
        }
        // One file made the way MagickCore makes them shows the folder.
        char path[MagickPathExtent] = {};
        const int fd = AcquireUniqueFileResource(path);
        if (fd >= 0) {
            close(fd);
            RelinquishUniqueFileResource(path);
            const std::string_view made(path);
            const std::string_view folder = made.substr(0, made.rfind('/'));
            if (made.find('/') != std::string_view::npos &&
                folder.size() < sizeof temporary_folder) {
                std::memcpy(temporary_folder, folder.data(), folder.size());
                temporary_folder[folder.size()] = '\0';
            }
        }
    }
}

struct Destroy_image_info {
    void operator()(ImageInfo* info) const { DestroyImageInfo(info); }
};
using Image_info = std::unique_ptr<ImageInfo, Destroy_image_info>;

struct Destroy_draw_info {
    void operator()(DrawInfo* info) const { DestroyDrawInfo(info); }
};
using Draw_info = std::unique_ptr<DrawInfo, Destroy_draw_info>;

// Allocated rather than on the stack: DestroyExceptionInfo frees the recorded
// messages only for an ExceptionInfo that MagickCore allocated itself.
struct Destroy_exception {
    void operator()(ExceptionInfo* exception) const { DestroyExceptionInfo(exception); }
};
using Exception = std::unique_ptr<ExceptionInfo, Destroy_exception>;

struct Close_file {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

Exception prepare_exception() { return Exception(AcquireExceptionInfo()); }

// Warnings (a damaged ancillary chunk, say) leave a usable result; errors fail.
bool is_error(ExceptionType severity) { return severity >= ErrorException; }

void fail_on_exception(const Exception& exception) {
    if (is_error(exception->severity)) {
        throw failure(exception->reason != nullptr ? exception->reason : "");
    }
}

void copy_path(char (&field)[MagickPathExtent], const std::string& path, const char* operation) {
    if (path.size() > max_path_length) {
        throw failure(std::string(operation) + " failed: path longer than 4095 bytes");
    }
    std::memcpy(field, path.c_str(), path.size() + 1);
}

// Tiles come from servers we do not control, and MagickCore would otherwise
// pick the decoder by the file's first bytes, script-like formats (SVG, MVG)
// included, which can read other files. So the raster formats that tile
// servers send go to their own decoder, and everything else to PNG's, as the
// ".png" name of a tile asks, which refuses it.
std::string decoder_of(std::string_view head);

std::string decoder_prefix(const std::string& path, int fd) {
    char head[12] = {};
    if (fd >= 0) {
        for (std::size_t got = 0; got < sizeof head;) {
            const ssize_t n = pread(fd, head + got, sizeof head - got, static_cast<off_t>(got));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
    } else {
        std::ifstream(path, std::ios::binary).read(head, sizeof head);
    }
    return decoder_of(std::string_view(head, sizeof head));
}

std::string decoder_of(std::string_view bytes) {
    if (bytes.starts_with("\xFF\xD8\xFF")) {
        return "JPEG:";
    }
    if (bytes.starts_with("GIF87a") || bytes.starts_with("GIF89a")) {
        return "GIF:";
    }
    if (bytes.starts_with("RIFF") && bytes.substr(8, 4) == "WEBP") {
        return "WEBP:";
    }
    return "PNG:";
}

image_handle read_with(Image_info info, const char* operation) {
    ensure_magick();
    const Exception exception = prepare_exception();
    image_handle image(ReadImage(info.get(), exception.get()));
    info.reset();
    fail_on_exception(exception);
    // Decoders record their faults (a truncated JPEG) in the image they return
    // rather than in the exception passed in.
    if (image.get() != nullptr && is_error(image.get()->exception.severity)) {
        const char* reason = image.get()->exception.reason;
        throw failure(reason != nullptr ? reason : "");
    }
    if (image.get() == nullptr) {
        throw failure(std::string(operation) + " failed");
    }
    return image;
}

}  // namespace

void start_imaging() { ensure_magick(); }

const char* magick_temporary_folder() { return temporary_folder; }

image_handle read_image(const std::string& path, int fd) {
    Image_info info(CloneImageInfo(nullptr));
    // The decoder's name goes in front: "PNG:" + path must fit too.
    copy_path(info->filename, decoder_prefix(path, fd) + path, "read_image");
    if (fd < 0) {
        return read_with(std::move(info), "read_image");
    }
    // The open file is read, from its start; the path only names it in messages.
    std::unique_ptr<std::FILE, Close_file> file;
    const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy >= 0 && lseek(copy, 0, SEEK_SET) == 0) {
        file.reset(fdopen(copy, "rb"));
    }
    if (!file) {
        if (copy >= 0) {
            close(copy);
        }
        throw failure("read_image failed");
    }
    info->file = file.get();
    return read_with(std::move(info), "read_image");
}

image_handle read_image_data(std::string_view data, const std::string& name) {
    Image_info info(CloneImageInfo(nullptr));
    std::string head(data.substr(0, 12));
    head.resize(12, '\0');
    copy_path(info->filename, decoder_of(head) + name, "read_image");
    // The decoders read the bytes where they are; nothing goes through a file.
    SetImageInfoBlob(info.get(), data.data(), data.size());
    return read_with(std::move(info), "read_image");
}

image_handle get_canvas(long width, long height, const std::string& color) {
    Image_info info(CloneImageInfo(nullptr));
    CloneString(&info->size, format("%ldx%ld", width, height).c_str());
    copy_path(info->filename, "xc:" + color, "get_canvas");
    return read_with(std::move(info), "get_canvas");
}

image_handle resize_image(const image_handle& image, long width, long height) {
    ensure_magick();
    const Exception exception = prepare_exception();
    Image* resized = ResizeImage(image.get(), static_cast<size_t>(width),
                                 static_cast<size_t>(height), LanczosFilter, 1.0, exception.get());
    image_handle result(resized);
    fail_on_exception(exception);
    if (resized == nullptr) {
        throw failure("resize_image failed");
    }
    return result;
}

unsigned long long max_canvas_pixels(bool compressed, bool layered) {
    ensure_magick();
    // Past the memory limit MagickCore puts the pixels on disk, and a cache
    // it may keep neither in memory nor on disk is refused ("cache resources
    // exhausted"). The PNG encoder wants room of its own on top: measured,
    // 35 to 50 MB at 130 megapixels; with -compress a whole copy of the
    // pixels and 45 to 150 MB more at 60 megapixels.
    const MagickSizeType room =
        std::max(GetMagickResourceLimit(MemoryResource), GetMagickResourceLimit(DiskResource));
    // A layer drawn apart (the heat map's) is a whole copy too while it is laid on.
    const MagickSizeType for_pixels = room - room / (compressed || layered ? 8 : 24);
    const MagickSizeType copies = 1 + (compressed ? 1 : 0) + (layered ? 1 : 0);
    return std::min<unsigned long long>(GetMagickResourceLimit(AreaResource),
                                        for_pixels / (sizeof(PixelPacket) * copies));
}

void check_canvas_size(long width, long height, bool compressed, bool layered) {
    ensure_magick();
    if (width < 1 || height < 1 ||
        static_cast<MagickSizeType>(width) > GetMagickResourceLimit(WidthResource) ||
        static_cast<MagickSizeType>(height) > GetMagickResourceLimit(HeightResource)) {
        return;
    }
    const unsigned long long most = max_canvas_pixels(compressed, layered);
    if (static_cast<unsigned long long>(width) * static_cast<unsigned long long>(height) > most) {
        throw failure(format(
            "a %s%spicture of %ldx%ld pixels is larger than the imaging library "
            "allows (at most %llu pixels)",
            compressed ? "compressed " : "", layered ? "heat map " : "", width, height, most));
    }
}

namespace {

// Formats that write one self-contained picture, and nothing beside it.
constexpr std::string_view single_picture_formats[] = {
    "PNG",  "PNG8", "PNG24", "PNG32", "PNG48", "PNG64", "JPG", "JPEG", "GIF",
    "WEBP", "TIF",  "TIFF",  "BMP",   "PPM",   "PGM",   "PNM", "PBM",  "ICO"};

// The extension in capitals; empty when there is none or it is no plain name
// ("*" would name any format).
std::string extension_of(const std::string& path) {
    const std::string name = path.substr(path.rfind('/') + 1);
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos) {
        return "";
    }
    std::string extension = name.substr(dot + 1);
    const bool plain =
        !extension.empty() && extension.size() < 32 && std::ranges::all_of(extension, [](char c) {
            return std::isalnum(static_cast<unsigned char>(c));
        });
    if (!plain) {
        return "";
    }
    std::ranges::transform(extension, extension.begin(),
                           [](char c) { return std::toupper(static_cast<unsigned char>(c)); });
    return extension;
}

bool can_write(const std::string& format) {
    ensure_magick();
    const Exception exception = prepare_exception();
    const MagickInfo* info = GetMagickInfo(format.c_str(), exception.get());
    return info != nullptr && GetImageEncoder(info) != nullptr;
}

bool forbidden(const std::string& format) {
    return can_write(format) &&
           IsRightsAuthorized(CoderPolicyDomain, WritePolicyRights, format.c_str()) == MagickFalse;
}

}  // namespace

std::string output_format(const std::string& path) {
    const std::string extension = extension_of(path);
    return std::ranges::find(single_picture_formats, extension) !=
                       std::end(single_picture_formats) &&
                   can_write(extension)
               ? extension
               : "PNG";
}

std::string forbidden_output_format(const std::string& path) {
    const std::string extension = extension_of(path);
    if (!extension.empty() && forbidden(extension)) {
        return extension;
    }
    const std::string format = output_format(path);
    return forbidden(format) ? format : "";
}

std::string encode_image(image_handle& image, const std::string& format, const std::string& name,
                         encoder_settings settings) {
    // MagickCore reads no syntax into the name ("%d", "png:", "[1]"); it only
    // carries the format, and the name for formats that record it.
    std::string magick_name = format + ":./" + name;
    magick_name.resize(std::min(magick_name.size(), max_path_length));
    copy_path(image.get()->filename, magick_name, "write_image");
    std::strcpy(image.get()->magick, format.c_str());
    const Image_info info(CloneImageInfo(nullptr));
    copy_path(info->filename, magick_name, "write_image");
    info->affirm = MagickTrue;
    std::strcpy(info->magick, format.c_str());
    if (settings.depth != 0) {
        image.get()->depth = settings.depth;
        info->depth = settings.depth;
    }
    if (settings.quality != 0) {
        image.get()->quality = settings.quality;
        info->quality = settings.quality;
    }
    const Exception exception = prepare_exception();
    std::size_t length = 0;
    void* blob = ImageToBlob(info.get(), image.get(), &length, exception.get());
    if (blob == nullptr) {
        throw failure("write_image failed");
    }
    std::string bytes(static_cast<const char*>(blob), length);
    RelinquishMagickMemory(blob);
    return bytes;
}

void composite_image(image_handle& target, const image_handle& source, CompositeOperator op, long x,
                     long y) {
    if (CompositeImage(target.get(), op, source.get(), x, y) == MagickFalse) {
        throw failure("composite_image failed");
    }
}

void composite_translucent(image_handle& target, const image_handle& source, unsigned opacity,
                           long x, long y) {
    // Dissolve scales the source's alpha, in floating point, before laying it over: an opaque
    // pixel lands exactly as a stroke of that opacity would.
    const double percent = 100.0 * (QuantumRange - double(opacity)) / QuantumRange;
    // MagickCore reads the factor from the target's settings.
    SetImageArtifact(target.get(), "compose:args", format("%.12g", percent).c_str());
    const MagickBooleanType done =
        CompositeImage(target.get(), DissolveCompositeOp, source.get(), x, y);
    DeleteImageArtifact(target.get(), "compose:args");
    if (done == MagickFalse) throw failure("composite_image failed");
}

void keep_alpha(image_handle& image) {
    if (image.get()->matte == MagickFalse &&
        SetImageAlphaChannel(image.get(), OpaqueAlphaChannel) == MagickFalse) {
        throw failure("composite_image failed");
    }
}

std::string polyline_primitive(std::span<const canvas_point> points) {
    // Appended number by number: linear in the points, and never cut short.
    std::string text = "polyline";
    text.reserve(text.size() + points.size() * 16);
    const auto append_number = [&text](int value) {
        char digits[16];
        text.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
    };
    for (const canvas_point& p : points) {
        text += ' ';
        append_number(p.x);
        text += ',';
        append_number(p.y);
    }
    return text;
}

void draw_polyline(image_handle& image, std::span<const canvas_point> points, color_quad stroke,
                   double width, bool antialias, LineJoin join, LineCap cap) {
    draw_primitive(image, polyline_primitive(points), stroke, width, antialias, join, cap);
}

namespace {

// Strokes (width above 0) or fills the primitive; the other paint is transparent.
void paint_primitive(image_handle& image, const std::string& primitive, color_quad stroke,
                     color_quad fill, double width, bool antialias, LineJoin join, LineCap cap,
                     const char* fault = "draw_polyline failed") {
    Image_info info(CloneImageInfo(nullptr));
    const Draw_info draw(CloneDrawInfo(info.get(), nullptr));
    info.reset();
    if (!draw) {
        throw failure(fault);
    }
    draw->fill.red = static_cast<Quantum>(fill.red);
    draw->fill.green = static_cast<Quantum>(fill.green);
    draw->fill.blue = static_cast<Quantum>(fill.blue);
    draw->fill.opacity = static_cast<Quantum>(fill.opacity);
    draw->stroke.red = static_cast<Quantum>(stroke.red);
    draw->stroke.green = static_cast<Quantum>(stroke.green);
    draw->stroke.blue = static_cast<Quantum>(stroke.blue);
    draw->stroke.opacity = static_cast<Quantum>(stroke.opacity);
    draw->stroke_width = width;
    draw->stroke_antialias = antialias ? MagickTrue : MagickFalse;
    draw->linecap = cap;
    draw->linejoin = join;
    draw->affine = AffineMatrix{1, 0, 0, 1, 0, 0};
    draw->text_antialias = antialias ? MagickTrue : MagickFalse;
    CloneString(&draw->primitive, primitive.c_str());
    if (DrawImage(image.get(), draw.get()) == MagickFalse) {
        throw failure(fault);
    }
}

constexpr color_quad transparent{0, 0, 0, QuantumRange};

}  // namespace

void draw_primitive(image_handle& image, const std::string& primitive, color_quad stroke,
                    double width, bool antialias, LineJoin join, LineCap cap) {
    paint_primitive(image, primitive, stroke, transparent, width, antialias, join, cap);
}

void fill_primitive(image_handle& image, const std::string& primitive, color_quad fill) {
    paint_primitive(image, primitive, transparent, fill, 0.0, false, MiterJoin, ButtCap);
}

void draw_circle(image_handle& image, double x, double y, double radius, color_quad fill,
                 color_quad ring, double ring_width) {
    paint_primitive(image, format("circle %.2f,%.2f %.2f,%.2f", x, y, x + radius, y), ring, fill,
                    ring_width, true, MiterJoin, ButtCap, "draw_circle failed");
}

void read_rows(const image_handle& image,
               const std::function<void(long y, std::span<const PixelPacket> pixels)>& row) {
    const Exception exception = prepare_exception();
    const size_t width = image.get()->columns;
    for (long y = 0; y < static_cast<long>(image.get()->rows); ++y) {
        const PixelPacket* pixels = GetVirtualPixels(image.get(), 0, y, width, 1, exception.get());
        fail_on_exception(exception);
        if (pixels == nullptr) throw failure("read_pixels failed");
        row(y, {pixels, width});
    }
}

void write_rows(image_handle& image,
                const std::function<void(long y, std::span<PixelPacket> pixels)>& row) {
    image.get()->matte = MagickTrue;
    const Exception exception = prepare_exception();
    const size_t width = image.get()->columns;
    for (long y = 0; y < static_cast<long>(image.get()->rows); ++y) {
        PixelPacket* pixels = GetAuthenticPixels(image.get(), 0, y, width, 1, exception.get());
        fail_on_exception(exception);
        if (pixels == nullptr) throw failure("write_pixels failed");
        row(y, {pixels, width});
        if (SyncAuthenticPixels(image.get(), exception.get()) == MagickFalse) {
            fail_on_exception(exception);
            throw failure("write_pixels failed");
        }
    }
}

void map_through_palette(image_handle& image, const image_handle& palette) {
    palette.get()->interpolate = BilinearInterpolatePixel;
    if (ClutImageChannel(image.get(),
                         static_cast<ChannelType>(RedChannel | GreenChannel | BlueChannel),
                         palette.get()) == MagickFalse) {
        throw failure("map_through_palette failed");
    }
}

void desaturate(image_handle& image) {
    if (ModulateImage(image.get(), "100,0,100") == MagickFalse) throw failure("desaturate failed");
}

void fade_toward_white(image_handle& image, double share) {
    const auto channels = static_cast<ChannelType>(RedChannel | GreenChannel | BlueChannel);
    if (LevelizeImageChannel(image.get(), channels, share * QuantumRange, QuantumRange, 1.0) ==
        MagickFalse) {
        throw failure("fade_toward_white failed");
    }
}

color_quad color_of_string(const std::string& text) {
    ensure_magick();
    const Exception exception = prepare_exception();
    PixelPacket pixel{};
    if (QueryColorDatabase(text.c_str(), &pixel, exception.get()) == MagickFalse) {
        throw failure("color_of_string failed");
    }
    fail_on_exception(exception);
    return {pixel.red, pixel.green, pixel.blue, pixel.opacity};
}

bool is_color(const std::string& text) {
    try {
        color_of_string(text);
        return true;
    } catch (const Fatal_error&) {
        return false;
    }
}

long image_width(const image_handle& image) { return static_cast<long>(image.get()->columns); }

long image_height(const image_handle& image) { return static_cast<long>(image.get()->rows); }

void set_image_type(image_handle& image, ImageType type) {
    if (SetImageType(image.get(), type) == MagickFalse) {
        throw failure("set_image_type failed");
    }
}

void set_image_colors(image_handle& image, std::size_t colors) { image.get()->colors = colors; }

void set_image_quality(image_handle& image, std::size_t quality) { image.get()->quality = quality; }

void strip(image_handle& image) {
    if (StripImage(image.get()) == MagickFalse) {
        throw failure("strip failed");
    }
}

void set_image_text(image_handle& image, const std::string& key, const std::string& value) {
    if (value.empty()) {
        DeleteImageProperty(image.get(), key.c_str());
    } else if (SetImageProperty(image.get(), key.c_str(), value.c_str()) == MagickFalse) {
        throw failure("set_image_text failed");
    }
}

// Text goes straight to AnnotateImage and GetTypeMetrics, which draw and
// measure it as given; the '@' and '%' meanings belong to the command-line
// and drawing-primitive layers above them, which are never used for text.
namespace {

Draw_info text_draw_info(const std::string& text, const text_style& style, const char* operation) {
    const Image_info info(CloneImageInfo(nullptr));
    Draw_info draw(CloneDrawInfo(info.get(), nullptr));
    if (!draw) {
        throw failure(std::string(operation) + " failed");
    }
    CloneString(&draw->font, style.font.c_str());
    CloneString(&draw->text, text.c_str());
    draw->pointsize = style.size;
    draw->fill.red = static_cast<Quantum>(style.color.red);
    draw->fill.green = static_cast<Quantum>(style.color.green);
    draw->fill.blue = static_cast<Quantum>(style.color.blue);
    draw->fill.opacity = static_cast<Quantum>(style.color.opacity);
    draw->text_antialias = MagickTrue;
    if (style.stroke) {
        draw->stroke.red = static_cast<Quantum>(style.stroke->red);
        draw->stroke.green = static_cast<Quantum>(style.stroke->green);
        draw->stroke.blue = static_cast<Quantum>(style.stroke->blue);
        draw->stroke.opacity = static_cast<Quantum>(style.stroke->opacity);
        draw->stroke_width = style.stroke_width;
    }
    return draw;
}

[[noreturn]] void fail_text(const image_handle& image, const char* operation) {
    const ExceptionInfo& exception = image.get()->exception;
    if (exception.severity != UndefinedException && exception.reason != nullptr) {
        throw failure(exception.reason);
    }
    throw failure(std::string(operation) + " failed");
}

}  // namespace

text_extent measure_text(image_handle& image, const std::string& text, const text_style& style) {
    const Draw_info draw = text_draw_info(text, style, "measure_text");
    TypeMetric metrics{};
    if (GetTypeMetrics(image.get(), draw.get(), &metrics) == MagickFalse) {
        fail_text(image, "measure_text");
    }
    return {metrics.width, metrics.ascent, -metrics.descent};
}

void draw_text(image_handle& image, const std::string& text, const text_style& style, long x,
               long y) {
    const Draw_info draw = text_draw_info(text, style, "draw_text");
    // The position goes in as a geometry: AnnotateImage places each line from
    // it and ignores a translation set in the affine matrix.
    CloneString(&draw->geometry, format("%+ld%+ld", x, y).c_str());
    if (AnnotateImage(image.get(), draw.get()) == MagickFalse) {
        fail_text(image, "draw_text");
    }
}

}  // namespace plotr
